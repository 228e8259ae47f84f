// libcurl is opened on first use rather than linked: it brings some thirty libraries (TLS, Kerberos,
// LDAP, SSH ...) that only a download needs. The functions below stand in for the library's own,
// forwarding to them; without the library they fail as it reports failure, and curl_easy_strerror
// says why it could not be loaded.
#include <curl/curl.h>

#include <cstdarg>

#include "catalogue/RuntimeLibrary.h"

namespace castora {
namespace {

const RuntimeLibrary& Curl() {
    static const RuntimeLibrary library = [] {
        RuntimeLibrary lib = OpenRuntimeLibrary({"libcurl.so.4", "libcurl-gnutls.so.4", "libcurl.so"}, "libcurl");
        // Once per process, before any handle exists: this libcurl's global init must not run on two
        // threads at once, and the static's initialisation is the one place that guarantees it.
        const auto init = reinterpret_cast<decltype(&::curl_global_init)>(RuntimeSymbol(lib, "curl_global_init"));
        const auto text = reinterpret_cast<decltype(&::curl_easy_strerror)>(RuntimeSymbol(lib, "curl_easy_strerror"));
        if (lib.handle && (!init || !text)) {
            lib.handle = nullptr;
            lib.error = "libcurl could not be loaded: it lacks curl_global_init or curl_easy_strerror";
        } else if (lib.handle) {
            const CURLcode rc = init(CURL_GLOBAL_DEFAULT);
            if (rc != CURLE_OK) {
                lib.handle = nullptr;  // stays mapped: nothing else may use it now
                lib.error = std::string("libcurl could not be initialised: ") + text(rc);
            }
        }
        return lib;
    }();
    return library;
}

void* Symbol(const char* name) { return RuntimeSymbol(Curl(), name); }

}  // namespace
}  // namespace castora

#define CASTORA_CURL(...) CASTORA_FORWARD(castora::Symbol, __VA_ARGS__)

CASTORA_CURL(CURL*, curl_easy_init, (), (), nullptr)
CASTORA_CURL(void, curl_easy_cleanup, (CURL * curl), (curl), void())
CASTORA_CURL(CURLcode, curl_easy_perform, (CURL * curl), (curl), CURLE_FAILED_INIT)
CASTORA_CURL(curl_slist*, curl_slist_append, (curl_slist * list, const char* text), (list, text), nullptr)
CASTORA_CURL(void, curl_slist_free_all, (curl_slist * list), (list), void())
CASTORA_CURL(const char*, curl_easy_strerror, (CURLcode code), (code), castora::Curl().error.c_str())

// The one argument after the option is read with the type the option's number range gives it, as
// libcurl itself reads it.
extern "C" CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
    static const auto target = reinterpret_cast<decltype(&::curl_easy_setopt)>(castora::Symbol("curl_easy_setopt"));
    if (!target) return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, option);
    CURLcode rc;
    if (option < CURLOPTTYPE_OBJECTPOINT) {
        rc = target(curl, option, va_arg(args, long));
    } else if (option < CURLOPTTYPE_OFF_T) {  // objects, strings, lists and functions
        rc = target(curl, option, va_arg(args, void*));
    } else if (option < CURLOPTTYPE_BLOB) {
        rc = target(curl, option, va_arg(args, curl_off_t));
    } else {
        rc = target(curl, option, va_arg(args, curl_blob*));
    }
    va_end(args);
    return rc;
}

// Every piece of information is written through a pointer.
extern "C" CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...) {
    static const auto target = reinterpret_cast<decltype(&::curl_easy_getinfo)>(castora::Symbol("curl_easy_getinfo"));
    if (!target) return CURLE_FAILED_INIT;
    va_list args;
    va_start(args, info);
    const CURLcode rc = target(curl, info, va_arg(args, void*));
    va_end(args);
    return rc;
}
