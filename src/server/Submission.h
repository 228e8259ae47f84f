#pragma once
// Sending a user's channel to the update host. Fire and forget: the answer is not read.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace castora {

// Form encoding of one query value, byte by byte: letters, digits and "_" stay, a space
// becomes "+", every other byte (also "-", ".", "~", "*" and bytes above 127) "%XX".
std::string UrlEncode(std::string_view bytes);

// "http://" + host + "/add.php?format=..&source=..&country=..&genre=..&name=..&url=..
// &bitrate=..&comments=..", all eight keys always present and in that order.
std::string BuildSubmissionUrl(const std::string& host, int32_t format, int32_t source, int32_t country, int32_t genre,
                               std::string_view name, std::string_view url, std::string_view bitrate,
                               std::string_view comments);

// Sends the channel and drops the answer. Never throws: every failure ends it silently.
// A set `cancel` ends it early (the program is closing).
void SendChannel(const std::string& host, int32_t format, int32_t source, int32_t country, int32_t genre,
                 std::string_view name, std::string_view url, std::string_view bitrate, std::string_view comments,
                 const std::atomic<bool>* cancel = nullptr) noexcept;

}  // namespace castora
