#include "catalogue/ListFiles.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

namespace castora {

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';

// Bounded line reader over the file image: stops at the next CR or at the end of the data.
struct LineReader {
    std::string_view data;
    size_t pos = 0;

    std::string_view ReadLine() {
        const size_t start = pos;
        const void* cr = start < data.size() ? std::memchr(data.data() + start, CR, data.size() - start) : nullptr;
        const size_t end = cr ? static_cast<size_t>(static_cast<const char*>(cr) - data.data()) : data.size();
        pos = cr ? end + 1 : data.size();
        return data.substr(start, end - start);
    }
    // The byte after a CR, normally the LF; a file with bare CRs loses a real character here.
    void SkipOne() {
        if (pos < data.size()) ++pos;
    }
};

size_t CountCR(std::string_view data) {
    size_t n = 0;
    const char* p = data.data();
    const char* end = p + data.size();
    while (p < end) {
        const void* hit = std::memchr(p, CR, static_cast<size_t>(end - p));
        if (!hit) break;
        ++n;
        p = static_cast<const char*>(hit) + 1;
    }
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

std::string ScrambleUrl(std::string_view text, std::string_view key, bool decode) {
    std::string out(text);
    const size_t n = key.size();
    if (n == 0) return out;
    const unsigned m = decode ? 255u : 1u;
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned k = static_cast<unsigned char>(key[(i + 1) % n]);
        out[i] = static_cast<char>((static_cast<unsigned char>(out[i]) + m * k) & 0xFFu);
    }
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

LoadResult ParseChannelList(ChannelTable& table, int listNumber, std::string_view data, ProgressSink* progress) {
    LoadResult result;
    result.found = true;
    int32_t base = 0;
    if (listNumber == 0) table.ResetChannels();
    else base = table.ChannelCount;

    const size_t crs = CountCR(data);
    const int32_t count = crs >= 1 ? static_cast<int32_t>((crs - 1) / 8) : 0;
    const int32_t total = base + count;
    if (progress)
        progress->ShowProgressPhase(std::string("Loading ") + ListNames[listNumber] + " channels ...", Red, total);
    table.Resize(total);

    LineReader reader{data};
    table.ListDate = std::string(reader.ReadLine());
    result.listDate = table.ListDate;

    Pacer pacer(progress);
    const bool local = listNumber == 1;
    for (int32_t e = base + 1; e <= total; ++e) {
        pacer.Tick(e);
        TChannelRec& rec = table.Channels[e];
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
            *field = field == &rec.Url ? ScrambleUrl(line, UrlKey, true) : std::string(line);
        }
        rec.IsLocal = local;
    }
    if (progress) pacer.Flush(total);
    return result;
}

LoadResult LoadChannelList(ChannelTable& table, int listNumber, const std::filesystem::path& dir,
                           ProgressSink* progress) {
    const std::filesystem::path path = dir / ListFiles[listNumber];
    if (listNumber == 0) table.ResetChannels();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string data;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec) data.reserve(size);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return ParseChannelList(table, listNumber, data, progress);
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
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
