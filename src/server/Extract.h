#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace castora {

// The update archive as a whole could not be read. Always raised before any entry is written.
class EExtractError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ExtractOptions {
    // Receives the gauge maximum (always 0) once an archive is found; the caller marshals it to the window.
    std::function<void(int)> setGaugeMaximum;
    // An entry whose data grows beyond this is dropped (a compression bomb would otherwise fill the disk).
    uint64_t maxEntryBytes = 512ull * 1024 * 1024;
    // The program file's name; an archive entry may never replace it.
    std::string programFileName;
    // Set when the program closes: the run ends between two blocks and the entry under way leaves nothing.
    const std::atomic<bool>* cancel = nullptr;
};

// Unpacks archiveDir/"updates.zip" into targetDir, each entry under the last component of its name.
// Only list and text files are written (a name ending in ".dat" or ".txt" that does not start with a
// dot); the user's list, its save buffer, the archive and the program file never are.
// Returns at once when there is no such file. Bad entries are skipped silently; a bad archive throws
// EExtractError. The archive itself is only read.
void ExtractUpdate(const std::filesystem::path& archiveDir, const std::filesystem::path& targetDir,
                   const ExtractOptions& opts = {});

}  // namespace castora
