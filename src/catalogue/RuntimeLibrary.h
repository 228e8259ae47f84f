#pragma once
#include <initializer_list>
#include <string>

namespace castora {

// A library opened on first use instead of being linked, so that start-up does not map it and all it
// brings. No handle means it could not be loaded; error then says why, in words for the user.
struct RuntimeLibrary {
    void* handle = nullptr;
    std::string error;
};

// The first of `sonames` that loads; otherwise the loader's reason for the first one, the name the
// program was built against.
RuntimeLibrary OpenRuntimeLibrary(std::initializer_list<const char*> sonames, const char* what);

// The symbol `name` of an open library, or null.
void* RuntimeSymbol(const RuntimeLibrary& library, const char* name);

}  // namespace castora

// Defines `name` with the library's own signature, forwarding to the library's function as found by
// `find` (once); while the library is missing it returns `failed`, as the library reports failure.
#define CASTORA_FORWARD(find, ret, name, params, args, failed)                                                         \
    extern "C" ret name params {                                                                                       \
        static const auto target = reinterpret_cast<decltype(&::name)>(find(#name));                                   \
        if (!target) return failed;                                                                                    \
        return target args;                                                                                            \
    }
