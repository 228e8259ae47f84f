#include "catalogue/RuntimeLibrary.h"

#include <dlfcn.h>

namespace castora {

RuntimeLibrary OpenRuntimeLibrary(std::initializer_list<const char*> sonames, const char* what) {
    RuntimeLibrary lib;
    for (const char* name : sonames) {
        // Already loaded (a program that also links it) gives the same handle, and dlsym on it finds the
        // library's own functions rather than the forwarders of the same name.
        lib.handle = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
        if (lib.handle) {
            lib.error.clear();
            return lib;
        }
        if (lib.error.empty()) {
            const char* why = ::dlerror();
            lib.error = std::string(what) + " could not be loaded: " + (why ? why : name);
        }
    }
    return lib;
}

void* RuntimeSymbol(const RuntimeLibrary& library, const char* name) {
    return library.handle ? ::dlsym(library.handle, name) : nullptr;
}

}  // namespace castora
