#include "server/Extract.h"

#include "server/ZipDirectory.h"

#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

namespace castora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kArchiveName = "updates.zip";
// Files an archive from the network must never replace: the user's own list, its save buffer and the
// archive being read. The program file is added from the options.
constexpr const char* kProtectedNames[] = {"local.dat", "local_tmp.dat", "updates.zip"};
// Everything the program reads from its list directory ends in one of these.
constexpr const char* kCatalogueSuffixes[] = {".dat", ".txt"};
constexpr std::string_view kTempPrefix = ".update:";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kTempRandomDigits = 16;

constexpr uint8_t kMaxVersionNeeded = 21;
constexpr uint8_t kHostMsDos = 0;
constexpr uint8_t kHostUnix = 3;
constexpr uint32_t kDosReadOnly = 0x01;
constexpr uint32_t kDosDirectory = 0x10;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr size_t kChunk = 64 * 1024;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

struct ZipDiscard {
    void operator()(zip_t* za) const { zip_discard(za); }  // never writes back, unlike zip_close
};
struct ZipFileClose {
    void operator()(zip_file_t* zf) const { zip_fclose(zf); }
};

// A new file in the program directory that vanishes again unless it is renamed into place.
class TempFile {
public:
    explicit TempFile(const fs::path& dir) {
        std::random_device rd;
        for (int attempt = 0; attempt < 100 && fd_.get() < 0; ++attempt) {
            char digits[kTempRandomDigits + 1];
            std::snprintf(digits, sizeof digits, "%08x%08x", rd(), rd());
            // ":" separates name components in an archive, so no entry can land under this name.
            fs::path candidate = dir / (std::string(kTempPrefix) + digits + std::string(kTempSuffix));
            // 0666 so the umask decides, as for any file the program creates.
            int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd >= 0) {
                path_ = std::move(candidate);
                fd_.Reset(fd);
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    ~TempFile() {
        fd_.Close();
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool ok() const { return fd_.get() >= 0; }
    int fd() const { return fd_.get(); }
    const fs::path& path() const { return path_; }
    bool Close() { return fd_.Close(); }
    void Keep() { path_.clear(); }

private:
    Fd fd_;
    fs::path path_;
};

bool WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= size_t(n);
    }
    return true;
}

bool IsSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

// Names are used as stored. Names from MS-DOS hosts would need OEM-to-ANSI conversion on a system with
// code pages; here there are none, and the list files are named in ASCII, which every OEM page leaves as is.
std::string_view LastComponent(std::string_view name) {
    if (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.remove_suffix(1);
    size_t i = name.size();
    while (i > 0 && !IsSeparator(name[i - 1])) --i;
    return name.substr(i);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && !(x < 128 && y < 128 && std::tolower(x) == std::tolower(y))) return false;
    }
    return true;
}

