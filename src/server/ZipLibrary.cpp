// libzip is opened on first use rather than linked: only unpacking the update archive needs it. The
// functions below stand in for the library's own, forwarding to them; without the library they fail
// as it reports failure, and zip_error_strerror says why it could not be loaded.
#include <zip.h>

#include "catalogue/RuntimeLibrary.h"

namespace castora {
namespace {

const RuntimeLibrary& Zip() {
    static const RuntimeLibrary library = OpenRuntimeLibrary({"libzip.so.4", "libzip.so.5", "libzip.so"}, "libzip");
    return library;
}

void* Symbol(const char* name) { return RuntimeSymbol(Zip(), name); }

}  // namespace
}  // namespace castora

#define CASTORA_ZIP(...) CASTORA_FORWARD(castora::Symbol, __VA_ARGS__)

extern "C" zip_t* zip_fdopen(int fd, int flags, int* error) {
    static const auto target = reinterpret_cast<decltype(&::zip_fdopen)>(castora::Symbol("zip_fdopen"));
    if (target) return target(fd, flags, error);
    if (error) *error = ZIP_ER_INTERNAL;
    return nullptr;
}

CASTORA_ZIP(void, zip_discard, (zip_t * za), (za), void())
CASTORA_ZIP(zip_int64_t, zip_get_num_entries, (zip_t * za, zip_flags_t flags), (za, flags), -1)
CASTORA_ZIP(void, zip_stat_init, (zip_stat_t * st), (st), void())
CASTORA_ZIP(int, zip_stat_index, (zip_t * za, zip_uint64_t index, zip_flags_t flags, zip_stat_t* st),
            (za, index, flags, st), -1)
CASTORA_ZIP(zip_file_t*, zip_fopen_index, (zip_t * za, zip_uint64_t index, zip_flags_t flags), (za, index, flags),
            nullptr)
CASTORA_ZIP(zip_int64_t, zip_fread, (zip_file_t * zf, void* buf, zip_uint64_t size), (zf, buf, size), -1)
CASTORA_ZIP(int, zip_fclose, (zip_file_t * zf), (zf), ZIP_ER_INTERNAL)
CASTORA_ZIP(int, zip_file_get_external_attributes,
            (zip_t * za, zip_uint64_t index, zip_flags_t flags, zip_uint8_t* host, zip_uint32_t* attributes),
            (za, index, flags, host, attributes), -1)

// An error code can be turned into text without the library: the text is then why it is missing.
extern "C" void zip_error_init_with_code(zip_error_t* error, int code) {
    static const auto target =
        reinterpret_cast<decltype(&::zip_error_init_with_code)>(castora::Symbol("zip_error_init_with_code"));
    if (target) return target(error, code);
    *error = zip_error_t{code, 0, nullptr};
}
CASTORA_ZIP(const char*, zip_error_strerror, (zip_error_t * error), (error), castora::Zip().error.c_str())
CASTORA_ZIP(void, zip_error_fini, (zip_error_t * error), (error), void())
