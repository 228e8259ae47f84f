#include "support/Catalogues.h"

#include "catalogue/ListFiles.h"
#include "support/TempDir.h"

#ifndef CASTORA_SOURCE_DIR
#error "CASTORA_SOURCE_DIR must name the source tree"
#endif

namespace castora::test {

std::string ListFileBytes(const std::string& date, const std::vector<TChannelRec>& records) {
    std::string out = date + "\r\n";
    for (const TChannelRec& r : records) {
        for (int v : {r.Format, r.Source, r.Country, r.Genre}) out += std::to_string(v) + "\r\n";
        out += r.Name + "\r\n" + ScrambleUrl(r.Url, UrlKey, false) + "\r\n" + r.Bitrate + "\r\n" + r.Comments + "\r\n";
    }
    return out;
}

TChannelRec Channel(std::string name, std::string url, int source, int country, int genre, std::string bitrate,
                    std::string comments) {
    TChannelRec r;
    r.Format = 1;
    r.Source = source;
    r.Country = country;
    r.Genre = genre;
    r.Name = std::move(name);
    r.Url = std::move(url);
    r.Bitrate = std::move(bitrate);
    r.Comments = std::move(comments);
    return r;
}

namespace {
void WriteLookup(const std::filesystem::path& path, const std::vector<std::string>& entries) {
    std::string bytes = "*\r\n";
    for (const std::string& e : entries) bytes += e + "\r\n";
    WriteFile(path, bytes);
}
}  // namespace

void WriteLookups(const std::filesystem::path& dir, const std::vector<std::string>& sources,
                  const std::vector<std::string>& countries, const std::vector<std::string>& genres) {
    WriteLookup(dir / "source.dat", sources);
    WriteLookup(dir / "country.dat", countries);
    WriteLookup(dir / "genre.dat", genres);
}

void CopySampleCatalogue(const std::filesystem::path& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(CASTORA_SOURCE_DIR) / "data"))
        std::filesystem::copy_file(entry.path(), dir / entry.path().filename(),
                                   std::filesystem::copy_options::overwrite_existing);
}

}  // namespace castora::test
