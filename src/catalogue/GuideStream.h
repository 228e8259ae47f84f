#pragma once
// The bytes of a guide as a stream read in blocks: a file, memory, or either unpacked on the fly when it
// is gzip data. Nothing here holds more than a block or two, whatever the size of the guide.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace castora {

// A guide that cannot be read; the text is for the user.
class GuideError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown when the cancel flag stops a read.
class GuideCancelled : public GuideError {
public:
    GuideCancelled() : GuideError("The guide was not read: cancelled.") {}
};

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `buffer`; 0 only at the end. Throws GuideError.
    virtual size_t Read(char* buffer, size_t size) = 0;
};

class MemoryByteSource : public ByteSource {
public:
    explicit MemoryByteSource(std::string_view bytes) : bytes_(bytes) {}
    size_t Read(char* buffer, size_t size) override;

private:
    std::string_view bytes_;
};

class FileByteSource : public ByteSource {
public:
    // Throws GuideError when the file cannot be opened.
    explicit FileByteSource(const std::filesystem::path& path);
    ~FileByteSource() override;
    FileByteSource(const FileByteSource&) = delete;
    FileByteSource& operator=(const FileByteSource&) = delete;
    size_t Read(char* buffer, size_t size) override;
    uint64_t Size() const { return size_; }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    std::string name_;
};

struct DecodeOptions {
    // Of the XML itself, after every gzip layer: a small file that unpacks beyond this is refused.
    uint64_t maxDecodedBytes = 4ull * 1024 * 1024 * 1024;
    const std::atomic<bool>* cancel = nullptr;
    // Bytes taken from the underlying source so far; called once a block.
    std::function<void(uint64_t rawBytes)> progress;
};

// The XML of `raw`: gzip data (found by its magic bytes, not a name) is unpacked, up to two layers deep
// (a .gz file served with Content-Encoding: gzip), everything else passes as it is. Reads `raw` in
// blocks; throws GuideError for truncated or corrupt gzip data and past the decoded limit.
std::unique_ptr<ByteSource> OpenDecoded(std::unique_ptr<ByteSource> raw, const DecodeOptions& options);

// "N MiB" when whole, else "N bytes".
std::string SizeText(uint64_t bytes);

}  // namespace castora
