#include "server/PlaylistDownload.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "castora/Settings.h"

namespace castora {

namespace {

struct Transfer {
    const PlaylistDownloadOptions* options;
    std::string body;
    bool tooLarge = false;
    bool tooSlow = false;
    // The current stretch of stallTimeout over which the speed is measured.
    std::chrono::steady_clock::time_point stretchStart = std::chrono::steady_clock::now();
    uint64_t stretchBytes = 0;  // received before the stretch began
};

size_t Write(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->body.size() + n > t->options->maxBytes) {
        t->tooLarge = true;
        return 0;
    }
    t->body.append(data, n);
    return n;
}

int Progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (t->options->cancel && t->options->cancel->load()) return 1;
    // libcurl calls this at least once a second, also while nothing arrives.
    const auto clock = std::chrono::steady_clock::now();
    const auto stretch = t->options->stallTimeout;
    const uint64_t received = static_cast<uint64_t>(now < 0 ? 0 : now);
    if (clock - t->stretchStart >= stretch) {
        const uint64_t wanted = t->options->minBytesPerSecond * static_cast<uint64_t>(stretch.count()) / 1000;
        if (received - t->stretchBytes < std::max<uint64_t>(wanted, 1)) {
            t->tooSlow = true;
            return 1;
        }
        t->stretchStart = clock;
        t->stretchBytes = received;
    }
    if (t->options->progress)
        t->options->progress(static_cast<uint64_t>(now < 0 ? 0 : now), static_cast<uint64_t>(total < 0 ? 0 : total));
    return 0;
}

std::string MiB(uint64_t bytes) {
    return bytes % (1024 * 1024) == 0 ? std::to_string(bytes / (1024 * 1024)) + " MiB"
                                      : std::to_string(bytes) + " bytes";
}

}  // namespace

PlaylistDownload DownloadPlaylist(const std::string& url, const PlaylistDownloadOptions& options) {
    PlaylistDownload out;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        // Without libcurl the text says why it could not be loaded.
        out.error = std::string("The playlist could not be downloaded: ") + curl_easy_strerror(CURLE_FAILED_INIT) + ".";
        return out;
    }
    Transfer t{&options, {}};
    char errors[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");  // every encoding this libcurl decodes
    const std::string agent = std::string("CastoraPlayer/") + settings::Version;
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBytes));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);

    const CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* effective = nullptr;
    curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
    out.finalUrl = effective ? effective : url;

    if (t.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
        out.error = "The playlist is larger than " + MiB(options.maxBytes) + ".";
    } else if (t.tooSlow && t.body.empty()) {
        out.error = "The playlist could not be downloaded: the server did not answer in time.";
    } else if (t.tooSlow) {
        out.error = "The playlist could not be downloaded: the server is too slow.";
    } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
        out.cancelled = true;
        out.error = "The download was cancelled.";
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
        out.error = "The playlist could not be downloaded: the server did not answer in time.";
    } else if (rc != CURLE_OK) {
        out.error =
            std::string("The playlist could not be downloaded: ") + (errors[0] ? errors : curl_easy_strerror(rc));
        if (out.error.back() != '.') out.error += '.';
    } else if (status < 200 || status > 299) {
        out.error = "The playlist could not be downloaded: the server answered " + std::to_string(status) + ".";
    } else {
        out.ok = true;
        out.body = std::move(t.body);
    }
    return out;
}

}  // namespace castora
