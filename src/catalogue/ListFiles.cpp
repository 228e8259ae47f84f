#include "catalogue/ListFiles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <thread>
#include <utility>
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
// The characters of a bad line that an error quotes.
constexpr size_t QuoteLimit = 40;

const char* FindCR(const char* p, const char* end);

// Line reader over a list held whole in a writable buffer with a NUL after its end.
// Each line read is ended in place by a NUL where its CR was, so the records can refer to their texts
// where they lie.
struct BufferReader {
    BufferReader(char* bytes, size_t length, size_t from = 0) : data(bytes), size(length), pos(from), origin_(from) {}

    char* data;
    size_t size;
    size_t pos;
    bool hitEnd = false;  // a line ran into the end of the data, or a skip found nothing to skip

    std::string_view ReadLine() {
        const size_t start = pos;
        const size_t cr = NextCR();
        if (cr >= size) {
            hitEnd = true;
            pos = size;
            return {data + start, size - start};
        }
        data[cr] = '\0';
        pos = cr + 1;
        return {data + start, cr - start};
    }
    // The byte after a CR, normally the LF; a file with bare CRs loses a real character here.
    void SkipOne() {
        if (pos < size) ++pos;
        else hitEnd = true;
    }

private:
    // The CRs of one sixteen-byte block at a time, as bits: most lines are a few bytes long, and the
    // next line's CR is then usually in the block already at hand. Blocks count from where the reader
    // started and never reach past its end, so two readers of one buffer never look at each other's
    // bytes.
    uint32_t CrBits(size_t at) const {
#ifdef __SSE2__
        if (at + 16 <= size) [[likely]] {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
            return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(CR))));
        }
#endif
        return LastCrBits(at);
    }
    [[gnu::noinline]] uint32_t LastCrBits(size_t at) const {
        uint32_t bits = 0;
        for (size_t i = 0; i < 16 && at + i < size; ++i) bits |= static_cast<uint32_t>(data[at + i] == CR) << i;
        return bits;
    }
    // The first CR at or after pos, or size when none is left before the end.
    size_t NextCR() {
        if (pos >= size) return size;
        const size_t at = origin_ + ((pos - origin_) & ~size_t(15));
        if (at != block_) {
            block_ = at;
            bits_ = CrBits(at);
        }
        uint32_t bits = bits_ & (~0u << (pos - at));
        while (bits == 0) {
            block_ += 16;
            if (block_ >= size) return size;
            bits = bits_ = CrBits(block_);
        }
        const size_t cr = block_ + static_cast<size_t>(__builtin_ctz(bits));
        return cr < size ? cr : size;
    }

    size_t origin_;
    size_t block_ = SIZE_MAX;
    uint32_t bits_ = 0;
};

// Most lines are a few bytes long: a plain scan finds their CR before a library call would start.
const char* FindCR(const char* p, const char* end) {
    const char* near = end - p > 16 ? p + 16 : end;
    for (; p < near; ++p)
        if (*p == CR) return p;
    if (p == end) return nullptr;
    return static_cast<const char*>(std::memchr(p, CR, static_cast<size_t>(end - p)));
}

// Counts the CRs in [p, end) and notes whether a CR there is followed by another one: only then can a
// line's skipped byte be a CR, which is what keeps the list from splitting at a counted CR.
size_t CountCR(const char* p, const char* end, bool& crPair) {
    size_t n = 0;
    bool pair = false;
#ifdef __SSE2__
    // Sixteen bytes per compare, counted in byte lanes that are summed before they can overflow:
    // counting is the whole first look at a list.
    const __m128i cr = _mm_set1_epi8(CR);
    __m128i sums = _mm_setzero_si128();
    __m128i pairs = _mm_setzero_si128();
    while (end - p >= 17) {
        __m128i lanes = _mm_setzero_si128();
        const char* stop = p + std::min<ptrdiff_t>((end - p - 1) / 16, 255) * 16;
        for (; p < stop; p += 16) {
            const __m128i here = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), cr);
            const __m128i next = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), cr);
            lanes = _mm_sub_epi8(lanes, here);
            pairs = _mm_or_si128(pairs, _mm_and_si128(here, next));
        }
        sums = _mm_add_epi64(sums, _mm_sad_epu8(lanes, _mm_setzero_si128()));
    }
    n += static_cast<size_t>(_mm_cvtsi128_si64(sums)) +
         static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    pair = _mm_movemask_epi8(pairs) != 0;