bool IsTempName(std::string_view name) {
    if (name.size() != kTempPrefix.size() + kTempRandomDigits + kTempSuffix.size() || !name.starts_with(kTempPrefix) ||
        !name.ends_with(kTempSuffix))
        return false;
    const std::string_view digits = name.substr(kTempPrefix.size(), kTempRandomDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// A run killed between creating and renaming its temporary file leaves it behind; the next run clears it.
void RemoveLeftovers(const fs::path& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir.empty() ? fs::path(".") : dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        struct stat st {};
        if (IsTempName(name) && ::lstat(it->path().c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            ::unlink(it->path().c_str());
    }
}

// Files that the program reads from its list directory, and nothing else: no hidden file, no
// library, no configuration that another program would pick up from there.
bool IsCatalogueName(std::string_view component) {
    if (component.empty() || component.front() == '.') return false;
    for (char c : component)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    for (std::string_view suffix : kCatalogueSuffixes)
        if (component.size() > suffix.size() &&
            EqualsIgnoreCase(component.substr(component.size() - suffix.size()), suffix))
            return true;
    return false;
}

// Case is ignored so that a case-insensitive file system in the program directory cannot be used to
// slip past the check.
bool IsProtected(std::string_view component, const ExtractOptions& opts) {
    if (component == "." || component == "..") return true;
    if (!opts.programFileName.empty() && EqualsIgnoreCase(component, opts.programFileName)) return true;
    for (const char* name : kProtectedNames)
        if (EqualsIgnoreCase(component, name)) return true;
    return false;
}

struct Attributes {
    uint8_t host = kHostMsDos;
    uint32_t external = 0;
    mode_t UnixMode() const { return host == kHostUnix ? mode_t(external >> 16) : 0; }
};

bool IsDirectoryEntry(std::string_view name, const Attributes& attr) {
    if (attr.external & kDosDirectory) return true;
    if (!name.empty() && (name.back() == '/' || name.back() == '\\')) return true;
    return S_ISDIR(attr.UnixMode());
}

// The stored attributes only ever take permissions away from what the umask grants a new file: no
// execute, setuid, setgid or sticky bit, and nothing wider than the user's default comes from the network.
// The owner always keeps reading and, unless the entry is read-only, writing: the program must be able to
// read its lists, and the next update to replace them.
mode_t TargetMode(const Attributes& attr, mode_t defaultMode) {
    defaultMode &= 0666;
    bool readOnly = (attr.external & kDosReadOnly) != 0;
    mode_t mode = defaultMode;
    if (attr.host == kHostUnix && (attr.UnixMode() & 07777) != 0) {
        mode = attr.UnixMode() & defaultMode;
        readOnly = readOnly || (attr.UnixMode() & 0222) == 0;
    }
    return readOnly ? (mode & ~mode_t(0222)) | S_IRUSR : mode | S_IRUSR | S_IWUSR;
}

bool Cancelled(const ExtractOptions& opts) { return opts.cancel && opts.cancel->load(); }

// Decompresses the entry into tmp. False for every fault: damaged data, CRC mismatch, too large.
// Data with a wrong CRC-32 is not written: a corrupt global.dat would be worse than the old one.
bool Decompress(zip_t* za, zip_uint64_t index, const zip_stat_t& st, TempFile& tmp, const ExtractOptions& opts) {
    std::unique_ptr<zip_file_t, ZipFileClose> zf(zip_fopen_index(za, index, 0));
    if (!zf) return false;  // encrypted, unsupported method, unreadable
    std::vector<char> buf(kChunk);
    uint64_t total = 0;
    for (;;) {
        if (Cancelled(opts)) return false;
        zip_int64_t n = zip_fread(zf.get(), buf.data(), buf.size());
        if (n < 0) return false;  // damaged or short deflate data, CRC mismatch, read error
        if (n == 0) break;
        total += uint64_t(n);
        if (total > opts.maxEntryBytes || !WriteAll(tmp.fd(), buf.data(), size_t(n))) return false;
    }
    // libzip does not notice a central size that disagrees with the data.
    return total == st.size;
}

void ExtractEntry(zip_t* za, int archiveFd, zip_uint64_t index, const CentralRecord& rec, const zip_stat_t& st,
                  const fs::path& dir, const ExtractOptions& opts) {
    const std::string_view name = st.name;
    const std::string_view component = LastComponent(name);
    if (component.empty()) return;
    Attributes attr;
    zip_file_get_external_attributes(za, index, 0, &attr.host, &attr.external);
    if (IsDirectoryEntry(name, attr)) return;
    if (IsProtected(component, opts) || !IsCatalogueName(component)) return;
    if ((rec.versionNeeded & 0xFF) > kMaxVersionNeeded) return;
    const std::optional<LocalHeader> local = ReadLocalHeader(archiveFd, rec.localHeaderOffset);
    if (!local) return;
    if ((local->flags & kFlagEncrypted) || st.encryption_method != ZIP_EM_NONE) return;
    // libzip decodes by the central method; one that disagrees with the local header marks a bad entry.
    if ((local->method != ZIP_CM_STORE && local->method != ZIP_CM_DEFLATE) || local->method != st.comp_method) return;
    // A link's data is a path, not a list file: it becomes nothing.
    if (S_ISLNK(attr.UnixMode())) return;
    if (st.size > opts.maxEntryBytes) return;

    TempFile tmp(dir);
    if (!tmp.ok() || !Decompress(za, index, st, tmp, opts)) return;

    // Time and permissions go on before the rename, so the target never shows up half set.
    struct stat fresh {};
    if (::fstat(tmp.fd(), &fresh) == 0) ::fchmod(tmp.fd(), TargetMode(attr, fresh.st_mode));
    if (st.valid & ZIP_STAT_MTIME) {
        // libzip builds mtime from the DOS date and time with mktime, i.e. as local time.
        const struct timespec times[2] = {{0, UTIME_OMIT}, {st.mtime, 0}};
        ::futimens(tmp.fd(), times);
    }
    if (::fsync(tmp.fd()) != 0 || !tmp.Close() || Cancelled(opts)) return;

    const fs::path target = dir / fs::path(std::string(component));
    // Permission checks always pass for root, so a write-protected target is honoured by hand: it keeps
    // its old content and the entry counts as done. A link at the target is replaced, never followed.
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && (existing.st_mode & 0222) == 0) return;
    if (::rename(tmp.path().c_str(), target.c_str()) == 0) tmp.Keep();
}

std::string ZipErrorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

}  // namespace

void ExtractUpdate(const fs::path& archiveDir, const fs::path& targetDir, const ExtractOptions& opts) {
    const fs::path archivePath = archiveDir / kArchiveName;
    struct stat info {};
    if (::stat(archivePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    RemoveLeftovers(targetDir);
    if (opts.setGaugeMaximum) opts.setGaugeMaximum(0);

    Fd fd(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw EExtractError(std::string("Can't open the update archive: ") + std::strerror(errno));
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) throw EExtractError("Can't read the update archive");
    if (info.st_size == 0) throw EExtractError("The update archive is empty");

    // Our own walk first: it finds what libzip does not tell and rejects damage libzip lets through.
    const std::vector<CentralRecord> records = ReadCentralDirectory(fd.get(), uint64_t(info.st_size));

    // libzip keeps its descriptor only when the open succeeds.
    int zipFd = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
    if (zipFd < 0) throw EExtractError(std::string("Can't open the update archive: ") + std::strerror(errno));
    int zipError = 0;
    std::unique_ptr<zip_t, ZipDiscard> za(zip_fdopen(zipFd, 0, &zipError));
    if (!za) {
        ::close(zipFd);
        throw EExtractError("Can't read the update archive: " + ZipErrorText(zipError));
    }

    // Both readings must agree on every entry before anything is written.
    const zip_int64_t count = zip_get_num_entries(za.get(), 0);
    if (count < 0 || uint64_t(count) != records.size())
        throw EExtractError("Damaged update archive: entry count differs");
    std::vector<zip_stat_t> stats(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        zip_stat_t& st = stats[i];
        zip_stat_init(&st);
        if (zip_stat_index(za.get(), i, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME))
            throw EExtractError("Damaged update archive: unreadable entry");
        std::string expected = records[i].name;
        std::replace(expected.begin(), expected.end(), '\0', ' ');  // libzip reports a NUL as a space
        if (expected != st.name) throw EExtractError("Damaged update archive: entry names differ");
    }

    for (size_t i = 0; i < records.size() && !Cancelled(opts); ++i) {
        try {
            ExtractEntry(za.get(), fd.get(), i, records[i], stats[i], targetDir, opts);
        } catch (const std::exception&) {
            // A single entry never stops the run.
        }
    }
}

}  // namespace castora
