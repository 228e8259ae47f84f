// Any bytes as the server's answer, played by a loopback peer: the client must end with success
// or EHttpError, quickly, with sane notifications. An odd first byte wraps the rest as the body of
// a well-formed answer (length or chunked framing) whose body must come back exactly.
#include "FuzzCheck.h"
#include "server/HttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

using namespace castora;
using namespace std::chrono_literals;

namespace {

[[noreturn]] void Fail(const std::string& what) { castora::fuzz::Fail("fuzz_http", what); }

// Accepts one connection at a time, reads the request head and plays the current answer.
class Peer {
public:
    Peer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            Fail("cannot listen on 127.0.0.1");
        port_ = ntohs(addr.sin_port);
        std::thread([this] { Run(); }).detach();  // lives as long as the fuzzing process
    }
    void SetAnswer(std::string bytes) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(bytes);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/?key=free"; }

private:
    void Run() {
        for (;;) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::string head;
            char buf[4096];
            const auto until = std::chrono::steady_clock::now() + 2s;
            while (head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
                pollfd p{c, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                head.append(buf, size_t(n));
            }
            std::string answer;
            {
                std::lock_guard lock(mutex_);
                answer = answer_;
            }
            for (size_t sent = 0; sent < answer.size();) {
                const ssize_t n = ::send(c, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;  // the client gave up; that is its right
                sent += size_t(n);
            }
            ::close(c);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::string answer_;
};

struct Work {
    int32_t announced = -1;
    int32_t last = 0;
    int begins = 0;
    std::string error;
    void Attach(THttpClient& c) {
        c.OnWorkBegin = [this](int32_t n) {
            if (n < 0) error = "negative OnWorkBegin";
            announced = n;
            last = 0;
            ++begins;
        };
        c.OnWork = [this](int32_t n) {
            if (announced < 0) error = "OnWork before OnWorkBegin";
            if (n <= last) error = "OnWork count did not rise";
            if (announced > 0 && n > announced) error = "OnWork beyond the announced size";
            last = n;
        };
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Peer peer;
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string answer = rest;
    std::string expectBody;
    bool wellFormed = false;
    if (data[0] & 1) {
        wellFormed = true;
        expectBody = rest;
        if (data[0] & 2) {
            answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
            // Chunk sizes from the first byte, so the fuzzer can steer the framing.
            const size_t step = 1 + (data[0] >> 2);
            for (size_t at = 0; at < rest.size(); at += step) {
                const size_t n = std::min(step, rest.size() - at);
                char sizeLine[32];
                std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", n);
                answer += sizeLine + rest.substr(at, n) + "\r\n";
            }
            answer += "0\r\n\r\n";
        } else {
            answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(rest.size()) + "\r\n\r\n" + rest;
        }
    }
    peer.SetAnswer(answer);

    THttpClient client;
    client.ConnectTimeout = 1000ms;
    client.ReadTimeout = 300ms;
    client.MaxBody = 1 << 20;
    Work work;
    work.Attach(client);
    const bool text = data[0] & 0x80;
    std::ostringstream out;
    std::string got;
    bool ok = false;
    const auto start = std::chrono::steady_clock::now();
    try {
        if (text) got = client.GetText(peer.Url());
        else client.Get(peer.Url(), out);
        ok = true;
    } catch (const EHttpError&) {
    } catch (const std::exception& e) {
        Fail(std::string("not an EHttpError: ") + e.what());
    }
    if (!text) got = out.str();
    const auto took = std::chrono::steady_clock::now() - start;
    if (took > 5s) Fail("request took more than 5 s");
    if (!work.error.empty()) Fail(work.error);
    if (got.size() > (1u << 20)) Fail("body beyond the client's limit");
    if (wellFormed) {
        if (!ok) Fail("well-formed answer failed");
        if (got != expectBody) Fail("well-formed answer's body differs");
    }
    return 0;
}
