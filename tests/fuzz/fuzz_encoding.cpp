// Properties of the reversible and the one-way text encodings and of the number parser.
#include "FuzzCheck.h"
#include "catalogue/ListFiles.h"
#include "server/Submission.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace castora;

namespace {

[[noreturn]] void Fail(const char* what) { castora::fuzz::Fail("fuzz_encoding", what); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case never appears in what UrlEncode writes
}

bool FormDecode(const std::string& in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            out.push_back(' ');
        } else if (in[i] == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out.push_back(char(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(in[i]);
        }
    }
    return true;
}

bool UrlSafe(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '+' ||
           c == '%';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // ScrambleUrl with the program's key and with a key cut from the input itself.
    if (ScrambleUrl(ScrambleUrl(text, UrlKey, false), UrlKey, true) != text) Fail("decode(encode(x)) != x");
    const size_t split = size ? data[0] % (size + 1) : 0;
    const std::string key = text.substr(0, split), rest = text.substr(split);
    const std::string scrambled = ScrambleUrl(rest, key, false);
    if (scrambled.size() != rest.size()) Fail("scrambling changed the length");
    if (ScrambleUrl(scrambled, key, true) != rest) Fail("decode(encode(x)) != x for an input key");
    if (key.empty() && scrambled != rest) Fail("an empty key changed the text");

    // UrlEncode: only [A-Za-z0-9_+%], escapes upper case, and form decoding gives the input back.
    const std::string form = UrlEncode(text);
    for (size_t i = 0; i < form.size(); ++i) {
        if (!UrlSafe(static_cast<unsigned char>(form[i]))) Fail("UrlEncode wrote a byte outside [A-Za-z0-9_+%]");
        if (form[i] == '%' && (i + 2 >= form.size() || HexValue(form[i + 1]) < 0 || HexValue(form[i + 2]) < 0))
            Fail("UrlEncode wrote a bad or lower-case escape");
    }
    std::string decoded;
    if (!FormDecode(form, decoded) || decoded != text) Fail("form decoding does not give the text back");

    // The URL line of a list file: never a line break, and every byte either kept or escaped.
    const std::string line = EncodeUrlLine(text);
    if (line.find_first_of("\r\n") != std::string::npos) Fail("EncodeUrlLine wrote CR or LF");
    const std::string clear = ScrambleUrl(line, UrlKey, true);
    size_t j = 0;
    for (unsigned char c : text) {
        if (j < clear.size() && static_cast<unsigned char>(clear[j]) == c) {
            ++j;
            continue;
        }
        static constexpr char Hex[] = "0123456789ABCDEF";
        const std::string escape{'%', Hex[c >> 4], Hex[c & 15]};
        if (clear.compare(j, 3, escape) != 0) Fail("EncodeUrlLine lost a byte");
        j += 3;
    }
    if (j != clear.size()) Fail("EncodeUrlLine added bytes");

    // ParseInt32: every 32-bit value written in decimal reads back; nothing outside 32 bits does.
    if (size >= 4) {
        int32_t v;
        std::memcpy(&v, data, 4);
        if (ParseInt32(std::to_string(v)) != v) Fail("ParseInt32(to_string(v)) != v");
        const int64_t wide = int64_t(v) * 4 + (v < 0 ? -3 : 3);
        if (wide > INT32_MAX || wide < INT32_MIN)
            if (ParseInt32(std::to_string(wide))) Fail("ParseInt32 accepted a value outside 32 bits");
    }
    if (ParseInt32(text) && text.find_first_of("0123456789abcdefABCDEF") == std::string::npos)
        Fail("ParseInt32 accepted a text without digits");
    return 0;
}
