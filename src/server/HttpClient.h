#pragma once
// One HTTP/1.1 GET per client object, with a request head fixed byte for byte and the
// answer rules applied by the client itself rather than by libcurl's defaults.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace castora {

// Raised for every failure of THttpClient. StatusCode() is -1 unless an answer's status
// line was read; StatusLine() is that whole line without its line end.
class EHttpError : public std::runtime_error {
public:
    enum class TKind {
        BadUrl,    // refused before anything was sent
        Resolve,   // host name not resolved
        Connect,   // refused, unreachable or connect time limit reached
        Timeout,   // no data within the read limit
        Transfer,  // reset, malformed answer, closed before the header block ended
        Status,    // status outside 200..299, or a "Location" with a value
        TooLarge,  // body above the client's limit
        Sink,      // the caller's stream refused the body
        Cancelled  // the caller gave up
    };

    EHttpError(TKind kind, const std::string& text, int32_t statusCode = -1, std::string statusLine = {});

    TKind Kind() const noexcept { return kind_; }
    int32_t StatusCode() const noexcept { return statusCode_; }
    const std::string& StatusLine() const noexcept { return statusLine_; }

private:
    TKind kind_;
    int32_t statusCode_;
    std::string statusLine_;
};

// The parts of an "http://" URL as they go on the wire.
struct THttpTarget {
    std::string Host;  // as written in the URL
    uint16_t Port = 80;
    std::string Target;      // "\" mapped to "/", cut at "#"; never empty
    std::string HostHeader;  // Host, plus ":" port when the port is not 80
};

// Throws EHttpError (BadUrl) for another scheme, an empty host, a bad port or any control
// byte (CR, LF, ...) in the URL, so nothing can be injected into the request head.
THttpTarget SplitHttpUrl(std::string_view url);

// Receives the body piece by piece; may throw to abort the transfer (the exception is
// passed on to the caller of Get unchanged).
using THttpSink = std::function<void(const char* data, size_t size)>;

class THttpClient {
public:
    // Bodies above this fail with EHttpError (TooLarge), whatever the announced length.
    static constexpr uint64_t DefaultMaxBody = 512ull * 1024 * 1024;
    // GetText never holds more than this: a larger answer fails with EHttpError (TooLarge)
    // instead of returning a silently cut text.
    static constexpr uint64_t MaxTextBody = 1024ull * 1024;

    // Notifications, given synchronously on the calling thread during Get/GetText.
    std::function<void()> OnConnected;
    std::function<void(int32_t count)> OnWorkBegin;
    std::function<void(int32_t count)> OnWork;

    // Finite limits so that a silent server cannot hold a worker thread for ever.
    // The read limit is checked about once a second, so it may be overrun by up to ~1 s.
    std::chrono::milliseconds ConnectTimeout{15000};
    std::chrono::milliseconds ReadTimeout{30000};
    uint64_t MaxBody = DefaultMaxBody;
    // When set and true, the request ends with EHttpError (Cancelled) within about a second: the
    // program is closing and must not wait for a slow server.
    const std::atomic<bool>* Cancel = nullptr;

    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // The body of a successful answer goes to the stream from its current position; after a
    // failure during the body the stream holds what was stored until then. A failing answer
    // writes nothing to it.
    void Get(const std::string& url, std::ostream& stream);
    void Get(const std::string& url, const THttpSink& sink);
    std::string GetText(const std::string& url);

private:
    void Perform(const std::string& url, const THttpSink& sink, uint64_t maxBody);
};

}  // namespace castora
