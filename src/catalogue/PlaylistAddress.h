#pragma once
// Addresses as playlists write them: schemes, references relative to the playlist, and request headers
// carried in a "|User-Agent=…&Referer=…" suffix.

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace castora {

// The scheme of an absolute address ("http"), empty when there is none. One letter is a drive, not a scheme.
std::string_view SchemeOf(std::string_view url);

// True for an address with a scheme the player opens, or an absolute file path.
bool IsPlayableAddress(std::string_view url);

// True when the address has the player wait for connections instead of making one: a "listen" option in
// the query of a protocol that reads its options there (tcp://h:1?listen, udp://…&listen=1).
bool HasListenOption(std::string_view url);

// True for an address that opens a connection to another machine: not a file, not a socket waiting for
// whoever sends (udp:// or rtp:// without a multicast group, srt:// as listener, a missing host).
// Multicast groups (udp://@239.0.0.1:1234) are how IPTV reaches a LAN and count as remote.
bool IsRemoteAddress(std::string_view url);

// "URL|User-Agent=…&Referer=…" split into its parts; header values are taken as they stand.
struct HeaderSuffix {
    std::string address;
    std::vector<std::pair<std::string, std::string>> headers;  // in suffix order
};
HeaderSuffix SplitHeaderSuffix(std::string_view url);
std::string JoinHeaderSuffix(const HeaderSuffix& parts);

// A reference ("live/x.m3u8", "/x", "//host/x") resolved against an absolute URL.
std::string ResolveAgainstUrl(std::string_view base, std::string_view ref);

// A file path as an import stores it: backslashes as slashes, relative to `dir` (an absolute directory)
// when it does not start at the root, without "." and ".." segments.
std::string ResolveLocalPath(std::string_view path, const std::filesystem::path& dir);

// An address that opens from anywhere: a file path (no scheme) as ResolveLocalPath makes it, against
// `dir`, or the working directory when `dir` is empty; any other address as it stands. A header
// suffix stays as it is.
std::string AbsoluteAddress(std::string_view url, const std::filesystem::path& dir);

// The directory relative addresses of the catalogue are taken against: `dir` made absolute, the
// working directory when it is empty.
std::filesystem::path AbsoluteDirectory(const std::filesystem::path& dir);

// "host/last-part" of an address, or a file's name: what a channel without a title is called.
std::string ShortName(std::string_view url);

}  // namespace castora
