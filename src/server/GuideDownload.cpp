#include "server/GuideDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace castora {

GuideDownload DownloadGuide(const std::string& url, const std::filesystem::path& file, const GuideValidators& have,
                            const WebTransferOptions& options) {
    GuideDownload out;
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        out.error = "The guide could not be stored in " + file.string() + ": " + std::strerror(errno) + ".";
        return out;
    }
    WebRequest request;
    request.url = url;
    if (!have.etag.empty()) request.headers.push_back("If-None-Match: " + have.etag);
    if (!have.lastModified.empty()) request.headers.push_back("If-Modified-Since: " + have.lastModified);
    // Stored packed as it came, so a large guide takes its packed size on disk; the reader unpacks it.
    request.acceptEncoding = "gzip";
    request.decode = false;
    int writeError = 0;
    request.body = [&](const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                writeError = errno;
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
            out.bytes += static_cast<uint64_t>(n);
        }
        return true;
    };
    const WebResponse r = RunWebTransfer(request, options);
    if (::close(fd) != 0 && writeError == 0) writeError = errno;
    out.finalUrl = r.finalUrl;

    if (r.outcome == WebResponse::Outcome::Answered && r.status == 304 && !have.Empty()) {
        out.outcome = GuideDownload::Outcome::NotModified;
        out.validators = have;
    } else if (r.outcome == WebResponse::Outcome::Answered && r.status >= 200 && r.status <= 299 && writeError == 0) {
        out.outcome = GuideDownload::Outcome::Fetched;
        out.validators = {r.Header("etag"), r.Header("last-modified")};
        return out;
    } else if (writeError != 0) {
        out.error = "The guide could not be stored in " + file.string() + ": " + std::strerror(writeError) + ".";
    } else {
        out.outcome = r.outcome == WebResponse::Outcome::Cancelled ? GuideDownload::Outcome::Cancelled
                                                                   : GuideDownload::Outcome::Failed;
        out.error = WebTransferError(r, "guide", options.maxBytes);
    }
    std::error_code ec;
    std::filesystem::remove(file, ec);
    out.bytes = 0;
    return out;
}

}  // namespace castora
