#pragma once
// A playlist fetched the way a browser would: HTTPS, redirects and compressed answers accepted. Kept apart
// from the update server's fixed request, whose every byte is prescribed.

#include <string>

#include "server/WebTransfer.h"

namespace castora {

using PlaylistDownloadOptions = WebTransferOptions;

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
