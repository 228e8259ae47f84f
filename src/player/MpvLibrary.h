#pragma once
#include <string>

namespace castora {

// Opens libmpv (once; later calls return at once). False, with the loader's reason, when it is missing.
// Every mpv_* call opens it too, so calling this first only chooses the thread that pays for it.
bool LoadMpvLibrary(std::string* error = nullptr);

}  // namespace castora
