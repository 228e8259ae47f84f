#pragma once
// The shown channels written as extended M3U.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "catalogue/ChannelTable.h"
#include "catalogue/Lookup.h"

namespace castora {

// The given records as UTF-8 extended M3U that imports back to the same channels from anywhere. File
// addresses relative to `listDir`, where the lists are read from (empty: the working directory), are
// written as absolute paths; the groups a record's comments keep are named again.
std::string FormatM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& listDir = {});
// Writes FormatM3U through a temporary file, flushed and renamed over `file`. Returns an error text,
// empty on success.
std::string ExportM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& file,
                      const std::filesystem::path& listDir = {});

}  // namespace castora
