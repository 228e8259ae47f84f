#pragma once
// Synthetic catalogues at any size, for timing the loader, the duplicate pass and the grid.
//
// Records 1..G go to global.dat and G+1..N to local.dat. A fixed share of the local records reuse the
// URL of a random global record, so the duplicate pass has real work to do. Every record is a pure
// function of (seed, index), so a catalogue is reproducible and is streamed to disk without being
// held in memory.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "catalogue/ChannelTable.h"

namespace castora::bench {

inline constexpr int SourceCount = 3;    // codes 1..3 in source.dat
inline constexpr int CountryCount = 60;  // codes 1..60 in country.dat
inline constexpr int GenreCount = 24;    // codes 1..24 in genre.dat
inline constexpr std::string_view ListDateLine = "01.06.2025";

struct CatalogueSpec {
    int32_t channels = 100000;     // records in both lists together
    double localShare = 0.10;      // share of the records that live in local.dat
    double duplicateShare = 0.05;  // share of the records whose URL repeats a global one
    uint64_t seed = 0x5eed2025;
};

struct CatalogueLayout {
    int32_t global = 0;
    int32_t local = 0;
    int32_t duplicates = 0;  // local records that repeat a global URL
};

struct CatalogueFiles {
    CatalogueLayout layout;
    uint64_t globalBytes = 0;
    uint64_t localBytes = 0;
};

class CatalogueGenerator {
public:
    explicit CatalogueGenerator(const CatalogueSpec& spec);

    const CatalogueLayout& Layout() const { return layout_; }
    // Record `index` (1..channels), with IsLocal set for the local part.
    TChannelRec Record(int32_t index) const;
    // The URL of a global record before any duplicate is planted: unique per index.
    std::string UniqueUrl(int32_t index) const;
    // The global record whose URL local record `index` repeats, or 0.
    int32_t DuplicateOf(int32_t index) const;

    // Writes global.dat, local.dat and the three lookup files into dir.
    CatalogueFiles Write(const std::filesystem::path& dir) const;

private:
    CatalogueSpec spec_;
    CatalogueLayout layout_;
};

// Lookup files whose codes cover every code the generator uses.
void WriteLookupFiles(const std::filesystem::path& dir);

// One list file's bytes for a record, written by the format rules (8 lines, URL scrambled, CR LF).
void AppendRecordLines(std::string& out, const TChannelRec& rec);

// UTF-8 Russian text to Windows-1251 bytes (Cyrillic letters only; ASCII passes through).
std::string ToCp1251(std::string_view utf8);

}  // namespace castora::bench
