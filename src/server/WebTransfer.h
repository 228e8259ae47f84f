#pragma once
// A file fetched from an address the user gave, the way a browser would: HTTP or HTTPS only, redirects
// followed, timeouts for connecting, stalling and the whole transfer, a size limit and a cancel flag.
// Playlists and guides come this way; the update server's fixed request does not.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace castora {

struct WebTransferOptions {
    uint64_t maxBytes = 64ull * 1024 * 1024;  // of the body as it is handed on
    std::chrono::milliseconds connectTimeout{15000};
    // The transfer fails when less than minBytesPerSecond arrive on average over this long: a server
    // that trickles a few bytes a second is as good as none, and would hold the transfer for minutes.
    std::chrono::milliseconds stallTimeout{30000};
    uint64_t minBytesPerSecond = 1024;
    std::chrono::milliseconds totalTimeout{300000};
    const std::atomic<bool>* cancel = nullptr;
    // Bytes received so far and the announced total (0 when unknown); on the downloading thread.
    std::function<void(uint64_t received, uint64_t total)> progress;
};

struct WebRequest {
    std::string url;
    long maxRedirects = 10;
    std::vector<std::string> headers;  // extra request lines, "Name: value"
    // Accept-Encoding to send; empty asks for every encoding this libcurl decodes, and decodes it.
    std::string acceptEncoding;
    // With acceptEncoding set: false hands the body on as it came, still encoded.
    bool decode = true;
    // Each piece of the body; false stops the transfer as failed.
    std::function<bool(const char* data, size_t size)> body;
};

struct WebResponse {
    enum class Outcome { Answered, Failed, Cancelled, TooLarge } outcome = Outcome::Failed;
    long status = 0;                                           // of the last answer, with Answered
    std::vector<std::pair<std::string, std::string>> headers;  // of the last answer, names lower case
    std::string finalUrl;
    // With Failed: why, in words for the user, after "could not be downloaded: ", ending in a full stop.
    std::string reason;

    std::string Header(const std::string& lowerName) const;
};

// Never throws.
WebResponse RunWebTransfer(const WebRequest& request, const WebTransferOptions& options);

// The user's text for a response that is not the answer wanted: `what` is "playlist", "guide" ...
std::string WebTransferError(const WebResponse& response, const char* what, uint64_t maxBytes);

}  // namespace castora
