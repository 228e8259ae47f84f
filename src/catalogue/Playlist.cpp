#include "catalogue/Playlist.h"

#include "catalogue/ListFiles.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unordered_map>
#include <unordered_set>

namespace castora {

namespace {

// Windows-1251 bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F. 0x98 is unassigned and kept as U+0098.
constexpr char16_t kHigh1251[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Next code point of valid UTF-8 at i; U+FFFD for a broken sequence (one byte consumed).
char32_t NextCodePoint(std::string_view s, size_t& i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return s[i++], b;
    int len = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
    if (len == 0 || i + len > s.size()) return ++i, 0xFFFD;
    char32_t cp = b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return ++i, 0xFFFD;
        cp = (cp << 6) | (c & 0x3F);
    }
    const char32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return ++i, 0xFFFD;
    i += len;
    return cp;
}

bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t at = i;
        if (NextCodePoint(s, i) == 0xFFFD && !(i - at == 3 && s.substr(at, 3) == "\xEF\xBF\xBD")) return false;
    }
    return true;
}

int EncodeCp1251(char32_t cp) {
    if (cp < 0x80) return static_cast<int>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(cp - 0x0410 + 0xC0);
    for (int k = 0; k < 64; ++k)
        if (kHigh1251[k] == cp) return 0x80 + k;
    return -1;
}

std::string Utf16ToUtf8(std::string_view b, bool bigEndian) {
    std::string out;
    out.reserve(b.size());
    for (size_t i = 0; i + 1 < b.size(); i += 2) {
        const auto u = [&](size_t at) {
            const auto x = static_cast<unsigned char>(b[at]), y = static_cast<unsigned char>(b[at + 1]);
            return static_cast<char32_t>(bigEndian ? (x << 8 | y) : (y << 8 | x));
        };
        char32_t cp = u(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < b.size()) {
            const char32_t lo = u(i + 2);
            if (lo >= 0xDC00 && lo < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;
        AppendUtf8(out, cp);
    }
    return out;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Lower(s[i]) != Lower(prefix[i])) return false;
    return true;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Lower(c);
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsBlank(s.front()) || s.front() == '\f')) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\f')) s.remove_suffix(1);
    return s;
}

// The first of several values separated by ";" (or ",").
std::string_view FirstValue(std::string_view s) {
    const size_t cut = s.find_first_of(";,");
    return Trim(s.substr(0, cut));
}

bool HasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Case folded, trimmed UTF-8, for matching names without regard to case.
std::string Fold(std::string_view utf8) {
    utf8 = Trim(utf8);
    bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return LowerAscii(utf8);
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())))
        .foldCase()
        .toUTF8String(out);
    return out;
}

// The scheme of an absolute address ("http"), empty when there is none. One letter is a drive, not a scheme.
std::string_view SchemeOf(std::string_view url) {
    size_t i = 0;
    while (i < url.size() &&
           (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
        ++i;
    if (i < 2 || i >= url.size() || url[i] != ':' || !std::isalpha(static_cast<unsigned char>(url[0]))) return {};
    return url.substr(0, i);
}

constexpr std::string_view kSchemes[] = {"http", "https", "rtmp", "rtmps", "rtmpt", "rtmpe", "rtsp", "rtsps", "rtp",
                                         "udp",  "mms",   "mmsh", "mmst",  "srt",   "ftp",   "file", "tcp"};

// Removes "." and ".." segments of a path that starts with "/".
std::string RemoveDotSegments(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view seg = path.substr(start, end - start);
        const bool last = end == path.size();
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
            if (last) parts.push_back({});
        } else if (seg == ".") {
            if (last) parts.push_back({});
        } else {
            parts.push_back(seg);
        }
        start = end + 1;
    }
    std::string out;
    for (std::string_view p : parts) (out += '/') += p;
    return out.empty() ? "/" : out;
}

