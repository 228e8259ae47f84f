// libmpv is opened on first use rather than linked: the program then starts without the couple of
// hundred libraries it brings, and the player loads them on a worker once the window is up. The
// functions below stand in for the library's own, forwarding to them.
#include "player/MpvLibrary.h"

#include "catalogue/RuntimeLibrary.h"

#include <mpv/client.h>
#include <mpv/render_gl.h>

#include <string>

namespace castora {

namespace {
const RuntimeLibrary& Open() {
    static const RuntimeLibrary library = OpenRuntimeLibrary({"libmpv.so.2", "libmpv.so.1", "libmpv.so"}, "libmpv");
    return library;
}

void* Symbol(const char* name) { return RuntimeSymbol(Open(), name); }
}  // namespace

bool LoadMpvLibrary(std::string* error) {
    const RuntimeLibrary& lib = Open();
    if (!lib.handle && error) *error = lib.error;
    return lib.handle != nullptr;
}

}  // namespace castora

#define CASTORA_MPV(...) CASTORA_FORWARD(castora::Symbol, __VA_ARGS__)

CASTORA_MPV(mpv_handle*, mpv_create, (), (), nullptr)
CASTORA_MPV(int, mpv_initialize, (mpv_handle * ctx), (ctx), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(void, mpv_terminate_destroy, (mpv_handle * ctx), (ctx), void())
CASTORA_MPV(const char*, mpv_error_string, (int error), (error), "libmpv is not available")
CASTORA_MPV(void, mpv_free, (void* data), (data), void())
CASTORA_MPV(void, mpv_free_node_contents, (mpv_node * node), (node), void())
CASTORA_MPV(int, mpv_set_option_string, (mpv_handle * ctx, const char* name, const char* data), (ctx, name, data),
            MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(int, mpv_command, (mpv_handle * ctx, const char** args), (ctx, args), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(int, mpv_set_property, (mpv_handle * ctx, const char* name, mpv_format format, void* data),
            (ctx, name, format, data), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(int, mpv_set_property_string, (mpv_handle * ctx, const char* name, const char* data), (ctx, name, data),
            MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(int, mpv_get_property, (mpv_handle * ctx, const char* name, mpv_format format, void* data),
            (ctx, name, format, data), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(char*, mpv_get_property_string, (mpv_handle * ctx, const char* name), (ctx, name), nullptr)
CASTORA_MPV(int, mpv_observe_property, (mpv_handle * mpv, uint64_t reply_userdata, const char* name, mpv_format format),
            (mpv, reply_userdata, name, format), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(int, mpv_hook_add, (mpv_handle * ctx, uint64_t reply_userdata, const char* name, int priority),
            (ctx, reply_userdata, name, priority), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(int, mpv_hook_continue, (mpv_handle * ctx, uint64_t id), (ctx, id), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(mpv_event*, mpv_wait_event, (mpv_handle * ctx, double timeout), (ctx, timeout), nullptr)
CASTORA_MPV(void, mpv_set_wakeup_callback, (mpv_handle * ctx, void (*cb)(void* d), void* d), (ctx, cb, d), void())
CASTORA_MPV(int, mpv_render_context_create, (mpv_render_context * *res, mpv_handle* mpv, mpv_render_param* params),
            (res, mpv, params), MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(void, mpv_render_context_set_update_callback,
            (mpv_render_context * ctx, mpv_render_update_fn callback, void* callback_ctx),
            (ctx, callback, callback_ctx), void())
CASTORA_MPV(int, mpv_render_context_render, (mpv_render_context * ctx, mpv_render_param* params), (ctx, params),
            MPV_ERROR_UNINITIALIZED)
CASTORA_MPV(void, mpv_render_context_report_swap, (mpv_render_context * ctx), (ctx), void())
CASTORA_MPV(void, mpv_render_context_free, (mpv_render_context * ctx), (ctx), void())
