#include "server/PlaylistDownload.h"

namespace castora {

PlaylistDownload DownloadPlaylist(const std::string& url, const PlaylistDownloadOptions& options) {
    PlaylistDownload out;
    WebRequest request;
    request.url = url;
    request.body = [&](const char* data, size_t size) {
        out.body.append(data, size);
        return true;
    };
    const WebResponse r = RunWebTransfer(request, options);
    out.finalUrl = r.finalUrl;
    out.cancelled = r.outcome == WebResponse::Outcome::Cancelled;
    if (r.outcome == WebResponse::Outcome::Answered && r.status >= 200 && r.status <= 299) {
        out.ok = true;
    } else {
        out.body.clear();
        out.error = WebTransferError(r, "playlist", options.maxBytes);
    }
    return out;
}

}  // namespace castora
