#include "catalogue/PlaylistWriter.h"

#include <algorithm>
#include <cstring>

#include "catalogue/ImportPlan.h"
#include "catalogue/ListFiles.h"
#include "catalogue/PlaylistAddress.h"
#include "catalogue/Text.h"

namespace castora {

namespace {

std::string AttributeValue(std::string text) {
    std::replace(text.begin(), text.end(), '"', '\'');
    return text;
}

// Line ends inside a text would start a line of their own.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

// A group-title reads back as its first value and without quotes: other groups go on #EXTGRP lines.
bool FitsGroupTitle(std::string_view group) { return group.find_first_of(";,\"") == std::string_view::npos; }

}  // namespace

std::string FormatM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& listDir) {
    const std::filesystem::path dir = AbsoluteDirectory(listDir);
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
        std::vector<std::string> groups = CommentGroups(rec.Comments);
        size_t extGroups = 0;  // the first group not in the group-title
        if (rec.Genre > 0 && static_cast<size_t>(rec.Genre) < genres.size()) {
            out += genreAttr[rec.Genre];
        } else if (!groups.empty() && FitsGroupTitle(groups[0])) {
            ((out += " group-title=\"") += groups[0]) += '"';
            extGroups = 1;
        }
        out += ',';
        out += OneLine(Cp1251ToUtf8(rec.Name));
        out += '\n';
        for (size_t g = extGroups; g < groups.size(); ++g) ((out += "#EXTGRP:") += OneLine(groups[g])) += '\n';
        // A file address is written absolute: an import resolves a relative one against the export's place.
        for (char c : AbsoluteAddress(Cp1251ToUtf8(rec.Url), dir)) {
            if (c == '\r') out += "%0D";
            else if (c == '\n') out += "%0A";
            else out += c;
        }
        out += '\n';
    }
    return out;
}

std::string ExportM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& file,
                      const std::filesystem::path& listDir) {
    const int error = ReplaceFile(file.string() + ".part", file, FormatM3U(table, records, countries, genres, listDir));
    if (error) return std::string("Can't write ") + file.string() + ": " + std::strerror(error);
    return {};
}

}  // namespace castora
