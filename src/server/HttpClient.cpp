#include "server/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <memory>

#include "catalogue/Text.h"

namespace castora {

namespace {

using TClock = std::chrono::steady_clock;

// Digits only: "12abc", "+7", "-5" and "" are no length at all.
bool ParseDecimal(std::string_view s, uint64_t& value) {
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        v = v > (std::numeric_limits<uint64_t>::max() - d) / 10 ? std::numeric_limits<uint64_t>::max() : v * 10 + d;
    }
    value = v;
    return true;
}

uint64_t ParseChunkSize(std::string_view line) {
    // A chunk extension (";name=value") follows the size.
    line = line.substr(0, line.find_first_of(" \t;"));
    if (line.empty()) return 0;
    uint64_t v = 0;
    for (char c : line) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return 0;
        v = v > (std::numeric_limits<uint64_t>::max() >> 4) ? std::numeric_limits<uint64_t>::max()
                                                            : (v << 4) | static_cast<uint64_t>(d);
    }
    return v;
}

int32_t ParseStatusCode(std::string_view line) {
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos) return -1;
    std::string_view word = line.substr(blank + 1);
    word = word.substr(0, word.find(' '));
    uint64_t v;
    if (!ParseDecimal(word, v) || v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return -1;
    return static_cast<int32_t>(v);
}

int32_t Clamp32(uint64_t v) { return static_cast<int32_t>(std::min<uint64_t>(v, std::numeric_limits<int32_t>::max())); }

// Longest size or closing line kept; a longer one is no number anyway.
constexpr size_t MaxChunkLine = 4096;

// State of one GET, shared by the libcurl callbacks.
class TTransfer {
public:
    TTransfer(THttpClient& client, const THttpSink& sink, uint64_t maxBody)
        : client_(client), sink_(sink), maxBody_(maxBody) {}

    enum class TMode { None, Length, Chunked, ToClose };

    THttpClient& client_;
    const THttpSink& sink_;
    const uint64_t maxBody_;

    bool connected = false;
    bool timedOut = false;
    bool cancelled = false;
    bool decided = false;  // the final header block has ended
    bool success = false;
    bool done = false;  // the body is complete by the client's own rules
    std::exception_ptr error;
    TClock::time_point lastActivity{};
    uint64_t sinceActivity = 0;  // bytes taken in since lastActivity moved

    // The read limit counts time without real progress: a server that drips a byte now and then
    // must not hold the request for ever, so only a batch of bytes (or the end of the header block)
    // counts as activity.
    static constexpr uint64_t ActivityBytes = 512;
    void Took(size_t n, bool milestone = false) {
        sinceActivity += n;
        if (milestone || sinceActivity >= ActivityBytes) {
            lastActivity = TClock::now();
            sinceActivity = 0;
        }
    }

    std::string statusLine;
    int32_t statusCode = -1;

    static size_t OnHeader(char* data, size_t size, size_t n, void* self) {
        return static_cast<TTransfer*>(self)->Header(std::string_view(data, size * n)) ? size * n : 0;
    }
    static size_t OnWrite(char* data, size_t size, size_t n, void* self) {
        return static_cast<TTransfer*>(self)->Write(data, size * n) ? size * n : 0;
    }
    static int OnPrereq(void* self, char*, char*, int, int) {
        auto* t = static_cast<TTransfer*>(self);
        t->connected = true;
        t->lastActivity = TClock::now();
        return t->Notify(t->client_.OnConnected) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
    }
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* t = static_cast<TTransfer*>(self);
        if (t->client_.Cancel && t->client_.Cancel->load()) {
            t->cancelled = true;
            return 1;
        }
        if (t->connected && TClock::now() - t->lastActivity > t->client_.ReadTimeout) {
            t->timedOut = true;
            return 1;
        }
        return 0;
    }

    // The connection ended before the announced length or the last chunk.
    bool Cut() const { return decided && !done && (mode_ == TMode::Length || mode_ == TMode::Chunked); }

