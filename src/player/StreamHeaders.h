#pragma once
#include <QString>

struct mpv_handle;

namespace castora {

// Opens `url` in the engine in place of what plays. A "|User-Agent=…&Referer=…" suffix goes out as
// request headers for this file, never as part of the address; without one the engine's defaults
// apply again. Returns the engine's result code.
int LoadWithHeaders(mpv_handle* mpv, const QString& url);

}  // namespace castora
