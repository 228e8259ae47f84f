#include "server/ZipDirectory.h"

#include "server/Extract.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace castora {
namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr uint16_t kZip64ExtraId = 0x0001;

uint16_t Get16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const unsigned char* p) { return uint32_t(Get16(p)) | uint32_t(Get16(p + 2)) << 16; }
uint64_t Get64(const unsigned char* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }

bool ReadAt(int fd, uint64_t offset, unsigned char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = ::pread(fd, buf, len, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

[[noreturn]] void Damaged(const char* what) { throw EExtractError(std::string("Damaged update archive: ") + what); }

struct DirectoryLocation {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t entries = 0;
};

// Reads the Zip64 end record that the locator just before the end record at endPos points to.
// nullopt when there is no locator.
std::optional<DirectoryLocation> ReadZip64End(int fd, uint64_t endPos, uint64_t* directoryEnd) {
    if (endPos < kZip64LocatorSize) return std::nullopt;
    unsigned char loc[kZip64LocatorSize];
    if (!ReadAt(fd, endPos - kZip64LocatorSize, loc, sizeof loc) || Get32(loc) != kZip64LocatorSignature)
        return std::nullopt;
    if (Get32(loc + 4) != 0 || Get32(loc + 16) > 1) Damaged("spanned archive");
    uint64_t recPos = Get64(loc + 8);
    unsigned char rec[kZip64EndSize];
    if (recPos > endPos - kZip64LocatorSize || !ReadAt(fd, recPos, rec, sizeof rec) || Get32(rec) != kZip64EndSignature)
        Damaged("bad Zip64 end record");
    if (Get32(rec + 16) != 0 || Get32(rec + 20) != 0) Damaged("spanned archive");
    *directoryEnd = recPos;
    return DirectoryLocation{Get64(rec + 48), Get64(rec + 40), Get64(rec + 32)};
}

// The end record is accepted only where the directory it describes ends right before it, so a stray
// signature in a comment or in trailing bytes is not taken for it.
DirectoryLocation FindDirectory(int fd, uint64_t fileSize) {
    if (fileSize < kEndSize) throw EExtractError("The update archive is not a ZIP file");
    const uint64_t window = std::min<uint64_t>(fileSize, kEndSize + 0xFFFF + 1024);
    std::vector<unsigned char> tail(window);
    if (!ReadAt(fd, fileSize - window, tail.data(), tail.size())) throw EExtractError("Can't read the update archive");

    bool sawSignature = false;
    for (size_t i = window - kEndSize + 1; i-- > 0;) {
        const unsigned char* p = tail.data() + i;
        if (Get32(p) != kEndSignature) continue;
        sawSignature = true;
        const uint64_t endPos = fileSize - window + i;
        DirectoryLocation loc{Get32(p + 16), Get32(p + 12), Get16(p + 10)};
        uint64_t directoryEnd = endPos;
        if (auto z64 = ReadZip64End(fd, endPos, &directoryEnd)) {
            loc = *z64;
        } else if (Get16(p + 10) == 0xFFFF || Get32(p + 12) == 0xFFFFFFFF || Get32(p + 16) == 0xFFFFFFFF) {
            continue;  // Zip64 markers without a Zip64 record: not this one
        }
        if (loc.offset > directoryEnd || directoryEnd - loc.offset != loc.size) continue;
        if (Get16(p + 4) != 0 || Get16(p + 6) != 0) Damaged("spanned archive");
        return loc;
    }
    if (sawSignature) Damaged("central directory does not match its end record");
    throw EExtractError("The update archive is not a ZIP file");
}

// Replaces the local header offset, when marked 0xFFFFFFFF, with its value from the Zip64 extra field,
// whose fields appear only for the marked ones, in a fixed order.
void ApplyZip64Extra(const unsigned char* extra, size_t len, bool sizeMarked, bool compressedMarked, bool offsetMarked,
                     bool diskMarked, uint64_t* offset) {
    for (size_t pos = 0; pos + 4 <= len;) {
        uint16_t id = Get16(extra + pos);
        size_t size = Get16(extra + pos + 2);
        if (pos + 4 + size > len) break;
        if (id == kZip64ExtraId) {
            const size_t before = 8 * (size_t(sizeMarked) + size_t(compressedMarked));
            if (size < before + 8 * size_t(offsetMarked) + 4 * size_t(diskMarked)) Damaged("short Zip64 extra field");
            const unsigned char* v = extra + pos + 4 + before;
            if (offsetMarked) {
                *offset = Get64(v);
                v += 8;
            }
            if (diskMarked && Get32(v) != 0) Damaged("entry on another disk");
            return;
        }
        pos += 4 + size;
    }
    Damaged("Zip64 marker without Zip64 extra field");
}

}  // namespace

std::vector<CentralRecord> ReadCentralDirectory(int fd, uint64_t fileSize) {
    const DirectoryLocation loc = FindDirectory(fd, fileSize);
    if (loc.size > fileSize || loc.entries > loc.size / kCentralSize)
        Damaged("entry count does not fit the central directory");

    std::vector<unsigned char> dir(size_t(loc.size));
    if (!ReadAt(fd, loc.offset, dir.data(), dir.size())) Damaged("truncated central directory");

    std::vector<CentralRecord> records;
    records.reserve(size_t(loc.entries));
    size_t pos = 0;
    for (uint64_t i = 0; i < loc.entries; ++i) {
        if (dir.size() - pos < kCentralSize) Damaged("truncated central directory");
        const unsigned char* p = dir.data() + pos;
        if (Get32(p) != kCentralSignature) Damaged("bad central directory record signature");
        const size_t nameLen = Get16(p + 28), extraLen = Get16(p + 30), commentLen = Get16(p + 32);
        if (dir.size() - pos - kCentralSize < nameLen + extraLen + commentLen)
            Damaged("truncated central directory record");

        CentralRecord rec;
        rec.versionNeeded = Get16(p + 6);
        rec.localHeaderOffset = Get32(p + 42);
        rec.name.assign(reinterpret_cast<const char*>(p + kCentralSize), nameLen);
        const bool diskMarked = Get16(p + 34) == 0xFFFF, offsetMarked = Get32(p + 42) == 0xFFFFFFFF;
        if (diskMarked || offsetMarked)
            ApplyZip64Extra(p + kCentralSize + nameLen, extraLen, Get32(p + 24) == 0xFFFFFFFF,
                            Get32(p + 20) == 0xFFFFFFFF, offsetMarked, diskMarked, &rec.localHeaderOffset);
        else if (Get16(p + 34) != 0) Damaged("entry on another disk");
        records.push_back(std::move(rec));
        pos += kCentralSize + nameLen + extraLen + commentLen;
    }
    if (pos != dir.size()) Damaged("central directory size does not match its records");
    return records;
}

std::optional<LocalHeader> ReadLocalHeader(int fd, uint64_t offset) {
    unsigned char h[kLocalSize];
    if (!ReadAt(fd, offset, h, sizeof h) || Get32(h) != kLocalSignature) return std::nullopt;
    return LocalHeader{Get16(h + 6), Get16(h + 8)};
}

}  // namespace castora
