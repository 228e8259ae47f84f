#pragma once
// How a fuzz target reports a broken property: libFuzzer needs a crash to keep the input, the
// replay in the normal test suite wants an exception it can report and go on.
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace castora::fuzz {

[[noreturn]] inline void Fail(const char* target, const std::string& what) {
#ifdef CASTORA_FUZZ_REPLAY
    throw std::runtime_error(std::string(target) + ": " + what);
#else
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::abort();
#endif
}

}  // namespace castora::fuzz