private:
    bool expectStatus_ = true;
    std::map<std::string, std::string> headers_;  // first occurrence of each name
    std::string* lastValue_ = nullptr;            // target of a continuation line

    TMode mode_ = TMode::None;
    uint64_t remaining_ = 0;  // Length: bytes still due; Chunked: bytes left in this chunk
    uint64_t total_ = 0;      // body bytes taken in, across chunks
    uint64_t count_ = 0;      // running count of this body or chunk

    enum class TChunkState { SizeLine, Data, DataEnd, LastLine };
    TChunkState chunkState_ = TChunkState::SizeLine;
    std::string line_;
    uint64_t lineBytes_ = 0;
    bool lineTooLong_ = false;

    template <class... A>
    bool Notify(const std::function<void(A...)>& fn, A... args) {
        if (!fn) return true;
        try {
            fn(args...);
            return true;
        } catch (...) {
            error = std::current_exception();
            return false;
        }
    }

    bool Fail(EHttpError::TKind kind, const std::string& text) {
        error = std::make_exception_ptr(EHttpError(kind, text, statusCode, statusLine));
        return false;
    }

    bool Header(std::string_view line) {
        Took(line.size(), line == "\r\n" || line == "\n");
        if (decided) return true;  // e.g. trailers curl passes on
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (expectStatus_) {
            expectStatus_ = false;
            headers_.clear();
            lastValue_ = nullptr;
            statusLine = line;
            statusCode = ParseStatusCode(line);
            return true;
        }
        if (line.empty()) {
            if (statusCode == 100) {
                expectStatus_ = true;
                return true;
            }
            return Decide();
        }
        if (IsBlank(line.front())) {
            if (lastValue_) {
                const auto more = Trim(line);
                if (!more.empty()) {
                    if (!lastValue_->empty()) *lastValue_ += ' ';
                    *lastValue_ += more;
                }
            }
            return true;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            lastValue_ = nullptr;
            return true;
        }
        auto [it, inserted] =
            headers_.emplace(LowerAscii(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1))));
        lastValue_ = inserted ? &it->second : nullptr;
        return true;
    }

    const std::string* Find(const char* name) const {
        const auto it = headers_.find(name);
        return it == headers_.end() ? nullptr : &it->second;
    }

    // End of the final header block: judge the answer and choose how its body ends.
    bool Decide() {
        decided = true;
        const std::string* location = Find("location");
        success = statusCode >= 200 && statusCode <= 299 && !(location && !location->empty());
        if (statusCode > 100 && statusCode < 200) {
            done = true;  // an interim answer other than 100 is taken as the final one
            return false;
        }
        if (success && statusCode == 204) {
            done = true;
            return false;
        }

        const std::string* lengthText = Find("content-length");
        uint64_t length = 0;
        const bool lengthValid = lengthText && ParseDecimal(*lengthText, length);
        const std::string* encoding = Find("transfer-encoding");

        if (lengthValid && length >= 1) {
            mode_ = TMode::Length;
            remaining_ = length;
            if (length > maxBody_) return TooLarge();
            return BeginWork(length);
        }
        if (encoding && LowerAscii(*encoding).find("chunked") != std::string::npos) {
            mode_ = TMode::Chunked;
            return true;
        }
        if (!lengthValid) {
            mode_ = TMode::ToClose;
            return BeginWork(0);
        }
        done = true;  // Content-Length 0: nothing to read even if the server keeps the line open
        return false;
    }

    bool TooLarge() {
        // A failing answer is a failure anyway; only stop reading its body.
        if (!success) return false;
        return Fail(EHttpError::TKind::TooLarge, "answer body exceeds " + std::to_string(maxBody_) + " bytes");
    }

    bool BeginWork(uint64_t announced) {
        count_ = 0;
        return Notify(client_.OnWorkBegin, Clamp32(announced));
    }

    bool Deliver(const char* data, size_t n) {
        if (n == 0) return true;
        if (total_ + n > maxBody_) return TooLarge();
        total_ += n;
        count_ += n;
        if (success) {
            try {
                sink_(data, n);
            } catch (...) {
                error = std::current_exception();
                return false;
            }
        }
        return Notify(client_.OnWork, Clamp32(count_));
    }

    // Consumes up to and including LF; true when the line is complete. A framing line longer than
    // any sane chunk size line (an endless chunk extension, say) sets lineTooLong_.
    bool TakeLine(const char*& p, const char* end) {
        const char* lf = std::find(p, end, '\n');
        lineBytes_ += static_cast<uint64_t>(lf - p);
        if (lineBytes_ > MaxChunkLine) lineTooLong_ = true;
        const size_t room = MaxChunkLine - std::min(MaxChunkLine, line_.size());
        line_.append(p, std::min<size_t>(static_cast<size_t>(lf - p), room));
        if (lf == end) {
            p = end;
            return false;
        }
        p = lf + 1;
        lineBytes_ = 0;
        return true;
    }

    bool Write(const char* data, size_t n) {
        Took(n);
        if (done || !decided) return false;
        switch (mode_) {
        case TMode::ToClose:
            return Deliver(data, n);
        case TMode::Length: {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n, remaining_));
            if (!Deliver(data, take)) return false;
            remaining_ -= take;
            if (remaining_ == 0) done = true;
            return !done;
        }
        case TMode::Chunked:
            return WriteChunked(data, data + n);
        case TMode::None:
            break;
        }
        return false;
    }

    bool WriteChunked(const char* p, const char* end) {
        while (p != end) {
            if (lineTooLong_) return Fail(EHttpError::TKind::Transfer, "chunk framing line too long");
            switch (chunkState_) {
            case TChunkState::SizeLine: {
                if (!TakeLine(p, end)) break;
                if (!line_.empty() && line_.back() == '\r') line_.pop_back();
                const uint64_t size = ParseChunkSize(line_);
                line_.clear();
                if (size == 0) {
                    chunkState_ = TChunkState::LastLine;
                    break;
                }
                if (size > maxBody_ - std::min(total_, maxBody_)) return TooLarge();
                remaining_ = size;
                chunkState_ = TChunkState::Data;
                if (!BeginWork(size)) return false;
                break;
            }
            case TChunkState::Data: {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(end - p), remaining_));
                if (!Deliver(p, take)) return false;
                p += take;
                remaining_ -= take;
                if (remaining_ == 0) chunkState_ = TChunkState::DataEnd;
                break;
            }
            case TChunkState::DataEnd:
                if (TakeLine(p, end)) {
                    line_.clear();
                    chunkState_ = TChunkState::SizeLine;
                }
                break;
            case TChunkState::LastLine:
                if (TakeLine(p, end)) {
                    line_.clear();
                    done = true;  // whatever follows the last chunk is not part of the body
                    return false;
                }
                break;
            }
        }
        if (lineTooLong_) return Fail(EHttpError::TKind::Transfer, "chunk framing line too long");
        return true;
    }
};