std::string ResolveAgainstUrl(std::string_view base, std::string_view ref) {
    const std::string_view scheme = SchemeOf(base);
    const size_t authStart = scheme.size() + 3;
    if (base.substr(scheme.size(), 3) != "://") return std::string(ref);
    if (ref.starts_with("//")) return std::string(scheme) + ":" + std::string(ref);
    size_t pathStart = base.find_first_of("/?#", authStart);
    if (pathStart == std::string_view::npos) pathStart = base.size();
    const std::string_view origin = base.substr(0, pathStart);
    std::string_view basePath = base.substr(pathStart);
    basePath = basePath.substr(0, basePath.find_first_of("?#"));
    if (basePath.empty() || basePath[0] != '/') basePath = "/";
    const size_t refPathEnd = std::min(ref.find_first_of("?#"), ref.size());
    const std::string_view refPath = ref.substr(0, refPathEnd);
    const std::string_view refRest = ref.substr(refPathEnd);
    std::string merged;
    if (!refPath.empty() && refPath[0] == '/') merged = refPath;
    else merged = std::string(basePath.substr(0, basePath.rfind('/') + 1)) + std::string(refPath);
    return std::string(origin) + RemoveDotSegments(merged) + std::string(refRest);
}

// "host/last-part" of an address, or a file's name.
std::string ShortName(std::string_view url) {
    url = url.substr(0, url.find('|'));
    std::string_view host;
    std::string_view path = url;
    const size_t sep = url.find("://");
    if (sep != std::string_view::npos) {
        const size_t hostStart = sep + 3;
        const size_t pathStart = std::min(url.find_first_of("/?#", hostStart), url.size());
        host = url.substr(hostStart, pathStart - hostStart);
        host = host.substr(host.rfind('@') == std::string_view::npos ? 0 : host.rfind('@') + 1);
        path = url.substr(pathStart);
    }
    path = path.substr(0, path.find_first_of("?#"));
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (host.empty()) return std::string(last);
    if (last.empty()) return std::string(host);
    return std::string(host) + "/" + std::string(last);
}

std::string PlaylistNameFrom(std::string_view location, bool fromUrl) {
    if (!fromUrl) return std::filesystem::path(std::string(location)).stem().string();
    std::string name = ShortName(location);
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && location.find("://") != std::string_view::npos &&
        ShortName(location).find('/') != std::string::npos)
        name.resize(dot);
    return name;
}

// Text of the playlist as UTF-8, from any of the encodings playlists come in.
std::string DecodeText(std::string_view b) {
    if (b.starts_with("\xEF\xBB\xBF")) b.remove_prefix(3);
    else if (b.starts_with("\xFF\xFE")) return Utf16ToUtf8(b.substr(2), false);
    else if (b.starts_with("\xFE\xFF")) return Utf16ToUtf8(b.substr(2), true);
    if (IsValidUtf8(b)) return std::string(b);
    return Cp1251ToUtf8(b);
}

// Why the bytes cannot be a playlist, empty when they may be one.
std::string NotAPlaylist(std::string_view raw, std::string_view text) {
    if (raw.starts_with("PK\x03\x04") || raw.starts_with("PK\x05\x06"))
        return "This file is a ZIP archive, not a playlist.";
    const std::string_view head = text.substr(0, 65536);
    size_t controls = 0;
    for (char c : head) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0) return "This file holds binary data, not a playlist.";
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') || u == 0x7F) ++controls;
    }
    if (controls * 100 > head.size()) return "This file holds binary data, not a playlist.";
    const std::string start = LowerAscii(Trim(head.substr(0, 1024)));
    if (start.starts_with("<") && (start.find("<html") != std::string::npos || start.starts_with("<!doctype")))
        return "This is a web page, not a playlist.";
    if (Trim(text).find_first_not_of("\r\n\t\f ") == std::string_view::npos) return "The playlist is empty.";
    return {};
}

struct Pending {
    bool any = false;
    std::string title, tvgName, group, country, userAgent, referrer;
    bool radio = false;
};

class Reader {
public:
    Reader(std::string_view location, bool fromUrl) : location_(location), fromUrl_(fromUrl) {}