#endif
    for (; p < end; ++p) {
        n += *p == CR;
        pair |= *p == CR && p + 1 < end && p[1] == CR;
    }
    crPair |= pair;
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

}  // namespace

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

}  // namespace

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

// The kernel zeroes every page of the record array when it is first written, a good part of a big
// list's load; asking for the pages beforehand, one half on each thread, shares that out. The memory
// is the array's unused capacity, which holds no object yet.
void PrefaultOnTwoThreads(void* data, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    constexpr uintptr_t Page = 4096;
    const auto begin = (reinterpret_cast<uintptr_t>(data) + Page - 1) & ~(Page - 1);
    const auto end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(Page - 1);
    if (end <= begin + 2 * Page) return;
    const uintptr_t mid = begin + ((end - begin) / 2 & ~(Page - 1));
    std::thread helper([mid, end] { ::madvise(reinterpret_cast<void*>(mid), end - mid, MADV_POPULATE_WRITE); });
    ::madvise(reinterpret_cast<void*>(begin), mid - begin, MADV_POPULATE_WRITE);
    helper.join();
#else
    (void)data;
    (void)bytes;
#endif
}

std::string CantRead(int listNumber, const std::string& reason) {
    return std::string("Can't read ") + ListFiles[listNumber] + ": " + reason;
}

// A list held whole, with a NUL after its bytes, and what its first look found.
struct ListImage {
    std::shared_ptr<char[]> bytes;
    size_t size = 0;
    size_t crs = 0;
    bool crPair = false;  // somewhere a CR follows a CR
    size_t mid = 0;       // when not 0: the CRs in [0, mid) are crsBeforeMid
    size_t crsBeforeMid = 0;
    int error = 0;  // errno of a read that failed; the bytes end where it failed
};

constexpr size_t ReadChunk = 1u << 20;

// Reads [from, to) of the file in place, counting the CRs of each piece while it is still in cache.
// Returns where the bytes read end: short of `to` at the end of the file or at a failed read.
size_t ReadRange(int fd, char* buf, size_t from, size_t to, size_t& crs, bool& crPair, int& error) {
    size_t at = from;
    while (at < to) {
        const ssize_t n = ::pread(fd, buf + at, std::min(ReadChunk, to - at), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        crs += CountCR(buf + at, buf + at + n, crPair);
        crPair |= at > from && buf[at - 1] == CR && buf[at] == CR;
        at += static_cast<size_t>(n);
    }
    return at;
}

// Reads the whole file into one buffer, its halves on two threads when it is big enough.
ListImage ReadList(int fd, size_t expected, const LoadOptions& options) {
    ListImage image;
    size_t capacity = expected + 1;
    std::unique_ptr<char[]> buf(new char[capacity]);
    PreferHugePages(buf.get(), capacity);
    size_t size = 0;
    bool more = true;
    if (options.threads > 1 && expected >= std::max<size_t>(options.splitBytes, 2)) {
        const size_t mid = expected / 2;
        size_t tailCrs = 0, tailEnd = mid;
        bool tailPair = false;
        int tailError = 0;
        std::thread helper([&] { tailEnd = ReadRange(fd, buf.get(), mid, expected, tailCrs, tailPair, tailError); });
        size = ReadRange(fd, buf.get(), 0, mid, image.crs, image.crPair, image.error);
        helper.join();
        more = false;
        if (size == mid && !image.error) {
            image.mid = mid;
            image.crsBeforeMid = image.crs;
            size = tailEnd;
            image.crs += tailCrs;
            image.crPair |= tailPair || (size > mid && buf[mid - 1] == CR && buf[mid] == CR);
            image.error = tailError;
            more = size == expected && !image.error;
        }
    }
    // The file may be longer than it said (or say nothing, as files under /proc do): a look past the
    // end decides before the buffer is ever grown.
    while (more) {
        if (size + 1 == capacity) {
            char probe[4096];
            const ssize_t n = ::pread(fd, probe, sizeof probe, static_cast<off_t>(size));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) image.error = errno;
            if (n <= 0) break;
            // A file that grows while it is read, or says no size, stops at the limit like a big one.
            if (size >= ListSizeLimit) {
                image.error = EFBIG;
                break;
            }
            const size_t grown = std::min<size_t>(std::max(capacity * 2, size + ReadChunk + 1), ListSizeLimit + 1);
            std::unique_ptr<char[]> bigger(new char[grown]);
            std::memcpy(bigger.get(), buf.get(), size);
            buf = std::move(bigger);
            capacity = grown;
        }
        const size_t before = size;
        size = ReadRange(fd, buf.get(), size, capacity - 1, image.crs, image.crPair, image.error);
        image.crPair |= before > 0 && size > before && buf[before - 1] == CR && buf[before] == CR;
        more = size == capacity - 1 && !image.error;
    }
    buf[size] = '\0';
    image.size = size;
    image.bytes = std::shared_ptr<char[]>(buf.release());
    return image;
}

