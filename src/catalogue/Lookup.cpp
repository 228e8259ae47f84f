#include "catalogue/Lookup.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace castora {

const LookupList& DesignFilterEntries(LookupKind kind) {
    static const LookupList lists[3] = {
        {"all sources", "Tele", "Radio", "Video"},
        {"all countries"},
        {"all genres", "General", "News", "Music", "Business"},
    };
    return lists[kind];
}

const LookupList& DesignEditorEntries(LookupKind kind) {
    static const LookupList lists[3] = {
        {"not selected", "Online TV", "Radio", "Webcam"},
        {"not selected", "Russian Federation", "USA"},
        {"not selected", "General"},
    };
    return lists[kind];
}

LookupList SplitLookupLines(std::string_view data) {
    LookupList lines;
    size_t start = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c != '\r' && c != '\n') continue;
        lines.emplace_back(data.substr(start, i - start));
        if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < data.size()) lines.emplace_back(data.substr(start));
    return lines;
}

LookupFile ReadLookupFile(LookupKind kind, const std::filesystem::path& dir) {
    LookupFile result;
    const std::filesystem::path path = dir / LookupFiles[kind];
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    if (!in || std::filesystem::is_directory(path, ec)) {
        const int err = errno ? errno : ENOENT;
        result.error = std::string("Cannot open file \"") + LookupFiles[kind] + "\". " + std::strerror(err);
        return result;
    }
    const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    result.lines = SplitLookupLines(data);
    if (result.lines.empty()) {
        result.error = "List index out of bounds (0)";
        return result;
    }
    result.ok = true;
    return result;
}

LookupList WithPlaceholder(LookupList lines, std::string_view placeholder) {
    if (!lines.empty()) lines[0] = std::string(placeholder);
    return lines;
}

}  // namespace castora