    // Adds one address line with what the lines before it said about it.
    void Add(std::string_view line, const Pending& info) {
        std::string url = Resolve(line);
        if (url.empty()) {
            ++out.unusable;
            return;
        }
        HeaderSuffix parts = SplitHeaderSuffix(url);
        const auto has = [&](std::string_view name) {
            return std::any_of(parts.headers.begin(), parts.headers.end(),
                               [&](const auto& h) { return EqualNoCase(h.first, name); });
        };
        // A header value with control bytes could break the request head: such a header is left out.
        if (!info.userAgent.empty() && !HasControl(info.userAgent) && !has("User-Agent"))
            parts.headers.emplace_back("User-Agent", info.userAgent);
        if (!info.referrer.empty() && !HasControl(info.referrer) && !has("Referer"))
            parts.headers.emplace_back("Referer", info.referrer);
        PlaylistEntry e;
        e.url = JoinHeaderSuffix(parts);
        e.title = info.title;
        e.tvgName = info.tvgName;
        e.group = std::string(FirstValue(info.group));
        e.country = std::string(FirstValue(info.country));
        e.radio = info.radio;
        out.entries.push_back(std::move(e));
    }

    Playlist out;

private:
    // The absolute address of an entry line, empty when the player could not open it.
    std::string Resolve(std::string_view line) {
        // Only a header suffix is cut off: any other "|" belongs to the address.
        const HeaderSuffix parts = SplitHeaderSuffix(line);
        const std::string_view address = Trim(line.substr(0, parts.address.size()));
        const std::string_view suffix = parts.headers.empty() ? std::string_view{} : line.substr(parts.address.size());
        if (address.empty() || HasControl(line)) return {};
        std::string resolved;
        if (!SchemeOf(address).empty()) {
            resolved = address;
        } else if (fromUrl_) {
            if (!LooksLikePath(address)) return {};
            resolved = ResolveAgainstUrl(location_, address);
        } else {
            if (!LooksLikePath(address)) return {};
            std::string path(address);
            std::replace(path.begin(), path.end(), '\\', '/');
            if (path[0] == '/') resolved = std::filesystem::path(path).lexically_normal().string();
            else
                resolved =
                    (std::filesystem::absolute(std::filesystem::path(std::string(location_))).parent_path() / path)
                        .lexically_normal()
                        .string();
        }
        if (!IsPlayableAddress(resolved)) return {};
        return resolved + std::string(suffix);
    }

    // Separator and heading lines ("----- Sports -----", ">>> NEWS <<<") are not relative paths.
    static bool LooksLikePath(std::string_view s) {
        const auto c = static_cast<unsigned char>(s[0]);
        const bool start =
            std::isalnum(c) || c >= 0x80 || c == '.' || c == '/' || c == '_' || c == '~' || c == '%' || c == '\\';
        return start && s.find_first_of("./\\") != std::string_view::npos;
    }

    std::string_view location_;
    bool fromUrl_;
};

void ParseExtinf(std::string_view rest, Pending& p) {
    size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < rest.size() && IsBlank(rest[i])) ++i;
    };
    skipBlanks();
    while (i < rest.size() && !IsBlank(rest[i]) && rest[i] != ',') ++i;  // the duration
    for (;;) {
        skipBlanks();
        if (i >= rest.size()) return;
        if (rest[i] == ',') {
            p.title = Trim(rest.substr(i + 1));
            return;
        }
        const size_t nameStart = i;
        while (i < rest.size() && rest[i] != '=' && rest[i] != ',' && !IsBlank(rest[i])) ++i;
        const std::string_view name = rest.substr(nameStart, i - nameStart);
        if (i >= rest.size() || rest[i] != '=') continue;
        ++i;
        std::string_view value;
        if (i < rest.size() && rest[i] == '"') {
            const size_t close = rest.find('"', i + 1);
            if (close == std::string_view::npos) return;  // unterminated: no title can follow
            value = rest.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < rest.size() && rest[i] != ',' && !IsBlank(rest[i])) ++i;
            value = rest.substr(start, i - start);
        }
        value = Trim(value);
        const auto is = [&](std::string_view known) { return EqualNoCase(name, known); };
        if (is("tvg-name")) p.tvgName = value;
        else if (is("group-title")) p.group = value;
        else if (is("tvg-country")) p.country = value;
        else if (is("radio")) p.radio = EqualNoCase(value, "true");
        else if (is("http-user-agent") || is("user-agent")) p.userAgent = value;
        else if (is("http-referrer") || is("http-referer") || is("referrer") || is("referer")) p.referrer = value;
    }
}

