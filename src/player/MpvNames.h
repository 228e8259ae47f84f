#pragma once

// The engine's property and command names that the player reads, writes and watches while it runs.
namespace castora::mpvname {

inline constexpr const char* Pause = "pause";
inline constexpr const char* PausedForCache = "paused-for-cache";
inline constexpr const char* MediaTitle = "media-title";
inline constexpr const char* Metadata = "metadata";
inline constexpr const char* VideoConfigured = "vo-configured";
inline constexpr const char* VideoUnscaled = "video-unscaled";
inline constexpr const char* Volume = "volume";
inline constexpr const char* Mute = "mute";
inline constexpr const char* VideoTrack = "vid";
inline constexpr const char* Duration = "duration";
inline constexpr const char* FileSize = "file-size";
inline constexpr const char* FileFormat = "file-format";
inline constexpr const char* KeepAspect = "keepaspect";
inline constexpr const char* AspectOverride = "video-aspect-override";
inline constexpr const char* TrackList = "track-list";
inline constexpr const char* AudioTrack = "aid";
inline constexpr const char* SubtitleTrack = "sid";
inline constexpr const char* UserAgent = "user-agent";
inline constexpr const char* HeaderFields = "http-header-fields";

inline constexpr const char* PreloadedHook = "on_preloaded";

inline constexpr const char* LoadFile = "loadfile";
inline constexpr const char* Stop = "stop";

}  // namespace castora::mpvname
