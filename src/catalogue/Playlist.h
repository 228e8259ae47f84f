#pragma once
// Playlists in and out: M3U, extended M3U and PLS read into entries, entries turned into channel
// records against the catalogue, and the shown channels written as extended M3U.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Lookup.h"

namespace castora {

// One channel of a playlist. Texts are UTF-8; the address is absolute and carries request headers
// as a "|User-Agent=…&Referer=…" suffix.
struct PlaylistEntry {
    std::string url;
    std::string title;
    std::string tvgName;
    std::string group;    // the first group named
    std::string country;  // the first tvg-country value
    bool radio = false;   // radio="true"
};

struct Playlist {
    bool ok = false;
    std::string error;  // why nothing can be imported, when !ok
    std::string name;   // UTF-8
    bool pls = false;
    bool stream = false;  // an HLS stream playlist taken as one channel
    std::vector<PlaylistEntry> entries;
    int32_t unusable = 0;  // entries skipped for their address
};

// `location` is the file path or the URL the bytes came from: relative entries are resolved against
// it and the playlist's name falls back to it. An HLS stream playlist is one channel when it came from
// a URL and refused when it came from a file.
Playlist ReadPlaylist(std::string_view bytes, std::string_view location, bool fromUrl);

// True for an address with a scheme the player opens, or an absolute file path.
bool IsPlayableAddress(std::string_view url);

// "URL|User-Agent=…&Referer=…" split into its parts; header values are taken as they stand.
struct HeaderSuffix {
    std::string address;
    std::vector<std::pair<std::string, std::string>> headers;  // in suffix order
};
HeaderSuffix SplitHeaderSuffix(std::string_view url);
std::string JoinHeaderSuffix(const HeaderSuffix& parts);

// Windows-1251 <-> UTF-8. Bytes that are not UTF-8 never reach the reverse direction.
std::string Cp1251ToUtf8(std::string_view bytes);
// Text for a record: Windows-1251, with whatever it cannot hold spelt in Latin letters (or dropped
// when even that fails), never replaced by "?".
std::string ToRecordText(std::string_view utf8);
inline constexpr size_t NameLimit = 64;

// What an import will do. Records have Source 0 where the playlist does not classify them.
struct ImportPlan {
    std::string name;  // UTF-8
    std::vector<TChannelRec> records;
    int32_t duplicates = 0;  // already in the catalogue or earlier in the playlist
    int32_t unusable = 0;
    int32_t source = 0;  // the source to preselect, 0 when none fits
};

// Reads only: safe on a worker thread while nobody changes the table. Linear in table and playlist.
ImportPlan PlanImport(const Playlist& playlist, const ChannelTable& table, const LookupList& sources,
                      const LookupList& countries, const LookupList& genres);
// Gives every record the playlist left unclassified the chosen source.
void ApplySource(std::vector<TChannelRec>& records, int32_t source);

// Country code for a tvg-country value (ISO code, English name or alias), 0 when none matches.
int32_t MatchCountry(std::string_view value, const LookupList& countries);
// ISO 3166 code for a country list entry ("INT" for international), empty when unknown.
std::string CountryIsoCode(std::string_view cp1251Name);

// The given records as UTF-8 extended M3U.
std::string FormatM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres);
// Writes FormatM3U through a temporary file, flushed and renamed over `file`. Returns an error text,
// empty on success.
std::string ExportM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& file);

}  // namespace castora
