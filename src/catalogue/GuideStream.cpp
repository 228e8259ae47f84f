#include "catalogue/GuideStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <zlib.h>

namespace castora {

namespace {

constexpr size_t InputBlock = 256 * 1024;

// The first block of a source, held back so its first bytes can be looked at before anyone reads them.
class ProbeSource : public ByteSource {
public:
    explicit ProbeSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)), held_(new char[InputBlock]) {
        while (size_ < 2) {
            const size_t n = inner_->Read(held_.get() + size_, InputBlock - size_);
            if (n == 0) break;
            size_ += n;
        }
    }
    bool IsGzip() const {
        return size_ >= 2 && static_cast<unsigned char>(held_[0]) == 0x1F &&
               static_cast<unsigned char>(held_[1]) == 0x8B;
    }
    size_t Read(char* buffer, size_t size) override {
        if (at_ < size_) {
            const size_t n = std::min(size, size_ - at_);
            std::memcpy(buffer, held_.get() + at_, n);
            at_ += n;
            if (at_ == size_) held_.reset();
            return n;
        }
        return inner_->Read(buffer, size);
    }

private:
    std::unique_ptr<ByteSource> inner_;
    std::unique_ptr<char[]> held_;
    size_t size_ = 0, at_ = 0;
};

// Inflates gzip members one after another, as gzip itself does; bytes after the last member that do not
// start another one are ignored, as gzip ignores trailing garbage.
class GzipSource : public ByteSource {
public:
    explicit GzipSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)), in_(new char[InputBlock]) {
        if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK)
            throw GuideError("The guide could not be unpacked: out of memory.");
    }
    ~GzipSource() override { inflateEnd(&z_); }
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    size_t Read(char* buffer, size_t size) override {
        if (done_ || size == 0) return 0;
        z_.next_out = reinterpret_cast<Bytef*>(buffer);
        z_.avail_out = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        const size_t asked = z_.avail_out;
        while (z_.avail_out > 0) {
            if (z_.avail_in == 0 && !Refill()) {
                if (!memberStarted_) {
                    done_ = true;  // the input ended cleanly between members
                    break;
                }
                throw GuideError("The guide's gzip data is truncated.");
            }
            memberStarted_ = true;
            const int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                memberStarted_ = false;
                if (!NextMember()) {
                    done_ = true;
                    break;
                }
            } else if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
                throw GuideError(std::string("The guide's gzip data is corrupt: ") + (z_.msg ? z_.msg : "bad data") +
                                 ".");
            } else if (rc == Z_MEM_ERROR) {
                throw GuideError("The guide could not be unpacked: out of memory.");
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                throw GuideError("The guide's gzip data is corrupt.");
            }
        }
        return asked - z_.avail_out;
    }

private:
    bool Refill() {
        if (eof_) return false;
        const size_t n = inner_->Read(in_.get(), InputBlock);
        if (n == 0) {
            eof_ = true;
            return false;
        }
        z_.next_in = reinterpret_cast<Bytef*>(in_.get());
        z_.avail_in = static_cast<uInt>(n);
        return true;
    }
    // After a member's end: true when another member follows.
    bool NextMember() {
        if (z_.avail_in == 0 && !Refill()) return false;
        if (z_.avail_in < 2) {
            // One byte left in this block: the magic may straddle two reads.
            const unsigned char first = z_.next_in[0];
            const size_t n = inner_->Read(in_.get() + 1, InputBlock - 1);
            in_[0] = static_cast<char>(first);
            z_.next_in = reinterpret_cast<Bytef*>(in_.get());
            z_.avail_in = static_cast<uInt>(1 + n);
            if (n == 0) eof_ = true;
        }
        if (z_.avail_in < 2 || z_.next_in[0] != 0x1F || z_.next_in[1] != 0x8B) return false;
        inflateReset(&z_);
        return true;
    }

    std::unique_ptr<ByteSource> inner_;
    std::unique_ptr<char[]> in_;
    z_stream z_{};
    bool eof_ = false, done_ = false, memberStarted_ = false;
};

// Counts what comes from the underlying source, and stops the read when asked to.
class CountingSource : public ByteSource {
public:
    CountingSource(std::unique_ptr<ByteSource> inner, const DecodeOptions& options)
        : inner_(std::move(inner)), options_(options) {}
    size_t Read(char* buffer, size_t size) override {
        if (options_.cancel && options_.cancel->load(std::memory_order_relaxed)) throw GuideCancelled();
        const size_t n = inner_->Read(buffer, size);
        total_ += n;
        if (options_.progress) options_.progress(total_);
        return n;
    }

private:
    std::unique_ptr<ByteSource> inner_;
    DecodeOptions options_;
    uint64_t total_ = 0;
};

class LimitSource : public ByteSource {
public:
    LimitSource(std::unique_ptr<ByteSource> inner, uint64_t limit, bool packed)
        : inner_(std::move(inner)), limit_(limit), packed_(packed) {}
    size_t Read(char* buffer, size_t size) override {
        // One byte beyond the limit tells a guide of exactly the limit from a larger one.
        const uint64_t room = limit_ - std::min(limit_, total_) + 1;
        const size_t n = inner_->Read(buffer, static_cast<size_t>(std::min<uint64_t>(size, room)));
        total_ += n;
        if (total_ > limit_)
            throw GuideError("The guide is larger than " + SizeText(limit_) + (packed_ ? " unpacked." : "."));
        return n;
    }

private:
    std::unique_ptr<ByteSource> inner_;
    uint64_t limit_, total_ = 0;
    bool packed_;
};

}  // namespace

size_t MemoryByteSource::Read(char* buffer, size_t size) {
    const size_t n = std::min(size, bytes_.size());
    std::memcpy(buffer, bytes_.data(), n);
    bytes_.remove_prefix(n);
    return n;
}

FileByteSource::FileByteSource(const std::filesystem::path& path) : name_(path.string()) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw GuideError("The guide file " + name_ + " could not be opened: " + std::strerror(errno) + ".");
    struct stat st {};
    if (::fstat(fd_, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(fd_);
            fd_ = -1;
            throw GuideError("The guide file " + name_ + " is a folder.");
        }
        size_ = static_cast<uint64_t>(st.st_size);
    }
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

FileByteSource::~FileByteSource() {
    if (fd_ >= 0) ::close(fd_);
}

size_t FileByteSource::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR)
            throw GuideError("The guide file " + name_ + " could not be read: " + std::strerror(errno) + ".");
    }
}

std::unique_ptr<ByteSource> OpenDecoded(std::unique_ptr<ByteSource> raw, const DecodeOptions& options) {
    auto probe = std::make_unique<ProbeSource>(std::make_unique<CountingSource>(std::move(raw), options));
    bool packed = false;
    for (int layer = 0; layer < 2 && probe->IsGzip(); ++layer) {
        packed = true;
        probe = std::make_unique<ProbeSource>(std::make_unique<GzipSource>(std::move(probe)));
    }
    return std::make_unique<LimitSource>(std::move(probe), options.maxDecodedBytes, packed);
}

std::string SizeText(uint64_t bytes) {
    constexpr uint64_t MiB = 1024 * 1024;
    return bytes % MiB == 0 ? std::to_string(bytes / MiB) + " MiB" : std::to_string(bytes) + " bytes";
}

}  // namespace castora
