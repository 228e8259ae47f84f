#pragma once
// Text as the catalogue meets it: Windows-1251 bytes in records and list files, UTF-8 or UTF-16 in
// playlists, ASCII in protocol lines and attribute names.
//
// The ASCII tests here take a plain char and look at nothing but ASCII: the C library's <cctype> is
// undefined for a char holding a byte above 0x7F, and depends on the locale besides.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace castora {

// ---- ASCII ----

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool IsAlpha(char c) { return IsUpper(c) || IsLower(c); }
constexpr bool IsAlnum(char c) { return IsAlpha(c) || IsDigit(c); }
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// A byte below 0x20 or DEL: what would end or garble a line or a request head.
constexpr bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }
constexpr char LowerAscii(char c) { return IsUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char UpperAscii(char c) { return IsLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

std::string LowerAscii(std::string_view s);
std::string UpperAscii(std::string_view s);
// Case-insensitive for ASCII letters only; every other byte must match exactly.
bool StartsWithNoCase(std::string_view s, std::string_view prefix);
bool EqualNoCase(std::string_view a, std::string_view b);
// Without the leading and trailing bytes of `blanks`.
std::string_view Trim(std::string_view s, std::string_view blanks = " \t");
bool HasControl(std::string_view s);

// ---- Windows-1251 ----

namespace detail {

// 0x80..0xBF of the code page; 0xC0..0xFF are U+0410..U+044F. 0x98 is unassigned and kept as U+0098.
inline constexpr char16_t High1251[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

constexpr char32_t Decode1251(unsigned char b) {
    return b < 0x80 ? b : b >= 0xC0 ? 0x0410 + (b - 0xC0) : High1251[b - 0x80];
}

constexpr int Encode1251(char32_t cp) {
    if (cp < 0x80) return static_cast<int>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(cp - 0x0410 + 0xC0);
    for (int k = 0; k < 64; ++k)
        if (High1251[k] == cp) return 0x80 + k;
    return -1;
}

// Small letter of a Latin or Cyrillic capital, else the code point itself.
constexpr char32_t LowerLetter(char32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp + 32;
    if (cp >= 0x0410 && cp <= 0x042F) return cp + 0x20;  // А..Я
    if (cp >= 0x0400 && cp <= 0x040F) return cp + 0x50;  // Ѐ..Џ
    if (cp == 0x0490) return 0x0491;                     // Ґ
    return cp;
}

constexpr std::array<unsigned char, 256> MakeFold1251() {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 256; ++b) {
        const int folded = Encode1251(LowerLetter(Decode1251(static_cast<unsigned char>(b))));
        t[b] = static_cast<unsigned char>(folded < 0 ? b : folded);
    }
    return t;
}

}  // namespace detail

// The lower-case Windows-1251 byte for each byte: A-Z, А-Я, Ё and the other Cyrillic capitals of the code
// page; every other byte stands for itself.
inline constexpr std::array<unsigned char, 256> Fold1251 = detail::MakeFold1251();
inline unsigned char FoldByte(unsigned char c) { return Fold1251[c]; }
// Case-insensitive prefix test on Windows-1251 text, Latin and Cyrillic letters alike.
bool StartsWithFolded(std::string_view text, std::string_view prefix);

// The Windows-1251 byte of a code point, -1 when the code page has none.
inline int EncodeCp1251(char32_t cp) { return detail::Encode1251(cp); }
std::string Cp1251ToUtf8(std::string_view bytes);
// Windows-1251 bytes of valid UTF-8 text; false (out unspecified) when some character has no place there.
bool Utf8ToCp1251(std::string_view utf8, std::string& out);
// Text for a record: Windows-1251, with whatever it cannot hold spelt in Latin letters (or dropped
// when even that fails), never replaced by "?". Control bytes become blanks, and runs of blanks one.
std::string ToRecordText(std::string_view utf8);
// Builds the transliterator ToRecordText needs, if it is not built yet: a third of a second the first
// time, which a caller that knows it will need it can spend on a thread of its own.
void PrepareRecordText();

// ---- Unicode ----

void AppendUtf8(std::string& out, char32_t cp);
// The code point of valid UTF-8 at i, advancing i; U+FFFD for a broken sequence (one byte consumed).
char32_t NextCodePoint(std::string_view s, size_t& i);
bool IsValidUtf8(std::string_view s);
// UTF-16 without its byte order mark; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);
// Trimmed of blanks and case folded (full Unicode folding), for matching names without regard to case.
std::string FoldUtf8(std::string_view utf8);

}  // namespace castora
