#include "catalogue/ListFiles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <unistd.h>

namespace castora {

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';

const char* FindCR(const char* p, const char* end);

// Bounded line reader over the file image: stops at the next CR or at the end of the data.
struct LineReader {
    std::string_view data;
    size_t pos = 0;

    std::string_view ReadLine() {
        const size_t start = pos;
        const char* cr = FindCR(data.data() + start, data.data() + data.size());
        const size_t end = cr ? static_cast<size_t>(cr - data.data()) : data.size();
        pos = cr ? end + 1 : data.size();
        return data.substr(start, end - start);
    }
    // The byte after a CR, normally the LF; a file with bare CRs loses a real character here.
    void SkipOne() {
        if (pos < data.size()) ++pos;
    }
    int Error() const { return 0; }
};

// The same line reading over a file taken in chunks, so a big list is never held in memory whole.
// Lines are views into the buffer, valid until the next call.
class FileLineReader {
public:
    explicit FileLineReader(int fd) : fd_(fd), buf_(ChunkBytes) {}

    std::string_view ReadLine() {
        size_t scan = pos_;
        for (;;) {
            const char* cr = FindCR(buf_.data() + scan, buf_.data() + end_);
            if (cr) {
                const size_t at = static_cast<size_t>(cr - buf_.data());
                const std::string_view line(buf_.data() + pos_, at - pos_);
                pos_ = at + 1;
                return line;
            }
            if (eof_) {
                const std::string_view line(buf_.data() + pos_, end_ - pos_);
                pos_ = end_;
                return line;
            }
            const size_t scanned = end_ - pos_;
            Fill();
            scan = pos_ + scanned;
        }
    }
    void SkipOne() {
        if (pos_ == end_ && !eof_) Fill();
        if (pos_ < end_) ++pos_;
    }

    // The errno of a read that failed; the data then ends where it failed.
    int Error() const { return error_; }

    static constexpr size_t ChunkBytes = 4u << 20;

private:
    // Keeps the unread tail, then reads behind it; a line longer than the buffer doubles it.
    void Fill() {
        if (pos_ > 0) {
            std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
        for (;;) {
            const ssize_t n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error_ = errno;
            if (n <= 0) eof_ = true;
            else end_ += static_cast<size_t>(n);
            return;
        }
    }

    int fd_;
    std::vector<char> buf_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    int error_ = 0;
};

// Most lines are a few bytes long: a plain scan finds their CR before a library call would start.
const char* FindCR(const char* p, const char* end) {
    const char* near = end - p > 16 ? p + 16 : end;
    for (; p < near; ++p)
        if (*p == CR) return p;
    if (p == end) return nullptr;
    return static_cast<const char*>(std::memchr(p, CR, static_cast<size_t>(end - p)));
}

size_t CountCR(std::string_view data) {
    const char* p = data.data();
    const char* end = p + data.size();
    size_t n = 0;
#ifdef __SSE2__
    // Sixteen bytes per compare, counted in byte lanes that are summed before they can overflow:
    // counting is the whole first pass over a list.
    const __m128i cr = _mm_set1_epi8(CR);
    __m128i sums = _mm_setzero_si128();
    while (end - p >= 16) {
        __m128i lanes = _mm_setzero_si128();
        const char* stop = p + std::min<ptrdiff_t>((end - p) / 16, 255) * 16;
        for (; p < stop; p += 16)
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), cr));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(lanes, _mm_setzero_si128()));
    }
    n += static_cast<size_t>(_mm_cvtsi128_si64(sums)) + static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
#endif
    for (; p < end; ++p) n += *p == CR;
    return n;
}

char HexDigit(int v) { return "0123456789ABCDEF"[v & 15]; }

bool BreaksLine(unsigned char scrambled) { return scrambled == CR || scrambled == LF; }

unsigned char ScrambleByte(unsigned char b, size_t pos) {
    return static_cast<unsigned char>(b + static_cast<unsigned char>(UrlKey[(pos + 1) % UrlKey.size()]));
}

