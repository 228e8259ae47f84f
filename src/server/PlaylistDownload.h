#pragma once
// A playlist fetched the way a browser would: HTTPS, redirects and compressed answers accepted. Kept apart
// from the update server's fixed request, whose every byte is prescribed.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace castora {

struct PlaylistDownloadOptions {
    uint64_t maxBytes = 64ull * 1024 * 1024;  // decoded body
    std::chrono::milliseconds connectTimeout{15000};
    // The transfer fails when less than minBytesPerSecond arrive on average over this long: a server
    // that trickles a few bytes a second is as good as none, and would hold the import for minutes.
    std::chrono::milliseconds stallTimeout{30000};
    uint64_t minBytesPerSecond = 1024;
    std::chrono::milliseconds totalTimeout{300000};
    const std::atomic<bool>* cancel = nullptr;
    // Bytes received so far and the announced total (0 when unknown); on the downloading thread.
    std::function<void(uint64_t received, uint64_t total)> progress;
};

struct PlaylistDownload {
    bool ok = false;
    std::string body;
    std::string finalUrl;  // after redirects: what relative entries resolve against
    std::string error;     // user-facing text when !ok
    bool cancelled = false;
};

// Never throws.
PlaylistDownload DownloadPlaylist(const std::string& url, const PlaylistDownloadOptions& options = {});

}  // namespace castora
