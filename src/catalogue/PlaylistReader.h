#pragma once
// Playlists read into entries: M3U and extended M3U, PLS, in whatever encoding and line ends they come.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace castora {

// Longer addresses are not taken: no server has one, and a line of megabytes would be a channel.
inline constexpr size_t AddressLimit = 64 * 1024;

// One channel of a playlist. Texts are UTF-8; the address is absolute and carries request headers
// as a "|User-Agent=…&Referer=…" suffix.
struct PlaylistEntry {
    std::string url;
    std::string title;
    std::string tvgId;
    std::string tvgName;
    std::string tvgLogo;
    std::string tvgShift;  // as written: "+2", "-1.5"
    // Every group named, each once: group-title's first value, then each #EXTGRP.
    std::vector<std::string> groups;
    std::string country;  // the first tvg-country value
    bool radio = false;   // radio="true"
};

struct Playlist {
    bool ok = false;
    std::string error;  // why nothing can be imported, when !ok
    std::string name;   // UTF-8
    bool pls = false;
    bool stream = false;  // an HLS stream playlist taken as one channel
    std::vector<PlaylistEntry> entries;
    int32_t unusable = 0;  // entries skipped for their address; headings are not entries
    // Programme guides the header names (x-tvg-url, url-tvg), each once, in the order first named.
    std::vector<std::string> guideUrls;
};

// `location` is the file path or the URL the bytes came from: relative entries are resolved against
// it and the playlist's name falls back to it. An HLS stream playlist is one channel when it came from
// a URL and refused when it came from a file.
//
// A playlist from a URL (`fromUrl`) names network addresses only: an entry that would open a local
// file or have the player wait for connections is unusable. An address with a "listen" option is
// unusable from anywhere.
Playlist ReadPlaylist(std::string_view bytes, std::string_view location, bool fromUrl);

// The first of several values an attribute holds, separated by ";" (or ","), trimmed.
std::string_view FirstValue(std::string_view s);

}  // namespace castora