// Names the file and the record, and quotes no more of the line than a message box can show: a line of
// megabytes would take the box longer to lay out than the whole list takes to load.
[[gnu::noinline, gnu::cold]] std::string BadNumber(int listNumber, int64_t record, std::string_view line) {
    std::string text = std::string(ListFiles[listNumber]) + ", record " + std::to_string(record) + ": '";
    text.append(line.substr(0, QuoteLimit));
    if (line.size() > QuoteLimit) text += '\x85';  // an ellipsis in Windows-1251
    text.append("' is not a valid integer value");
    return text;
}

// Fills out[0, n) from the reader. After a failed read (`failed`), a record that runs into the end of
// the data is dropped and reading stops there. Returns the records filled.
// out[0] is record `first` of list `listNumber` (counting from 1), for the error text.
template <class Tick>
int32_t ReadRecordRange(BufferReader& reader, TChannelRec* out, int32_t n, int listNumber, int32_t first, bool failed,
                        std::optional<std::string>& error, Tick&& tick) {
    const bool local = listNumber == 1;
    static const UrlKeyDeltas deltas;
    for (int32_t i = 0; i < n; ++i) {
        tick(i);
        TChannelRec& rec = out[i];
        int32_t* numbers[4] = {&rec.Format, &rec.Source, &rec.Country, &rec.Genre};
        for (int32_t* field : numbers) {
            reader.SkipOne();
            const std::string_view line = reader.ReadLine();
            // Codes are short plain numbers: digits are read here, anything else by the general parser.
            if (line.size() - 1 < 9 && static_cast<unsigned char>(line[0] - '0') < 10) {
                int32_t v = 0;
                size_t d = 0;
                for (; d < line.size() && static_cast<unsigned char>(line[d] - '0') < 10; ++d)
                    v = v * 10 + (line[d] - '0');
                if (d == line.size()) {
                    *field = v;
                    continue;
                }
            }
            if (auto v = ParseInt32(line)) {
                *field = *v;
            } else {
                *field = 0;
                if (!error) error = BadNumber(listNumber, int64_t(first) + i, line);
            }
        }
        TText* texts[4] = {&rec.Name, &rec.Url, &rec.Bitrate, &rec.Comments};
        for (TText* field : texts) {
            reader.SkipOne();
            const std::string_view line = reader.ReadLine();
            char* bytes = const_cast<char*>(line.data());
            // The URL is unscrambled where it lies: the file's bytes are the table's now.
            if (field == &rec.Url)
                AddRuns(reinterpret_cast<unsigned char*>(bytes), line.size(), deltas.decode, UrlKey.size());
            *field = TText::Ref(bytes, line.size());
        }
        rec.IsLocal = local;
        if (failed && reader.hitEnd) {
            rec = TChannelRec{};
            return i;
        }
    }
    return n;
}

// The first record boundary at or after the image's middle: the record index and where it starts.
// Each line ends at one CR as long as no CR follows a CR, so record k starts after CR number 8k + 1.
std::optional<std::pair<int32_t, size_t>> SplitPoint(const ListImage& image, int32_t count) {
    if (image.mid == 0 || image.crPair || image.error) return std::nullopt;
    const int32_t k = std::max<int32_t>(1, static_cast<int32_t>((image.crsBeforeMid + 7) / 8));
    if (k >= count) return std::nullopt;
    const size_t want = 8 * static_cast<size_t>(k) + 1;
    const char* data = image.bytes.get();
    const char* p = data + image.mid;
    for (size_t seen = image.crsBeforeMid;; ++p) {
        p = FindCR(p, data + image.size);
        if (!p) return std::nullopt;
        if (++seen == want) break;
    }
    return std::make_pair(k, static_cast<size_t>(p - data) + 1);
}

