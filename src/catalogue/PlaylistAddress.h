#pragma once
// Addresses as playlists write them: schemes, references relative to the playlist, and request headers
// carried in a "|User-Agent=…&Referer=…" suffix.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace castora {

// The scheme of an absolute address ("http"), empty when there is none. One letter is a drive, not a scheme.
std::string_view SchemeOf(std::string_view url);

// True for an address with a scheme the player opens, or an absolute file path.
bool IsPlayableAddress(std::string_view url);

// "URL|User-Agent=…&Referer=…" split into its parts; header values are taken as they stand.
struct HeaderSuffix {
    std::string address;
    std::vector<std::pair<std::string, std::string>> headers;  // in suffix order
};
HeaderSuffix SplitHeaderSuffix(std::string_view url);
std::string JoinHeaderSuffix(const HeaderSuffix& parts);

// A reference ("live/x.m3u8", "/x", "//host/x") resolved against an absolute URL.
std::string ResolveAgainstUrl(std::string_view base, std::string_view ref);

// "host/last-part" of an address, or a file's name: what a channel without a title is called.
std::string ShortName(std::string_view url);

}  // namespace castora
