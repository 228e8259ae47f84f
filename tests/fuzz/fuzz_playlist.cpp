// Playlists from anywhere: reading never fails hard, every entry it keeps is an address the player can
// open (a remote one when the playlist came from a URL) with clean headers, planned records respect the
// name limit, and an export reads back to the same records, groups included.
#include "FuzzCheck.h"
#include "catalogue/Playlist.h"

#include <string>
#include <string_view>

using namespace castora;

namespace {

[[noreturn]] void Fail(const std::string& what) { castora::fuzz::Fail("fuzz_playlist", what); }

const LookupList Sources = {"*", "Online TV", "Radio"};
const LookupList Countries = {"*", "International", "USA", "Russian Federation"};
const LookupList Genres = {"*", "General", "News", "\xcd\xee\xe2\xee\xf1\xf2\xe8"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte picks where the bytes came from, so relative entries meet both kinds of base.
    const bool fromUrl = size > 0 && (data[0] & 1);
    const Playlist p =
        ReadPlaylist(bytes, fromUrl ? "http://h.example/dir/list.m3u?x=1" : "/tmp/dir/list.m3u", fromUrl);
    if (!p.ok) {
        if (p.error.empty()) Fail("refused without a reason");
        return 0;
    }
    if (p.entries.empty()) Fail("accepted without an entry");
    for (const PlaylistEntry& e : p.entries)
        if (!IsPlayableAddress(SplitHeaderSuffix(e.url).address))
            Fail("kept an address the player can't open: " + e.url);

    for (const PlaylistEntry& e : p.entries) {
        const std::string address = SplitHeaderSuffix(e.url).address;
        if (address.size() > AddressLimit) Fail("kept an address above the limit");
        if (HasListenOption(address)) Fail("kept an address that listens: " + e.url);
        if (fromUrl && !IsRemoteAddress(address)) Fail("kept a local address from a URL: " + e.url);
        for (const auto& [name, value] : SplitHeaderSuffix(e.url).headers)
            if (HasControl(name) || HasControl(value)) Fail("kept a header with control bytes: " + e.url);
    }

    ChannelTable table;
    const ImportPlan plan = PlanImport(p, table, Sources, Countries, Genres);
    if (plan.records.size() + static_cast<size_t>(plan.duplicates) != p.entries.size()) Fail("lost entries");
    if (plan.info.size() != plan.records.size()) Fail("entry data not beside each record");
    for (const TChannelRec& r : plan.records) {
        if (r.Name.size() > NameLimit) Fail("name above the limit");
        if (r.Name.empty()) Fail("empty name");
        if (r.Genre < 0 || static_cast<size_t>(r.Genre) >= Genres.size()) Fail("genre out of range");
        if (r.Country < 0 || static_cast<size_t>(r.Country) >= Countries.size()) Fail("country out of range");
    }

    // The records out and in again.
    for (const TChannelRec& r : plan.records) table.AppendChannel(r);
    std::vector<int32_t> all;
    for (int32_t i = 1; i <= table.ChannelCount; ++i) all.push_back(i);
    const Playlist back = ReadPlaylist(FormatM3U(table, all, Countries, Genres), "/tmp/export.m3u", false);
    if (!back.ok) Fail("export does not read back: " + back.error);
    const ImportPlan again = PlanImport(back, ChannelTable(), Sources, Countries, Genres);
    if (again.records.size() != plan.records.size()) Fail("export read back with another count");
    for (size_t i = 0; i < plan.records.size(); ++i) {
        const TChannelRec &a = plan.records[i], &b = again.records[i];
        if (a.Url != b.Url) Fail("address changed by export: " + a.Url + " -> " + b.Url);
        if (a.Name != b.Name) Fail("name changed by export: " + a.Name + " -> " + b.Name);
        if (a.Genre != b.Genre || a.Country != b.Country) Fail("codes changed by export");
        if (a.Comments != b.Comments) Fail("groups changed by export: " + a.Comments + " -> " + b.Comments);
    }
    return 0;
}