template <typename F>
void ForEachLine(std::string_view text, F&& f) {
    size_t i = 0;
    while (i < text.size()) {
        // A plain loop: find_first_of searches its set once per byte, several times slower here.
        size_t end = i;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
        if (!f(Trim(text.substr(i, end - i)))) return;
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        i = end + 1;
    }
}

void ReadM3U(std::string_view text, Reader& r, bool& hls, std::string& name) {
    Pending p;
    ForEachLine(text, [&](std::string_view line) {
        if (line.empty()) return true;
        if (line[0] != '#') {
            r.Add(line, p);
            p = Pending{};
            return true;
        }
        if (StartsWithNoCase(line, "#EXTINF:")) {
            p = Pending{};
            ParseExtinf(line.substr(8), p);
        } else if (StartsWithNoCase(line, "#EXTGRP:")) {
            if (p.group.empty()) p.group = Trim(line.substr(8));
        } else if (StartsWithNoCase(line, "#EXTVLCOPT:")) {
            const std::string_view opt = Trim(line.substr(11));
            if (StartsWithNoCase(opt, "http-user-agent=")) p.userAgent = Trim(opt.substr(16));
            else if (StartsWithNoCase(opt, "http-referrer=")) p.referrer = Trim(opt.substr(14));
        } else if (StartsWithNoCase(line, "#PLAYLIST:")) {
            if (name.empty()) name = Trim(line.substr(10));
        } else if (StartsWithNoCase(line, "#EXT-X-TARGETDURATION") || StartsWithNoCase(line, "#EXT-X-MEDIA-SEQUENCE") ||
                   StartsWithNoCase(line, "#EXT-X-STREAM-INF")) {
            hls = true;
        }
        return true;
    });
}

void ReadPls(std::string_view text, Reader& r) {
    std::map<long, std::pair<std::string, std::string>> items;  // number -> file, title
    ForEachLine(text, [&](std::string_view line) {
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) return true;
        const std::string_view key = Trim(line.substr(0, eq));
        const std::string_view value = Trim(line.substr(eq + 1));
        const bool file = StartsWithNoCase(key, "file"), title = StartsWithNoCase(key, "title");
        if (!file && !title) return true;
        const std::string_view digits = key.substr(file ? 4 : 5);
        if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return true;
        auto& item = items[std::stol(std::string(digits))];
        (file ? item.first : item.second) = value;
        return true;
    });
    for (const auto& [n, item] : items) {
        if (item.first.empty()) continue;
        Pending p;
        p.title = item.second;
        r.Add(item.first, p);
    }
}

}  // namespace

bool IsPlayableAddress(std::string_view url) {
    if (url.empty() || HasControl(url)) return false;
    if (url[0] == '/') return true;
    const std::string scheme = LowerAscii(SchemeOf(url));
    // "http://" alone names nothing.
    if (url.find_first_not_of('/', scheme.size() + 1) == std::string_view::npos) return false;
    return std::find(std::begin(kSchemes), std::end(kSchemes), scheme) != std::end(kSchemes);
}

std::string Cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) out.push_back(c);
        else if (b >= 0xC0) AppendUtf8(out, 0x0410 + (b - 0xC0));
        else AppendUtf8(out, kHigh1251[b - 0x80]);
    }
    return out;
}

