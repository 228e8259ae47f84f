#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/ChannelTable.h"

namespace castora {

inline constexpr const char* ListFiles[2] = {"global.dat", "local.dat"};
inline constexpr const char* ListNames[2] = {"global", "local"};
inline constexpr const char* ListDateLabels[2] = {"Global list updated: ", "Local list updated: "};
inline constexpr std::string_view UrlKey = "Qa7mvbxeZpt42Kro";
// Far above any real list (a million channels are about 150 MB); a bigger file is refused before it is read.
inline constexpr uint64_t ListSizeLimit = uint64_t(2) << 30;

std::string ScrambleUrl(std::string_view text, std::string_view key, bool decode);

// The URL line as written: the scrambled form of the URL, with every byte that would scramble to CR
// or LF written as "%XX" instead, so the line cannot break and reads back as the same address.
std::string EncodeUrlLine(std::string_view url);

struct LoadResult {
    bool found = false;                   // the file existed and was read
    std::optional<std::string> listDate;  // its first line, when found
    std::optional<std::string> error;     // a read failure, else the first conversion error
};

// How a list is read: the records of a list of at least splitBytes bytes are read on `threads` threads
// (two at most), each from a record boundary of its own.
struct LoadOptions {
    int threads = 2;
    size_t splitBytes = 1u << 20;
};

// Reads list 0 (replacing the table) or list 1 (appending to it) from dir / ListFiles[listNumber].
// A number line that is not an integer leaves that field 0; the load goes on and the first such
// error ("<file>, record <n>: '<line>' is not a valid integer value") is returned for the caller to show
// once. A missing file is an empty list; one that is there but cannot be read (a link to nothing, a file
// above ListSizeLimit) keeps the records read before the failure and returns "Can't read <file>: <reason>"
// as its error instead. The records refer to the file's bytes, which the table keeps. A big list is
// filled by two threads at once: nothing else may read the table until the call returns.
LoadResult LoadChannelList(ChannelTable& table, int listNumber, const std::filesystem::path& dir = {},
                           ProgressSink* progress = nullptr, const LoadOptions& options = {});

// Parses list file bytes; what LoadChannelList does after reading the file. The table keeps a copy of
// the bytes. By default on one thread: the plain reading the split one is checked against.
LoadResult ParseChannelList(ChannelTable& table, int listNumber, std::string_view data,
                            ProgressSink* progress = nullptr, const LoadOptions& options = {1, 0});

// Serialises the local records (date line first).
std::string FormatLocalList(const ChannelTable& table, std::string_view dateLine);

// Writes bytes to target through tmp: tmp is made afresh (whatever stood under its name, a link above all,
// is removed, never followed), flushed to disk and renamed over target, so target holds either its old or
// its new bytes. 0, or the errno of the step that failed; tmp is gone either way.
int ReplaceFile(const std::filesystem::path& tmp, const std::filesystem::path& target, std::string_view bytes);

struct SaveResult {
    bool ok = false;
    int32_t written = 0;  // local records in the file
};

// Writes every local record to dir/local.dat through dir/local_tmp.dat, created afresh, flushed to disk
// and renamed over the old file, so local.dat always holds either the old or the new list, and is a file
// of its own even where a link stood before.
SaveResult SaveLocalList(const ChannelTable& table, const std::filesystem::path& dir = {},
                         std::string_view dateLine = {});

// A list that loaded with an error is kept before the first save replaces it. The name it is kept
// under in dir: "local.dat.bak", or, when that is taken, one with the date and time that is free.
std::string DamagedListBackupName(const std::filesystem::path& dir);
// Keeps whatever stands at dir/local.dat (a file, a link) under dir/name, which must be free: a second
// name for the same file where the file system allows it, else a copy. 0 (also when there is nothing to
// keep), or the errno of the step that failed.
int KeepLocalList(const std::filesystem::path& dir, const std::string& name);

// Today's date in the user's short date format.
std::string ShortDateToday();

// A list's number line: optional leading blanks, sign, decimal digits (or $ or 0x and hex digits),
// within 32 bits; nothing may follow.
std::optional<int32_t> ParseInt32(std::string_view text);

}  // namespace castora
