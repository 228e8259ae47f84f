#pragma once
#include <QString>

struct mpv_handle;

namespace castora {

// True for what the player hands to the engine: an address with a scheme a playlist may name (see
// IsPlayableAddress) or a plain file path, and no control byte anywhere. The engine's own addresses
// (av://, edl://, memory://, fd://, ...) are refused, whatever list or editor they came from.
// A "|User-Agent=…" suffix is not part of the address.
bool PlayerOpens(const QString& url);

// Opens `url` in the engine in place of what plays. A "|User-Agent=…&Referer=…" suffix goes out as
// request headers for this file, never as part of the address; without one the engine's defaults
// apply again. A header whose name or value holds a control byte is dropped: CR or LF would start a
// header line of its own. Returns the engine's result code; an address PlayerOpens refuses is never
// passed on (MPV_ERROR_INVALID_PARAMETER).
int LoadWithHeaders(mpv_handle* mpv, const QString& url);

}  // namespace castora
