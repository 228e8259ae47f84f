#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace castora {

// The few central-directory fields libzip 1.7 does not expose.
struct CentralRecord {
    uint16_t versionNeeded = 0;
    uint64_t localHeaderOffset = 0;
    std::string name;  // raw bytes as stored, kept to cross-check libzip's reading
};

struct LocalHeader {
    uint16_t flags = 0;
    uint16_t method = 0;
};

// Walks the central directory of the archive open at fd (Zip64 included). Throws EExtractError when no
// end record is found or the directory is damaged, truncated or spans several disks.
std::vector<CentralRecord> ReadCentralDirectory(int fd, uint64_t fileSize);

// The local header at offset; nullopt when it cannot be read or lacks its signature.
std::optional<LocalHeader> ReadLocalHeader(int fd, uint64_t offset);

}  // namespace castora
