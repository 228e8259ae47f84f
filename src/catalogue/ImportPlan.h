#pragma once
// A playlist's entries turned into channel records against the catalogue: names, codes, duplicates.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Lookup.h"
#include "catalogue/PlaylistReader.h"

namespace castora {

inline constexpr size_t NameLimit = 64;

// What the playlist said about a channel beyond its record, for the programme guide and logos. UTF-8.
struct ImportedChannelInfo {
    std::string tvgId, tvgName, tvgLogo, tvgShift;
};

// What an import will do. Records have Source 0 where the playlist does not classify them.
struct ImportPlan {
    std::string name;  // UTF-8
    std::vector<TChannelRec> records;
    std::vector<ImportedChannelInfo> info;  // info[i] belongs to records[i]
    std::vector<std::string> guideUrls;     // the playlist's
    int32_t duplicates = 0;                 // already in the catalogue or earlier in the playlist
    int32_t unusable = 0;
    int32_t source = 0;  // the source to preselect, 0 when none fits
};

// Reads only: safe on a worker thread while nobody changes the table. Linear in table and playlist.
// `listDir` is where the catalogue's lists are read from (empty: the working directory): a stored file
// address relative to it is the same channel as its absolute path.
ImportPlan PlanImport(const Playlist& playlist, const ChannelTable& table, const LookupList& sources,
                      const LookupList& countries, const LookupList& genres, const std::filesystem::path& listDir = {});
// PlanImport in two steps, for a caller that reads the playlist before the catalogue is in place: the
// records of every entry (duplicates within the playlist dropped), which needs no table; then those the
// table holds dropped, which is quick.
ImportPlan PrepareImport(const Playlist& playlist, const LookupList& sources, const LookupList& countries,
                         const LookupList& genres);
// The same, taking the entries' tvg texts rather than copying them.
ImportPlan PrepareImport(Playlist&& playlist, const LookupList& sources, const LookupList& countries,
                         const LookupList& genres);
void DropKnown(ImportPlan& plan, const ChannelTable& table, const std::filesystem::path& listDir = {});
// Gives every record the playlist left unclassified the chosen source.
void ApplySource(std::vector<TChannelRec>& records, int32_t source);

// The groups an entry named that gave its record no genre, or not the one it took, are kept in the
// record's comments ("Group: Kids; Family", Windows-1251), for an export to name again.
std::string GroupComment(const std::vector<std::string>& utf8Groups);
// The groups of such a comment, UTF-8; none for any other comment.
std::vector<std::string> CommentGroups(std::string_view cp1251Comments);

// Country code for a tvg-country value (ISO code, English name or alias), 0 when none matches.
int32_t MatchCountry(std::string_view value, const LookupList& countries);
// ISO 3166 code for a country list entry ("INT" for international), empty when unknown.
std::string CountryIsoCode(std::string_view cp1251Name);

}  // namespace castora
