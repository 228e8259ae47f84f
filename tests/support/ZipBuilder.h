#pragma once

// Builders for the ZIP archives the extractor tests feed it: well-formed ones through libzip's writing
// API, and byte-exact ones (every header field settable) for the malformed cases libzip refuses to write.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace castora::test {

uint16_t DosDate(int year, int month, int day);
uint16_t DosTime(int hour, int minute, int second);
// The DOS fields read as local time, the way the extractor must read them.
time_t DosToLocal(uint16_t date, uint16_t time);

std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

struct RawEntry {
    std::string name;
    std::string data;                       // uncompressed content
    uint16_t method = 8;                    // 8 is deflated with zlib, anything else is stored as is
    std::optional<uint16_t> localMethod{};  // a different method in the local header
    uint16_t versionMadeBy = 20;            // high byte: host system (0 MS-DOS, 3 Unix)
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;
    uint16_t dosDate = DosDate(2021, 3, 14);
    uint16_t dosTime = DosTime(15, 9, 26);
    uint32_t externalAttributes = 0x20;
    std::optional<uint32_t> crc{};               // a wrong CRC-32 in both headers
    std::optional<uint32_t> uncompressedSize{};  // a wrong size in both headers
    uint32_t localSignature = 0x04034B50;
    std::optional<size_t> keepCompressedBytes{};  // cut the compressed data (headers give the cut size)
};

struct RawOptions {
    std::string comment;
    bool zip64 = false;    // Zip64 end records and Zip64 local header offsets
    std::string trailing;  // bytes after the end record
};

std::string BuildRawZip(const std::vector<RawEntry>& entries, const RawOptions& options = {});

struct LibzipEntry {
    std::string name;
    std::string data;
    int32_t method = 8;             // ZIP_CM_*
    uint16_t encryption = 0;        // ZIP_EM_*; password "secret"
    std::optional<uint8_t> host{};  // with attributes
    uint32_t attributes = 0;
    time_t mtime = 0;  // 0 leaves libzip's default
};

// Writes the archive with libzip; throws std::runtime_error when libzip refuses.
void WriteLibzipArchive(const std::filesystem::path& path, const std::vector<LibzipEntry>& entries);

}  // namespace castora::test
