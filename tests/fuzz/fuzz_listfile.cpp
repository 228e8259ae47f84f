// Any bytes as a channel list file: the table must keep its shape, and writing the local records
// back must read back as the same records.
#include "FuzzCheck.h"
#include "catalogue/ListFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

using namespace castora;

namespace {

[[noreturn]] void Fail(const char* what, int32_t index = -1) {
    castora::fuzz::Fail("fuzz_listfile", std::string(what) + " (record " + std::to_string(index) + ")");
}

void CheckShape(const ChannelTable& t, int32_t expectedCount) {
    if (t.ChannelCount != expectedCount) Fail("ChannelCount differs from the CR count");
    if (t.Channels.size() != size_t(t.ChannelCount) + 1) Fail("Channels.size() != ChannelCount + 1");
    if (t.RowMap.size() != size_t(t.ChannelCount) + 2) Fail("RowMap.size() != ChannelCount + 2");
    const TChannelRec& zero = t.Channels[0];
    if (zero.Name != "default" || zero.IsLocal || zero.Format || !zero.Url.empty()) Fail("placeholder record changed");
}

// What a text field becomes in the file: a line break inside it is written as a blank.
std::string Flattened(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\r', ' ');
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const size_t crs = size_t(std::count(bytes.begin(), bytes.end(), '\r'));
    const int32_t blocks = crs >= 1 ? int32_t((crs - 1) / 8) : 0;

    ChannelTable table;
    const LoadResult global = ParseChannelList(table, 0, bytes);
    CheckShape(table, blocks);
    if (!global.found || !global.listDate) Fail("no list date");
    if (global.listDate->find('\r') != std::string::npos) Fail("list date holds a CR");
    // The same bytes once more as the local list: appended behind the global records.
    const LoadResult local = ParseChannelList(table, 1, bytes);
    CheckShape(table, 2 * blocks);
    // Each error names its own file; the rest is the same.
    std::optional<std::string> expected = global.error;
    if (expected && expected->starts_with("global.dat")) expected->replace(0, 10, "local.dat");
    if (local.error != expected) Fail("the same bytes gave different conversion errors");
    for (int32_t i = 1; i <= table.ChannelCount; ++i) {
        const TChannelRec& r = table.Channels[i];
        if (r.IsLocal != (i > blocks)) Fail("IsLocal does not follow the list", i);
        for (const TText* s : {&r.Name, &r.Bitrate, &r.Comments})
            if (s->find('\r') != std::string::npos) Fail("a text field holds a CR", i);
    }
    for (int32_t i = 1; i <= blocks; ++i) {
        TChannelRec a = table.Channels[i];
        a.IsLocal = true;
        if (!(a == table.Channels[i + blocks])) Fail("the same block read twice differs", i);
    }

    // Only the local half is written.
    const std::string file = FormatLocalList(table, table.ListDate);
    if (file.size() < 2 || file.compare(file.size() - 2, 2, "\r\n") != 0) Fail("written list does not end in CR LF");
    ChannelTable back;
    const LoadResult reread = ParseChannelList(back, 1, file);
    if (reread.error) Fail("written list holds a bad number line");
    CheckShape(back, blocks);
    if (back.ListDate != Flattened(table.ListDate)) Fail("list date did not survive");
    for (int32_t i = 1; i <= blocks; ++i) {
        TChannelRec want = table.Channels[blocks + i];
        want.Name = Flattened(want.Name);
        want.Bitrate = Flattened(want.Bitrate);
        want.Comments = Flattened(want.Comments);
        // Bytes that would scramble to a line break are escaped; the rest must come back as they were.
        const std::string line = EncodeUrlLine(want.Url);
        if (line.find_first_of("\r\n") != std::string::npos) Fail("URL line breaks the record", i);
        want.Url = ScrambleUrl(line, UrlKey, true);
        if (!(back.Channels[i] == want)) Fail("record did not round-trip", i);
    }
    // A second pass changes nothing any more.
    if (FormatLocalList(back, back.ListDate) != file) Fail("writing the read-back list is not stable");
    return 0;
}