struct TCurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct TSlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

EHttpError::EHttpError(TKind kind, const std::string& text, int32_t statusCode, std::string statusLine)
    : std::runtime_error(text), kind_(kind), statusCode_(statusCode), statusLine_(std::move(statusLine)) {}

THttpTarget SplitHttpUrl(std::string_view url) {
    const auto bad = [&](const std::string& why) {
        return EHttpError(EHttpError::TKind::BadUrl, why + ": " + std::string(url));
    };
    for (unsigned char c : url)
        if (c < 0x20 || c == 0x7F) throw EHttpError(EHttpError::TKind::BadUrl, "control character in URL");

    const auto sep = url.find("://");
    if (sep == std::string_view::npos || LowerAscii(url.substr(0, sep)) != "http") throw bad("not an http URL");
    std::string_view rest = url.substr(sep + 3);
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view target = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

    THttpTarget out;
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) throw bad("bad host");
        out.Host = authority.substr(0, close + 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw bad("bad host");
            portText = after.substr(1);
            if (portText.empty()) throw bad("bad port");
        }
    } else {
        const auto colon = authority.find(':');
        out.Host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) throw bad("bad port");
        }
    }
    if (out.Host.empty() || out.Host.find_first_of(" @") != std::string::npos) throw bad("bad host");
    if (!portText.empty()) {
        uint64_t port;
        if (!ParseDecimal(portText, port) || port == 0 || port > 65535) throw bad("bad port");
        out.Port = static_cast<uint16_t>(port);
    }

    target = target.substr(0, target.find('#'));
    out.Target = target.empty() ? std::string("/") : std::string(target);
    std::replace(out.Target.begin(), out.Target.end(), '\\', '/');
    out.HostHeader = out.Port == 80 ? out.Host : out.Host + ":" + std::to_string(out.Port);
    return out;
}

THttpClient::THttpClient() = default;
THttpClient::~THttpClient() = default;