void AppendTextLine(std::string& out, std::string_view text) {
    // A CR or LF inside a field would split the record; a blank keeps every later line in place.
    for (char c : text) out.push_back(c == CR || c == LF ? ' ' : c);
    out += "\r\n";
}

} // namespace

namespace {

// Adds delta[j] to byte j of every run of n bytes (the last run may be short).
void AddRuns(unsigned char* __restrict bytes, size_t size, const unsigned char* __restrict delta, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    // The list key is 16 bytes: one vector addition per run.
    if (n == 16) {
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(delta));
        for (; i + 16 <= size; i += 16) {
            auto* p = reinterpret_cast<__m128i*>(bytes + i);
            _mm_storeu_si128(p, _mm_add_epi8(_mm_loadu_si128(p), d));
        }
    }
#endif
    for (size_t j = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(bytes[i] + delta[j]);
        if (++j == n) j = 0;
    }
}

// The key rotated by one, negated for decoding.
void RotatedKey(std::string_view key, bool decode, unsigned char* out) {
    const size_t n = key.size();
    for (size_t j = 0; j < n; ++j) {
        const auto k = static_cast<unsigned char>(key[j + 1 < n ? j + 1 : 0]);
        out[j] = static_cast<unsigned char>(decode ? 256u - k : k);
    }
}

struct UrlKeyDeltas {
    unsigned char encode[UrlKey.size()];
    unsigned char decode[UrlKey.size()];
    UrlKeyDeltas() {
        RotatedKey(UrlKey, false, encode);
        RotatedKey(UrlKey, true, decode);
    }
};

} // namespace

std::string ScrambleUrl(std::string_view text, std::string_view key, bool decode) {
    std::string out(text);
    const size_t n = key.size();
    if (n == 0) return out;
    // Byte i takes key[(i + 1) mod n]: every run of n bytes meets the key rotated by one. Adding
    // 255 * k modulo 256 is subtracting k. Runs against the rotated key need no division per byte.
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    if (key == UrlKey) {
        static const UrlKeyDeltas deltas;
        AddRuns(bytes, out.size(), decode ? deltas.decode : deltas.encode, UrlKey.size());
        return out;
    }
    std::string rotated(n, '\0');
    auto* delta = reinterpret_cast<unsigned char*>(rotated.data());
    RotatedKey(key, decode, delta);
    AddRuns(bytes, out.size(), delta, n);
    return out;
}

std::string EncodeUrlLine(std::string_view url) {
    std::string clear;
    clear.reserve(url.size());
    for (char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (!BreaksLine(ScrambleByte(b, clear.size()))) {
            clear.push_back(c);
            continue;
        }
        // Only bytes above 127 can scramble to CR or LF with this key; their escape is plain ASCII.
        clear.push_back('%');
        clear.push_back(HexDigit(b >> 4));
        clear.push_back(HexDigit(b));
    }
    return ScrambleUrl(clear, UrlKey, false);
}

