#include "server/WebTransfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "castora/Settings.h"
#include "catalogue/GuideStream.h"

namespace castora {

namespace {

struct Transfer {
    const WebRequest* request;
    const WebTransferOptions* options;
    uint64_t received = 0;
    bool tooLarge = false;
    bool refused = false;  // the body sink said stop
    WebResponse* response;
    bool tooSlow = false;
    // The current stretch of stallTimeout over which the speed is measured.
    std::chrono::steady_clock::time_point stretchStart = std::chrono::steady_clock::now();
    uint64_t stretchBytes = 0;  // received before the stretch began
};

size_t Write(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t->received + n > t->options->maxBytes) {
        t->tooLarge = true;
        return 0;
    }
    t->received += n;
    if (t->request->body && !t->request->body(data, n)) {
        t->refused = true;
        return 0;
    }
    return n;
}

// Every answer's header block starts with its status line: a redirect's headers are forgotten.
size_t Header(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
        t->response->headers.clear();
        return n;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return n;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    t->response->headers.emplace_back(std::move(name), std::string(value));
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

}  // namespace

std::string WebResponse::Header(const std::string& lowerName) const {
    for (const auto& [name, value] : headers)
        if (name == lowerName) return value;
    return {};
}

WebResponse RunWebTransfer(const WebRequest& request, const WebTransferOptions& options) {
    WebResponse out;
    out.finalUrl = request.url;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        // Without libcurl the text says why it could not be loaded.
        out.reason = std::string(curl_easy_strerror(CURLE_FAILED_INIT)) + ".";
        return out;
    }
    Transfer t{&request, &options, 0, false, false, &out};
    t.stretchStart = std::chrono::steady_clock::now();
    char errors[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_slist* headers = nullptr;
    for (const std::string& line : request.headers) headers = curl_slist_append(headers, line.c_str());
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);

    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.maxRedirects > 0 ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, request.maxRedirects);
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, request.acceptEncoding.c_str());
    curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, request.acceptEncoding.empty() || request.decode ? 1L : 0L);
    const std::string agent = std::string("CastoraPlayer/") + settings::Version;
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    if (headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBytes));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.totalTimeout.count()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);

    const CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &out.status);
    char* effective = nullptr;
    curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
    if (effective) out.finalUrl = effective;

    if (t.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
        out.outcome = WebResponse::Outcome::TooLarge;
    } else if (t.tooSlow) {
        out.reason = t.received == 0 ? "the server did not answer in time." : "the server is too slow.";
    } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
        out.outcome = WebResponse::Outcome::Cancelled;
    } else if (t.refused) {
        out.reason = "it could not be stored.";
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
        out.reason = "the server did not answer in time.";
    } else if (rc != CURLE_OK) {
        out.reason = errors[0] ? errors : curl_easy_strerror(rc);
        if (out.reason.empty() || out.reason.back() != '.') out.reason += '.';
    } else {
        out.outcome = WebResponse::Outcome::Answered;
    }
    return out;
}

std::string WebTransferError(const WebResponse& response, const char* what, uint64_t maxBytes) {
    switch (response.outcome) {
    case WebResponse::Outcome::TooLarge:
        return std::string("The ") + what + " is larger than " + SizeText(maxBytes) + ".";
    case WebResponse::Outcome::Cancelled:
        return "The download was cancelled.";
    case WebResponse::Outcome::Failed:
        return std::string("The ") + what + " could not be downloaded: " + response.reason;
    case WebResponse::Outcome::Answered:
        break;
    }
    return std::string("The ") + what + " could not be downloaded: the server answered " +
           std::to_string(response.status) + ".";
}

}  // namespace castora
