#pragma once
#include <array>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace castora {

using LookupList = std::vector<std::string>;

enum LookupKind { SourceLookup = 0, CountryLookup = 1, GenreLookup = 2 };

inline constexpr const char* LookupFiles[3] = {"source.dat", "country.dat", "genre.dat"};
inline constexpr const char* FilterPlaceholders[3] = {"all sources", "all countries", "all genres"};
inline constexpr const char* EditorPlaceholder = "not selected";
inline constexpr std::array<const char*, 3> FormatNames = {"not selected", "MediaPlayer", "RealPlayer"};

// Entries the drop-down lists hold until a lookup file replaces them.
const LookupList& DesignFilterEntries(LookupKind kind);
const LookupList& DesignEditorEntries(LookupKind kind);

// Splits lookup file bytes into entries: CR LF, LF and CR each end a line; blank lines count.
LookupList SplitLookupLines(std::string_view data);

struct LookupFile {
    bool ok = false;
    LookupList lines;
    std::string error;  // the message to show when !ok
};

// Reads dir / LookupFiles[kind]. A missing file or one without any line is an error.
LookupFile ReadLookupFile(LookupKind kind, const std::filesystem::path& dir = {});

// The file's lines with entry 0 replaced by the list's placeholder text.
LookupList WithPlaceholder(LookupList lines, std::string_view placeholder);

}  // namespace castora
