#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "catalogue/ChannelTable.h"

namespace castora::test {

// List file bytes for the given records, built by the format rules rather than by the program's writer.
std::string ListFileBytes(const std::string& date, const std::vector<TChannelRec>& records);
TChannelRec Channel(std::string name, std::string url, int source = 1, int country = 1, int genre = 1,
                    std::string bitrate = "", std::string comments = "");
// source.dat, country.dat and genre.dat with a header line and the given entries.
void WriteLookups(const std::filesystem::path& dir, const std::vector<std::string>& sources,
                  const std::vector<std::string>& countries, const std::vector<std::string>& genres);
// Copies the sample catalogue shipped with the program into dir.
void CopySampleCatalogue(const std::filesystem::path& dir);

}  // namespace castora::test