std::string ToRecordText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::string run;  // characters Windows-1251 has no place for
    const auto flush = [&] {
        if (run.empty()) return;
        // Building the transform takes a third of a second: once per process, shared under a lock.
        static std::mutex mutex;
        static const std::unique_ptr<icu::Transliterator> latin = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::Transliterator> t(
                icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD, status));
            return U_SUCCESS(status) ? std::move(t) : nullptr;
        }();
        std::string spelt;
        if (latin) {
            icu::UnicodeString u = icu::UnicodeString::fromUTF8(run);
            const std::lock_guard lock(mutex);
            latin->transliterate(u);
            u.toUTF8String(spelt);
        }
        if (!out.empty() && !spelt.empty() && std::isalnum(static_cast<unsigned char>(out.back())) &&
            std::isalnum(static_cast<unsigned char>(spelt.front())) && run.size() > 2)
            out.push_back(' ');  // "CCTV中文" reads better as "CCTV zhong wen"
        for (size_t i = 0; i < spelt.size();) {
            const int b = EncodeCp1251(NextCodePoint(spelt, i));
            if (b >= 0) out.push_back(static_cast<char>(b));
        }
        run.clear();
    };
    for (size_t i = 0; i < utf8.size();) {
        const size_t at = i;
        const int b = EncodeCp1251(NextCodePoint(utf8, i));
        if (b >= 0) {
            flush();
            out.push_back(static_cast<char>(b));
        } else {
            run.append(utf8.substr(at, i - at));
        }
    }
    flush();
    // Dropped symbols leave doubled or edge blanks behind.
    std::string clean;
    clean.reserve(out.size());
    for (char c : out) {
        // Control bytes would end or garble a line of the list file or of an export.
        const bool blank = static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
        if (blank && (clean.empty() || clean.back() == ' ')) continue;
        clean.push_back(blank ? ' ' : c);
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    return clean;
}

HeaderSuffix SplitHeaderSuffix(std::string_view url) {
    HeaderSuffix out;
    size_t bar = url.find('|');
    // "Name=" where the name reads as a header's ("User-Agent", "referer"), not as a query key ("b").
    const auto isHeaderStart = [&](size_t at) {
        size_t i = at;
        if (i >= url.size() || !std::isalpha(static_cast<unsigned char>(url[i]))) return false;
        while (i < url.size() && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '-')) ++i;
        if (i >= url.size() || url[i] != '=') return false;
        const std::string_view name = url.substr(at, i - at);
        static constexpr std::string_view known[] = {"referer", "referrer",      "origin",
                                                     "cookie",  "authorization", "accept"};
        return std::isupper(static_cast<unsigned char>(name[0])) || name.find('-') != std::string_view::npos ||
               std::any_of(std::begin(known), std::end(known),
                           [&](std::string_view k) { return EqualNoCase(k, name); });
    };
    // The first bar that starts a header: an earlier one belongs to the address.
    while (bar != std::string_view::npos && !isHeaderStart(bar + 1)) bar = url.find('|', bar + 1);
    if (bar == std::string_view::npos) {
        out.address = url;
        return out;
    }
    out.address = url.substr(0, bar);
    size_t start = bar + 1;
    while (start < url.size()) {
        // A value may hold "&" (a referrer's query): only "&Name=" starts the next header.
        size_t end = start;
        for (;;) {
            end = url.find('&', end);
            if (end == std::string_view::npos || isHeaderStart(end + 1)) break;
            ++end;
        }
        if (end == std::string_view::npos) end = url.size();
        const std::string_view piece = url.substr(start, end - start);
        const size_t eq = piece.find('=');
        out.headers.emplace_back(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
        start = end + 1;
    }
    return out;
}

std::string JoinHeaderSuffix(const HeaderSuffix& parts) {
    std::string out = parts.address;
    for (size_t i = 0; i < parts.headers.size(); ++i)
        (((out += i == 0 ? '|' : '&') += parts.headers[i].first) += '=') += parts.headers[i].second;
    return out;
}

Playlist ReadPlaylist(std::string_view bytes, std::string_view location, bool fromUrl) {
    const std::string text = DecodeText(bytes);
    Reader reader(location, fromUrl);
    Playlist& out = reader.out;
    out.error = NotAPlaylist(bytes, text);
    if (!out.error.empty()) return std::move(out);

    std::string name;
    bool hls = false;
    std::string_view first;
    ForEachLine(text, [&](std::string_view line) {
        first = line;
        return first.empty();
    });
    out.pls = EqualNoCase(first, "[playlist]");
    if (out.pls) ReadPls(text, reader);
    else ReadM3U(text, reader, hls, name);

    out.name = name.empty() ? PlaylistNameFrom(location, fromUrl) : name;
    if (hls) {
        out.entries.clear();
        out.unusable = 0;
        if (!fromUrl) {
            out.error = "This is the playlist of a single stream (HLS), not a list of channels.";
            return std::move(out);
        }
        out.stream = true;
        PlaylistEntry e;
        e.url = location;
        out.entries.push_back(std::move(e));
    }
    if (out.entries.empty()) {
        out.error = out.unusable > 0 ? "The playlist holds no channel that can be played (" +
                                           std::to_string(out.unusable) + " unusable entries)."
                                     : "The playlist holds no channel.";
        return std::move(out);
    }
    out.ok = true;
    return std::move(out);
}