void THttpClient::Get(const std::string& url, std::ostream& stream) {
    const THttpSink sink = [&stream](const char* data, size_t size) {
        stream.write(data, static_cast<std::streamsize>(size));
        if (!stream) throw EHttpError(EHttpError::TKind::Sink, "cannot store the answer body");
    };
    Perform(url, sink, MaxBody);
}

void THttpClient::Get(const std::string& url, const THttpSink& sink) {
    Perform(url, sink ? sink : THttpSink([](const char*, size_t) {}), MaxBody);
}

std::string THttpClient::GetText(const std::string& url) {
    std::string text;
    const THttpSink sink = [&text](const char* data, size_t size) { text.append(data, size); };
    Perform(url, sink, std::min(MaxBody, MaxTextBody));
    return text;
}

void THttpClient::Perform(const std::string& url, const THttpSink& sink, uint64_t maxBody) {
    const THttpTarget where = SplitHttpUrl(url);

    std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    // Without libcurl the text says why it could not be loaded.
    if (!curl) throw EHttpError(EHttpError::TKind::Transfer, curl_easy_strerror(CURLE_FAILED_INIT));
    CURL* h = curl.get();

    // The leading empty "Host:" switches curl's own Host line off, so the later one keeps its
    // place in the list; curl's Accept and User-Agent are replaced by the lines given here.
    std::unique_ptr<curl_slist, TSlistDeleter> head;
    for (const std::string& line :
         {std::string("Host:"), std::string("Content-Type: text/html"), "Host: " + where.HostHeader,
          std::string("Accept: text/html, */*"), std::string("User-Agent: Mozilla/3.0 (compatible; Indy Library)")}) {
        curl_slist* next = curl_slist_append(head.get(), line.c_str());
        if (!next) throw EHttpError(EHttpError::TKind::Transfer, "out of memory");
        head.release();
        head.reset(next);
    }

    TTransfer t(*this, sink, maxBody);
    char errorText[CURL_ERROR_SIZE] = {};
    const std::string curlUrl = "http://" + where.Host + ":" + std::to_string(where.Port) + "/";

    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_URL, curlUrl.c_str());
    curl_easy_setopt(h, CURLOPT_REQUEST_TARGET, where.Target.c_str());  // verbatim, no normalising
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, head.get());
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // The body's extent and the chunk framing are handled in TTransfer, so that every length
    // rule and the per-chunk notifications are the program's own.
    curl_easy_setopt(h, CURLOPT_HTTP_TRANSFER_DECODING, 0L);
    curl_easy_setopt(h, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // Larger reads mean fewer callbacks and writes on a fast line.
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ConnectTimeout.count()));
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &TTransfer::OnPrereq);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &TTransfer::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TTransfer::OnWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &TTransfer::OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);

    const CURLcode rc = curl_easy_perform(h);

    if (t.error) std::rethrow_exception(t.error);
    const std::string detail = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(rc));
    if (t.cancelled) throw EHttpError(EHttpError::TKind::Cancelled, "cancelled", t.statusCode, t.statusLine);
    if (t.timedOut)
        throw EHttpError(EHttpError::TKind::Timeout, "no data for " + std::to_string(ReadTimeout.count()) + " ms",
                         t.statusCode, t.statusLine);
    if (t.decided && !t.success)
        throw EHttpError(EHttpError::TKind::Status, "HTTP answer: " + t.statusLine, t.statusCode, t.statusLine);
    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && t.done)) {
        if (!t.decided) throw EHttpError(EHttpError::TKind::Transfer, "no complete answer", t.statusCode, t.statusLine);
        // A cut body would pass for a whole one: an archive cut short only fails later, when it is unpacked.
        if (t.Cut())
            throw EHttpError(EHttpError::TKind::Transfer, "connection closed before the end of the body", t.statusCode,
                             t.statusLine);
        return;
    }
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
        throw EHttpError(EHttpError::TKind::Resolve, detail);
    case CURLE_COULDNT_CONNECT:
        throw EHttpError(EHttpError::TKind::Connect, detail);
    case CURLE_OPERATION_TIMEDOUT:
        throw EHttpError(t.connected ? EHttpError::TKind::Timeout : EHttpError::TKind::Connect, detail);
    default:
        throw EHttpError(EHttpError::TKind::Transfer, detail, t.statusCode, t.statusLine);
    }
}

}  // namespace castora