// Fills the table from a list image; list 0 must have been reset by the caller. The records refer to
// the image, which the table keeps.
LoadResult ParseImage(ChannelTable& table, int listNumber, const ListImage& image, const LoadOptions& options,
                      ProgressSink* progress) {
    LoadResult result;
    result.found = true;
    const int32_t base = listNumber == 0 ? 0 : table.ChannelCount;
    const int32_t count = image.crs >= 1 ? static_cast<int32_t>((image.crs - 1) / 8) : 0;
    int32_t total = base + count;
    if (progress)
        progress->ShowProgressPhase(std::string("Loading ") + ListNames[listNumber] + " channels ...", Red, total);
    // Room for the local list that follows, so appending it does not move every global record.
    // Capacity that is never used is never touched and costs address space only.
    table.Reserve(static_cast<size_t>(total) + (listNumber == 0 ? total / 4 : 0));
    // The pages of the capacity are prepared before any record lives there.
    auto* pages = const_cast<TChannelRec*>(table.Channels.data());
    if (listNumber == 0) PreferHugePages(pages, table.Channels.capacity() * sizeof(TChannelRec));
    if (options.threads > 1 && image.size >= options.splitBytes)
        PrefaultOnTwoThreads(pages + table.Channels.size(),
                             (static_cast<size_t>(total) + 1 - table.Channels.size()) * sizeof(TChannelRec));
    // Both arrays have the whole list's length from the start, so the table is consistent at every
    // progress report; records are filled in place.
    table.Resize(total);
    table.KeepArena(image.bytes);

    char* data = image.bytes.get();
    BufferReader head{data, image.size};
    table.ListDate = std::string(head.ReadLine());
    result.listDate = table.ListDate;

    const bool failed = image.error != 0;
    TChannelRec* first = &table.Record(base) + 1;
    int32_t split = count;
    std::optional<std::string> tailError;
    std::exception_ptr tailFailure;
    std::thread helper;
    if (options.threads > 1 && image.size >= options.splitBytes) {
        if (const auto at = SplitPoint(image, count)) {
            split = at->first;
            head.size = at->second;  // never reached: a safeguard against reading what the helper writes
            helper = std::thread([&, start = at->second] {
                try {
                    BufferReader tail{data, image.size, start};
                    ReadRecordRange(tail, first + split, count - split, listNumber, split + 1, false, tailError,
                                    [](int32_t) {});
                } catch (...) {
                    tailFailure = std::current_exception();
                }
            });
        }
    }
    Pacer pacer(progress);
    const int64_t scale = split > 0 ? split : 1;
    int32_t done = 0;
    try {
        done = ReadRecordRange(head, first, split, listNumber, 1, failed, result.error, [&](int32_t i) {
            pacer.Tick(base + static_cast<int32_t>((static_cast<int64_t>(i) + 1) * count / scale));
        });
    } catch (...) {
        if (helper.joinable()) helper.join();
        throw;
    }
    if (helper.joinable()) {
        helper.join();
        if (tailFailure) std::rethrow_exception(tailFailure);
        if (!result.error) result.error = std::move(tailError);
        done = count;
    }
    total = base + done;
    table.Resize(total);
    if (progress) pacer.Flush(total);
    return result;
}

}  // namespace

LoadResult ParseChannelList(ChannelTable& table, int listNumber, std::string_view data, ProgressSink* progress,
                            const LoadOptions& options) {
    if (listNumber == 0) table.ResetChannels();
    ListImage image;
    image.bytes = std::shared_ptr<char[]>(new char[data.size() + 1]);
    std::memcpy(image.bytes.get(), data.data(), data.size());
    image.bytes[data.size()] = '\0';
    image.size = data.size();
    image.mid = data.size() / 2;
    image.crsBeforeMid = CountCR(data.data(), data.data() + image.mid, image.crPair);
    image.crs = image.crsBeforeMid + CountCR(data.data() + image.mid, data.data() + data.size(), image.crPair);
    image.crPair |= image.mid > 0 && data[image.mid - 1] == CR && data[image.mid] == CR;
    if (image.mid == 0) image.crsBeforeMid = 0;
    return ParseImage(table, listNumber, image, options, progress);
}