// ---- Mapping onto records ----

namespace {

// Groups of names that mean one country; the first entry of a group is how the region data spells it.
const std::vector<std::vector<std::string_view>>& CountryAliases() {
    static const std::vector<std::vector<std::string_view>> groups = {
        {"Russia", "Russian Federation", "RF"},
        {"United States", "USA", "US", "United States of America", "America"},
        {"United Kingdom", "UK", "Great Britain", "Britain", "England"},
        {"South Korea", "Korea", "Korea, Republic of", "Republic of Korea"},
        {"North Korea", "Korea, Democratic People's Republic of", "DPRK"},
        {"Czechia", "Czech Republic"},
        {"Vietnam", "Viet Nam"},
        {"Iran", "Iran, Islamic Republic of"},
        {"Moldova", "Republic of Moldova", "Moldova, Republic of"},
        {"Syria", "Syrian Arab Republic"},
        {"Türkiye", "Turkey"},
        {"North Macedonia", "Macedonia"},
        {"Netherlands", "Holland", "The Netherlands"},
        {"United Arab Emirates", "UAE"},
        {"Bosnia & Herzegovina", "Bosnia and Herzegovina"},
        {"International", "INT", "Worldwide", "World"},
    };
    return groups;
}

std::string EnglishCountryName(std::string_view code) {
    std::string upper(code);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "UK") upper = "GB";
    if (upper.size() != 2) return {};
    const icu::Locale region("", upper.c_str());
    icu::UnicodeString name;
    region.getDisplayCountry(icu::Locale::getEnglish(), name);
    std::string out;
    name.toUTF8String(out);
    return out == upper ? std::string() : out;
}

// Every folded spelling of a country (names, aliases) -> its ISO code.
const std::unordered_map<std::string, std::string>& IsoCodes() {
    static const std::unordered_map<std::string, std::string> codes = [] {
        std::unordered_map<std::string, std::string> m;
        for (const char* const* c = icu::Locale::getISOCountries(); *c; ++c) {
            const std::string name = EnglishCountryName(*c);
            if (!name.empty()) m.emplace(Fold(name), *c);
            m.emplace(Fold(*c), *c);
        }
        m.emplace("int", "INT");
        for (const auto& group : CountryAliases()) {
            auto it = m.end();
            for (size_t k = 0; k < group.size() && it == m.end(); ++k) it = m.find(Fold(group[k]));
            if (it == m.end()) continue;
            const std::string code = it->second;
            for (std::string_view alias : group) m.emplace(Fold(alias), code);
        }
        return m;
    }();
    return codes;
}

std::unordered_map<std::string, int32_t> IndexOf(const LookupList& list) {
    std::unordered_map<std::string, int32_t> index;
    for (size_t k = 1; k < list.size(); ++k) index.emplace(Fold(Cp1251ToUtf8(list[k])), static_cast<int32_t>(k));
    return index;
}

class CountryMatcher {
public:
    explicit CountryMatcher(const LookupList& countries) : index_(IndexOf(countries)) {}

    int32_t Match(std::string_view raw) {
        const std::string_view value = FirstValue(raw);
        if (value.empty()) return 0;
        auto cached = cache_.find(std::string(value));
        if (cached != cache_.end()) return cached->second;
        int32_t code = 0;
        std::vector<std::string> names = {Fold(value)};
        if (value.size() <= 3) {
            const std::string english = EnglishCountryName(value);
            if (!english.empty()) names.push_back(Fold(english));
        }
        for (size_t n = 0, count = names.size(); n < count; ++n)
            for (const auto& group : CountryAliases())
                if (std::any_of(group.begin(), group.end(), [&](std::string_view a) { return Fold(a) == names[n]; }))
                    for (std::string_view a : group) names.push_back(Fold(a));
        for (const std::string& name : names) {
            auto it = index_.find(name);
            if (it != index_.end()) {
                code = it->second;
                break;
            }
        }
        cache_.emplace(std::string(value), code);
        return code;
    }

private:
    std::unordered_map<std::string, int32_t> index_;
    std::unordered_map<std::string, int32_t> cache_;
};