std::optional<int32_t> ParseInt32(std::string_view text) {
    // The codes in a list are short plain numbers; nine digits cannot overflow.
    if (!text.empty() && text.size() <= 9) {
        int32_t v = 0;
        size_t d = 0;
        for (; d < text.size() && text[d] >= '0' && text[d] <= '9'; ++d) v = v * 10 + (text[d] - '0');
        if (d == text.size()) return v;
    }
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        value = value * base + d;
        if (value > int64_t(1) << 32) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

namespace {

// Hands control to the window every ~15 ms of a step that has no record position to report.
class Breather {
public:
    explicit Breather(ProgressSink* progress) : progress_(progress), last_(Clock::now()) {}
    void Poll() {
        if (!progress_) return;
        const auto now = Clock::now();
        if (now - last_ < std::chrono::milliseconds(15)) return;
        progress_->Breathe();
        last_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    ProgressSink* progress_;
    Clock::time_point last_;
};

// A million records are ~150 MB touched for the first time during the load; in 4 KB pages that is
// tens of thousands of page faults, a good part of the load's time. Huge pages where the system
// grants them on request. Only a hint: nothing changes where it is refused.
void PreferHugePages(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t Huge = 2u << 20;
    const auto begin = (reinterpret_cast<uintptr_t>(data) + Huge - 1) & ~(Huge - 1);
    const auto end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(Huge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Drops the table's records a slice at a time: freeing a million of them at once stalls the window.
// ChannelCount follows Channels down, so whatever paints meanwhile sees a consistent table.
void ReleaseRecords(ChannelTable& table, ProgressSink* progress) {
    Breather breather(progress);
    constexpr size_t Slice = 4096;
    while (progress && table.Channels.size() > Slice) {
        const size_t keep = table.Channels.size() - Slice;
        table.Channels.resize(keep);
        table.ChannelCount = static_cast<int32_t>(keep - 1);
        // The freed strings wait in the allocator's fast lists, which it merges all in one go at the
        // next large request: after a million records, a stall of its own. A large request after
        // every slice has them merged a slice at a time.
        void* volatile nudge = std::malloc(64 * 1024);
        std::free(nudge);
        breather.Poll();
    }
    table.ResetChannels();
}

size_t CountFileCR(int fd, ProgressSink* progress, int& error) {
    std::vector<char> buf(FileLineReader::ChunkBytes);
    Breather breather(progress);
    size_t crs = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        crs += CountCR(std::string_view(buf.data(), static_cast<size_t>(n)));
        breather.Poll();
    }
    return crs;
}

std::string CantRead(int listNumber, const std::string& reason) {
    return std::string("Can't read ") + ListFiles[listNumber] + ": " + reason;
}

// Fills the table from a list's lines, given its CR count; list 0 must have been reset by the caller.
// A read that fails ends the list after its last whole record.
template <class Reader>
LoadResult ReadRecords(ChannelTable& table, int listNumber, size_t crs, Reader& reader, ProgressSink* progress) {
    LoadResult result;
    result.found = true;
    const int32_t base = listNumber == 0 ? 0 : table.ChannelCount;
    const int32_t count = crs >= 1 ? static_cast<int32_t>((crs - 1) / 8) : 0;
    int32_t total = base + count;
    if (progress)
        progress->ShowProgressPhase(std::string("Loading ") + ListNames[listNumber] + " channels ...", Red, total);
    // Room for the local list that follows, so appending it does not move every global record.
    // Capacity that is never used is never touched and costs address space only.
    if (listNumber == 0) {
        table.Channels.reserve(static_cast<size_t>(total) + total / 4 + 1);
        PreferHugePages(table.Channels.data(), table.Channels.capacity() * sizeof(TChannelRec));
    } else {
        table.Channels.reserve(static_cast<size_t>(total) + 1);
    }
    // Records are appended as they are read, each built while its memory is at hand, rather than all
    // cleared first and filled in a second sweep. ChannelCount follows them, and RowMap is already
    // long enough for the whole list, so a grid rebuild in a breathing pause stays within bounds.
    table.Channels.resize(static_cast<size_t>(base) + 1);
    table.ChannelCount = base;
    table.RowMap.resize(static_cast<size_t>(total) + 2);

    table.ListDate = std::string(reader.ReadLine());
    result.listDate = table.ListDate;

    Pacer pacer(progress);
    const bool local = listNumber == 1;
    for (int32_t e = base + 1; e <= total; ++e) {
        pacer.Tick(e);
        TChannelRec& rec = table.Channels.emplace_back();
        table.ChannelCount = e;
        int32_t* numbers[4] = {&rec.Format, &rec.Source, &rec.Country, &rec.Genre};
        for (int32_t* field : numbers) {
            reader.SkipOne();
            const std::string_view line = reader.ReadLine();
            if (auto v = ParseInt32(line)) {
                *field = *v;
            } else {
                *field = 0;
                if (!result.error) result.error = "'" + std::string(line) + "' is not a valid integer value";
            }
        }
        std::string* texts[4] = {&rec.Name, &rec.Url, &rec.Bitrate, &rec.Comments};
        for (std::string* field : texts) {
            reader.SkipOne();
            const std::string_view line = reader.ReadLine();
            if (field == &rec.Url) *field = ScrambleUrl(line, UrlKey, true);
            else field->assign(line.data(), line.size());
        }
        rec.IsLocal = local;
        if (reader.Error()) {
            table.Channels.pop_back();
            total = e - 1;
            break;
        }
    }
    table.Resize(total);
    if (progress) pacer.Flush(total);
    return result;
}

} // namespace

LoadResult ParseChannelList(ChannelTable& table, int listNumber, std::string_view data, ProgressSink* progress) {
    if (listNumber == 0) table.ResetChannels();
    LineReader reader{data};
    return ReadRecords(table, listNumber, CountCR(data), reader, progress);
}

LoadResult LoadChannelList(ChannelTable& table, int listNumber, const std::filesystem::path& dir,
                           ProgressSink* progress) {
    const std::filesystem::path path = dir / ListFiles[listNumber];
    if (listNumber == 0) ReleaseRecords(table, progress);
    // Non-blocking, so that a pipe of that name cannot hang the start-up; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    // Only a missing list is an empty one; a list that is there but cannot be read is reported.
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return {};
        LoadResult result;
        result.error = CantRead(listNumber, std::strerror(err));
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int err = errno;
        LoadResult result;
        result.error = CantRead(listNumber, S_ISDIR(info.st_mode) ? std::strerror(EISDIR)
                                            : info.st_mode != 0   ? "not a regular file"
                                                                  : std::strerror(err));
        ::close(fd);
        return result;
    }
    // Two passes in chunks, one counting the lines and one reading the records, instead of a copy of
    // the whole file: a big list then costs its table and a few megabytes, not its size twice over.
    int countError = 0;
    const size_t crs = CountFileCR(fd, progress, countError);
    LoadResult result;
    int readError = 0;
    if (::lseek(fd, 0, SEEK_SET) == 0) {
        FileLineReader reader(fd);
        result = ReadRecords(table, listNumber, crs, reader, progress);
        readError = reader.Error();
    } else {
        readError = errno;
    }
    // The records before a failed read are kept; the failure is what is shown, before any bad number.
    if (!readError) readError = countError;
    if (readError) result.error = CantRead(listNumber, std::strerror(readError));
    ::close(fd);
    return result;
}

std::string FormatLocalList(const ChannelTable& table, std::string_view dateLine) {
    std::string out;
    AppendTextLine(out, dateLine);
    for (int32_t i = 1; i <= table.ChannelCount; ++i) {
        const TChannelRec& rec = table.Channels[i];
        if (!rec.IsLocal) continue;
        for (int32_t v : {rec.Format, rec.Source, rec.Country, rec.Genre}) {
            out += std::to_string(v);
            out += "\r\n";
        }
        AppendTextLine(out, rec.Name);
        out += EncodeUrlLine(rec.Url);
        out += "\r\n";
        AppendTextLine(out, rec.Bitrate);
        AppendTextLine(out, rec.Comments);
    }
    return out;
}

namespace {
bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void SyncDirectory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}
} // namespace

SaveResult SaveLocalList(const ChannelTable& table, const std::filesystem::path& dir, std::string_view dateLine) {
    SaveResult result;
    for (int32_t i = 1; i <= table.ChannelCount; ++i) result.written += table.Channels[i].IsLocal ? 1 : 0;
    const std::string date = dateLine.empty() ? ShortDateToday() : std::string(dateLine);
    const std::string bytes = FormatLocalList(table, date);

    const std::filesystem::path tmp = dir / "local_tmp.dat";
    const std::filesystem::path target = dir / "local.dat";
    // A stale buffer from a crashed save is removed, never opened: whatever sits under that name, a link
    // above all, could send the list elsewhere. unlink takes the name only, never what a link points to.
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return result;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return result;
    const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return result;
    }
    SyncDirectory(dir);
    result.ok = true;
    return result;
}

std::string ShortDateToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%x", &local);
    return std::string(buf, n);
}

} // namespace castora