LoadResult LoadChannelList(ChannelTable& table, int listNumber, const std::filesystem::path& dir,
                           ProgressSink* progress, const LoadOptions& options) {
    const std::filesystem::path path = dir / ListFiles[listNumber];
    if (listNumber == 0) table.ResetChannels();
    // Non-blocking, so that a pipe of that name cannot hang the start-up; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    // Only a missing list is an empty one; a list that is there but cannot be read is reported.
    if (fd < 0) {
        const int err = errno;
        struct stat link {};
        // A link that leads nowhere is a list that cannot be read, not a missing one: saving over it
        // must not pass for saving the first list.
        const bool dangling = err == ENOENT && ::lstat(path.c_str(), &link) == 0;
        if ((err == ENOENT || err == ENOTDIR) && !dangling) return {};
        LoadResult result;
        result.error =
            CantRead(listNumber, dangling ? "it is a link to a file that does not exist" : std::strerror(err));
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
    if (static_cast<uint64_t>(info.st_size) > ListSizeLimit) {
        ::close(fd);
        LoadResult result;
        result.error = CantRead(listNumber, "the file is larger than 2 GiB");
        return result;
    }
    // The file is read once, whole, into the buffer its records then refer to: the texts are not
    // copied again, and a big list costs its size and its record array.
    const ListImage image = ReadList(fd, static_cast<size_t>(std::max<off_t>(info.st_size, 0)), options);
    ::close(fd);
    LoadResult result = ParseImage(table, listNumber, image, options, progress);
    // The records before a failed read are kept; the failure is what is shown, before any bad number.
    if (image.error == EFBIG) result.error = CantRead(listNumber, "the file is larger than 2 GiB");
    else if (image.error) result.error = CantRead(listNumber, std::strerror(image.error));
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
}  // namespace

int ReplaceFile(const std::filesystem::path& tmp, const std::filesystem::path& target, std::string_view bytes) {
    // unlink takes the name only, never what a link there points to.
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return errno;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int error = WriteAll(fd, bytes) && ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(tmp.c_str(), target.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(tmp.c_str());
        return error;
    }
    SyncDirectory(target.parent_path());
    return 0;
}

SaveResult SaveLocalList(const ChannelTable& table, const std::filesystem::path& dir, std::string_view dateLine) {
    SaveResult result;
    for (int32_t i = 1; i <= table.ChannelCount; ++i) result.written += table.Channels[i].IsLocal ? 1 : 0;
    const std::string date = dateLine.empty() ? ShortDateToday() : std::string(dateLine);
    // A stale buffer from a crashed save is removed, never opened.
    result.ok = ReplaceFile(dir / "local_tmp.dat", dir / "local.dat", FormatLocalList(table, date)) == 0;
    return result;
}

namespace {
bool NameTaken(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

int CopyFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) return errno;
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return err;
    }
    int error = 0;
    std::unique_ptr<char[]> buffer(new char[ReadChunk]);
    for (;;) {
        const ssize_t n = ::read(in, buffer.get(), ReadChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        if (!WriteAll(out, std::string_view(buffer.get(), static_cast<size_t>(n)))) {
            error = errno;
            break;
        }
    }
    if (!error && ::fsync(out) != 0) error = errno;
    if (::close(out) != 0 && !error) error = errno;
    ::close(in);
    if (error) ::unlink(to.c_str());
    return error;
}
}  // namespace

std::string DamagedListBackupName(const std::filesystem::path& dir) {
    const std::string plain = std::string(ListFiles[1]) + ".bak";
    if (!NameTaken(dir / plain)) return plain;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
    for (int n = 1;; ++n) {
        const std::string name =
            std::string(ListFiles[1]) + "." + stamp + (n > 1 ? "-" + std::to_string(n) : "") + ".bak";
        if (!NameTaken(dir / name)) return name;
    }
}

int KeepLocalList(const std::filesystem::path& dir, const std::string& name) {
    const std::filesystem::path list = dir / ListFiles[1];
    const std::filesystem::path kept = dir / name;
    struct stat info {};
    if (::lstat(list.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
    // The link itself, never what it points to: a link to nothing is kept as that link.
    if (::linkat(AT_FDCWD, list.c_str(), AT_FDCWD, kept.c_str(), 0) == 0) {
        SyncDirectory(dir);
        return 0;
    }
    const int err = errno;
    if (err == EEXIST || err == ENOENT || err == ENOSPC || err == EROFS || err == EACCES) return err;
    // File systems without hard links, or a file the system protects from them.
    int copied;
    if (S_ISLNK(info.st_mode)) {
        std::string target(static_cast<size_t>(info.st_size) + 1, '\0');
        const ssize_t n = ::readlink(list.c_str(), target.data(), target.size());
        if (n < 0) return errno;
        target.resize(static_cast<size_t>(n));
        copied = ::symlink(target.c_str(), kept.c_str()) == 0 ? 0 : errno;
    } else if (S_ISREG(info.st_mode)) {
        copied = CopyFile(list, kept);
    } else {
        return err;
    }
    if (!copied) SyncDirectory(dir);
    return copied;
}

std::string ShortDateToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%x", &local);
    return std::string(buf, n);
}

}  // namespace castora