class GenreMatcher {
public:
    explicit GenreMatcher(const LookupList& genres) : index_(IndexOf(genres)) {}
    int32_t Match(std::string_view group) {
        if (group.empty()) return 0;
        auto cached = cache_.find(std::string(group));
        if (cached != cache_.end()) return cached->second;
        auto it = index_.find(Fold(group));
        const int32_t code = it == index_.end() ? 0 : it->second;
        cache_.emplace(std::string(group), code);
        return code;
    }

private:
    std::unordered_map<std::string, int32_t> index_;
    std::unordered_map<std::string, int32_t> cache_;
};

int32_t SourceContaining(const LookupList& sources, std::string_view word) {
    for (size_t k = 1; k < sources.size(); ++k)
        if (Fold(Cp1251ToUtf8(sources[k])).find(word) != std::string::npos) return static_cast<int32_t>(k);
    return 0;
}

// Windows-1251 bytes for an address: as they are when Windows-1251 holds every character, otherwise
// with the characters it lacks percent-encoded, which every server reads as the same UTF-8 path.
// Windows-1251 bytes of the text; false when some character has no place there.
bool Encode1251(std::string_view utf8, std::string& out) {
    out.clear();
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const int b = EncodeCp1251(NextCodePoint(utf8, i));
        if (b < 0) return false;
        out.push_back(static_cast<char>(b));
    }
    return true;
}

// ASCII stays, except `escape`; everything else becomes %XX of its UTF-8 bytes.
std::string PercentEncoded(std::string_view utf8, std::string_view escape) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && escape.find(c) == std::string_view::npos) out.push_back(c);
        else ((out += '%') += hex[u >> 4]) += hex[u & 15];
    }
    return out;
}

// Windows-1251 bytes for an address: as they are when Windows-1251 holds every character, otherwise
// with the characters it lacks percent-encoded, which every server reads as the same UTF-8 path.
// Header values are text, not addresses: they are spelt in Latin letters instead.
std::string RecordUrl(std::string_view utf8) {
    std::string out;
    if (Encode1251(utf8, out)) return out;
    const HeaderSuffix parts = SplitHeaderSuffix(utf8);
    const std::string_view address = parts.address;
    if (Encode1251(address, out)) {
    } else if (!address.empty() && address[0] == '/') {
        out = "file://" + PercentEncoded(address, "%#?");
    } else {
        out = PercentEncoded(address, "");
    }
    for (size_t i = 0; i < parts.headers.size(); ++i)
        (((out += i == 0 ? '|' : '&') += ToRecordText(parts.headers[i].first)) += '=') +=
            ToRecordText(parts.headers[i].second);
    return out;
}

std::string CutName(std::string name) {
    // One byte per character in Windows-1251, so any byte count is a character boundary.
    if (name.size() > NameLimit) name.resize(NameLimit);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

}  // namespace

int32_t MatchCountry(std::string_view value, const LookupList& countries) {
    return CountryMatcher(countries).Match(value);
}

std::string CountryIsoCode(std::string_view cp1251Name) {
    const auto& codes = IsoCodes();
    auto it = codes.find(Fold(Cp1251ToUtf8(cp1251Name)));
    return it == codes.end() ? std::string() : it->second;
}

