#include "catalogue/Text.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <unicode/translit.h>
#include <unicode/unistr.h>

namespace castora {

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperAscii(c);
    return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (LowerAscii(s[i]) != LowerAscii(prefix[i])) return false;
    return true;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && StartsWithNoCase(a, b); }

std::string_view Trim(std::string_view s, std::string_view blanks) {
    while (!s.empty() && blanks.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && blanks.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

bool HasControl(std::string_view s) { return std::any_of(s.begin(), s.end(), IsControl); }

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (FoldByte(static_cast<unsigned char>(text[i])) != FoldByte(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) out.push_back(c);
        else AppendUtf8(out, detail::Decode1251(b));
    }
    return out;
}

namespace {

bool IsAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool Utf8ToCp1251(std::string_view utf8, std::string& out) {
    if (IsAscii(utf8)) {  // addresses nearly always are
        out.assign(utf8);
        return true;
    }
    out.clear();
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const int b = EncodeCp1251(NextCodePoint(utf8, i));
        if (b < 0) return false;
        out.push_back(static_cast<char>(b));
    }
    return true;
}

namespace {

// Building the transform takes a third of a second: once per process, shared under a lock.
std::mutex latinMutex;

icu::Transliterator* Latin() {
    static const std::unique_ptr<icu::Transliterator> latin = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> t(
            icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD, status));
        return U_SUCCESS(status) ? std::move(t) : nullptr;
    }();
    return latin.get();
}

// The Latin spelling of a run of characters Windows-1251 lacks. One Han character takes tens of
// microseconds to spell, and a playlist's names repeat their words: runs already spelt are looked up.
std::string SpellInLatin(const std::string& run) {
    icu::Transliterator* latin = Latin();
    if (!latin) return {};
    static std::unordered_map<std::string, std::string> spelt;
    const std::lock_guard lock(latinMutex);
    if (auto it = spelt.find(run); it != spelt.end()) return it->second;
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(run);
    latin->transliterate(u);
    std::string out;
    u.toUTF8String(out);
    if (spelt.size() >= 1 << 16) spelt.clear();  // a bound, for a process that imports for ever
    spelt.emplace(run, out);
    return out;
}

}  // namespace

void PrepareRecordText() { Latin(); }

namespace {

// Windows-1251 bytes of the text, the characters the code page lacks spelt in Latin letters.
std::string SpeltInCp1251(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    std::string run;  // characters Windows-1251 has no place for
    const auto flush = [&] {
        if (run.empty()) return;
        const std::string spelt = SpellInLatin(run);
        if (!out.empty() && !spelt.empty() && IsAlnum(out.back()) && IsAlnum(spelt.front()) && run.size() > 2)
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
    return out;
}

}  // namespace

std::string ToRecordText(std::string_view utf8) {
    const std::string out = SpeltInCp1251(utf8);
    // Dropped symbols leave doubled or edge blanks behind.
    std::string clean;
    clean.reserve(out.size());
    for (char c : out) {
        // Control bytes would end or garble a line of the list file or of an export.
        const bool blank = c == ' ' || IsControl(c);
        if (blank && (clean.empty() || clean.back() == ' ')) continue;
        clean.push_back(blank ? ' ' : c);
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    return clean;
}

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

std::string FoldUtf8(std::string_view utf8) {
    utf8 = Trim(utf8, " \t\f");
    if (IsAscii(utf8)) return LowerAscii(utf8);
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())))
        .foldCase()
        .toUTF8String(out);
    return out;
}

}  // namespace castora
