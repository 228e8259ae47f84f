#include "catalogue/PlaylistWriter.h"

#include <algorithm>
#include <cstring>

#include "catalogue/ImportPlan.h"
#include "catalogue/ListFiles.h"
#include "catalogue/Text.h"

namespace castora {

namespace {

std::string AttributeValue(std::string text) {
    std::replace(text.begin(), text.end(), '"', '\'');
    return text;
}

}  // namespace

std::string FormatM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres) {
    // Each country's and genre's attribute once, not once per record: the country takes a transliteration.
    std::vector<std::string> countryAttr(countries.size()), genreAttr(genres.size());
    for (size_t i = 1; i < countries.size(); ++i) {
        std::string code = CountryIsoCode(countries[i]);
        if (code.empty()) code = Cp1251ToUtf8(countries[i]);
        countryAttr[i] = " tvg-country=\"" + AttributeValue(code) + "\"";
    }
    for (size_t i = 1; i < genres.size(); ++i)
        genreAttr[i] = " group-title=\"" + AttributeValue(Cp1251ToUtf8(genres[i])) + "\"";
    std::string out = "#EXTM3U\n";
    out.reserve(records.size() * 160);
    for (int32_t index : records) {
        if (index < 1 || index > table.ChannelCount) continue;
        const TChannelRec& rec = table.Channels[index];
        out += "#EXTINF:-1";
        if (rec.Country > 0 && static_cast<size_t>(rec.Country) < countries.size()) out += countryAttr[rec.Country];
        if (rec.Genre > 0 && static_cast<size_t>(rec.Genre) < genres.size()) out += genreAttr[rec.Genre];
        // Line ends inside a text would start a line of their own.
        std::string name = Cp1251ToUtf8(rec.Name);
        std::replace_if(
            name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
        out += ',';
        out += name;
        out += '\n';
        for (char c : Cp1251ToUtf8(rec.Url)) {
            if (c == '\r') out += "%0D";
            else if (c == '\n') out += "%0A";
            else out += c;
        }
        out += '\n';
    }
    return out;
}

std::string ExportM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& file) {
    const int error = ReplaceFile(file.string() + ".part", file, FormatM3U(table, records, countries, genres));
    if (error) return std::string("Can't write ") + file.string() + ": " + std::strerror(error);
    return {};
}

}  // namespace castora