ImportPlan PlanImport(const Playlist& playlist, const ChannelTable& table, const LookupList& sources,
                      const LookupList& countries, const LookupList& genres) {
    ImportPlan plan;
    plan.name = playlist.name;
    plan.unusable = playlist.unusable;
    CountryMatcher country(countries);
    GenreMatcher genre(genres);
    const int32_t radio = SourceContaining(sources, "radio");
    const int32_t tv = SourceContaining(sources, "tv");
    const auto radioEntries =
        std::count_if(playlist.entries.begin(), playlist.entries.end(), [](const PlaylistEntry& e) { return e.radio; });
    const bool radioList = playlist.pls || radioEntries * 2 > static_cast<long>(playlist.entries.size());
    plan.source = radioList ? radio : tv;

    std::unordered_set<std::string_view> seen;
    seen.reserve(static_cast<size_t>(table.ChannelCount) + playlist.entries.size());
    for (int32_t i = 1; i <= table.ChannelCount; ++i) seen.insert(table.Channels[i].Url);
    // Views into the records stay valid: the vector never grows past this.
    plan.records.reserve(playlist.entries.size());

    for (const PlaylistEntry& e : playlist.entries) {
        std::string url = RecordUrl(e.url);
        if (seen.count(url)) {
            ++plan.duplicates;
            continue;
        }
        TChannelRec rec;
        rec.Format = 1;
        rec.IsLocal = true;
        rec.Url = std::move(url);
        for (const std::string* text : {&e.title, &e.tvgName}) {
            if (text->empty()) continue;
            rec.Name = CutName(ToRecordText(*text));
            if (!rec.Name.empty()) break;
        }
        if (rec.Name.empty()) rec.Name = CutName(ToRecordText(ShortName(e.url)));
        if (rec.Name.empty()) rec.Name = CutName(ToRecordText(SplitHeaderSuffix(e.url).address));
        rec.Source = e.radio ? radio : 0;
        rec.Country = country.Match(e.country);
        rec.Genre = genre.Match(e.group);
        if (rec.Genre == 0 && !e.group.empty()) rec.Comments = "Group: " + ToRecordText(e.group);
        plan.records.push_back(std::move(rec));
        seen.insert(plan.records.back().Url);
    }
    return plan;
}

void ApplySource(std::vector<TChannelRec>& records, int32_t source) {
    for (TChannelRec& rec : records)
        if (rec.Source == 0) rec.Source = source;
}

// ---- Export ----

namespace {

std::string AttributeValue(std::string text) {
    std::replace(text.begin(), text.end(), '"', '\'');
    return text;
}

}  // namespace

std::string FormatM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres) {
    // Each country's and genre's attribute once, not once per record: the country takes a transliteration.
    std::vector<std::string> countryAttr(countries.size()), genreAttr(genres.size());
    for (size_t i = 1; i < countries.size(); ++i) {
        std::string code = CountryIsoCode(countries[i]);
        if (code.empty()) code = Cp1251ToUtf8(countries[i]);
        countryAttr[i] = " tvg-country=\"" + AttributeValue(code) + "\"";
    }
    for (size_t i = 1; i < genres.size(); ++i)
        genreAttr[i] = " group-title=\"" + AttributeValue(Cp1251ToUtf8(genres[i])) + "\"";
    std::string out = "#EXTM3U\n";
    out.reserve(records.size() * 160);
    for (int32_t index : records) {
        if (index < 1 || index > table.ChannelCount) continue;
        const TChannelRec& rec = table.Channels[index];
        out += "#EXTINF:-1";
        if (rec.Country > 0 && static_cast<size_t>(rec.Country) < countries.size()) out += countryAttr[rec.Country];
        if (rec.Genre > 0 && static_cast<size_t>(rec.Genre) < genres.size()) out += genreAttr[rec.Genre];
        // Line ends inside a text would start a line of their own.
        std::string name = Cp1251ToUtf8(rec.Name);
        std::replace_if(
            name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
        out += ',';
        out += name;
        out += '\n';
        for (char c : Cp1251ToUtf8(rec.Url)) {
            if (c == '\r') out += "%0D";
            else if (c == '\n') out += "%0A";
            else out += c;
        }
        out += '\n';
    }
    return out;
}

std::string ExportM3U(const ChannelTable& table, const std::vector<int32_t>& records, const LookupList& countries,
                      const LookupList& genres, const std::filesystem::path& file) {
    const int error = ReplaceFile(file.string() + ".part", file, FormatM3U(table, records, countries, genres));
    if (error) return std::string("Can't write ") + file.string() + ": " + std::strerror(error);
    return {};
}

}  // namespace castora
