// Any bytes as a lookup file: every line break form ends exactly one line, and nothing else is lost.
#include "FuzzCheck.h"
#include "catalogue/Lookup.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace castora;

namespace {
[[noreturn]] void Fail(const char* what) { castora::fuzz::Fail("fuzz_lookup", what); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const LookupList lines = SplitLookupLines(bytes);

    // Count the line ends independently: CR LF is one, a lone CR or LF is one.
    size_t ends = 0;
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            ++ends;
            if (i + 1 < size && bytes[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            ++ends;
        } else {
            text.push_back(c);
        }
    }
    const bool unterminated = size > 0 && bytes.back() != '\r' && bytes.back() != '\n';
    if (lines.size() != ends + (unterminated ? 1 : 0)) Fail("wrong number of lines");

    std::string joined;
    for (const std::string& line : lines) {
        if (line.find_first_of("\r\n") != std::string::npos) Fail("a line holds a line break");
        joined += line;
    }
    if (joined != text) Fail("line contents differ from the input");

    const LookupList shown = WithPlaceholder(lines, "all sources");
    if (shown.size() != lines.size() || (!shown.empty() && shown[0] != "all sources")) Fail("placeholder misplaced");
    return 0;
}
