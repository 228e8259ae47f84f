// Servers that try to hold a worker thread or exhaust memory: every request must end through the
// client's own limits, with bounded memory, and a list download must report failure.
#include "server/Download.h"
#include "server/HttpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

using namespace castora;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A loopback peer that reads the request head and then runs a play function, which keeps sending
// until the client goes away, the play ends or the server's own cap (so a client that never gives
// up cannot hang the test) is reached.
class HostileServer {
public:
    class Conn {
    public:
        Conn(int fd, HostileServer& server) : fd_(fd), server_(server) {}
        // False once the client is gone, the cap is reached or the server stops.
        bool Send(std::string_view bytes) {
            while (!bytes.empty()) {
                if (!Alive()) return false;
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                if (p.revents & (POLLERR | POLLHUP)) return false;
                const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (n <= 0) return false;
                bytes.remove_prefix(size_t(n));
                server_.sent_ += uint64_t(n);
            }
            return true;
        }
        bool Sleep(std::chrono::milliseconds t) {
            const auto until = Clock::now() + t;
            while (Clock::now() < until) {
                if (!Alive()) return false;
                std::this_thread::sleep_for(10ms);
            }
            return true;
        }
        // Keeps the connection open, silent, until the client leaves.
        void Hold() {
            while (Alive()) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0) {
                    char c;
                    if (::recv(fd_, &c, 1, MSG_DONTWAIT) == 0) return;
                }
            }
        }

    private:
        bool Alive() const { return !server_.stop_ && Clock::now() < server_.deadline_; }
        int fd_;
        HostileServer& server_;
    };
    using Play = std::function<void(Conn&)>;

    explicit HostileServer(Play play, std::chrono::seconds cap = 12s) : play_(std::move(play)), cap_(cap) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 4) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(addr.sin_port);
        deadline_ = Clock::now() + cap_;
        thread_ = std::thread([this] { Accept(); });
    }
    ~HostileServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        for (auto& t : workers_) t.join();
        ::close(fd_);
    }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Url() const { return "http://" + HostPort() + "/?key=free"; }
    uint64_t Sent() const { return sent_; }

private:
    void Accept() {
        for (;;) {
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (stop_) return;
                continue;
            }
            workers_.emplace_back([this, c] {
                const int one = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                std::string head;
                char buf[2048];
                while (head.find("\r\n\r\n") == std::string::npos && !stop_) {
                    pollfd p{c, POLLIN, 0};
                    if (::poll(&p, 1, 50) <= 0) continue;
                    const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    head.append(buf, size_t(n));
                }
                Conn conn(c, *this);
                play_(conn);
                ::close(c);
            });
        }
    }

    Play play_;
    std::chrono::seconds cap_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    Clock::time_point deadline_;
    std::thread thread_;
    std::vector<std::thread> workers_;  // only touched by the accept thread until the destructor
};

long PeakRssKb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr long RssSlackKb = 512 * 1024;  // ASan's quarantine and shadow memory
#else
constexpr long RssSlackKb = 96 * 1024;
#endif

struct Outcome {
    bool ok = false;
    EHttpError::TKind kind{};
    std::string what;
    Clock::duration took{};
    size_t bodyBytes = 0;
    long rssGrowthKb = 0;
};

Outcome Fetch(const HostileServer& server, bool text, std::chrono::milliseconds readTimeout = 800ms,
              uint64_t maxBody = 8u << 20) {
    Outcome o;
    THttpClient client;
    client.ConnectTimeout = 2s;
    client.ReadTimeout = readTimeout;
    client.MaxBody = maxBody;
    const long rssBefore = PeakRssKb();
    const auto start = Clock::now();
    std::ostringstream out;
    try {
        if (text) o.bodyBytes = client.GetText(server.Url()).size();
        else client.Get(server.Url(), out);
        o.ok = true;
    } catch (const EHttpError& e) {
        o.kind = e.Kind();
        o.what = e.what();
    }
    o.took = Clock::now() - start;
    if (!text) o.bodyBytes = out.str().size();
    o.rssGrowthKb = PeakRssKb() - rssBefore;
    return o;
}

std::string Repeat(char c, size_t n) { return std::string(n, c); }

}  // namespace

// One byte a second, slower than the read limit, in the head and in the body.
TEST(HostileServer, TrickleEndsByTheReadLimit) {
    for (const std::string& prefix : {std::string(), std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")}) {
        HostileServer server([&](HostileServer::Conn& c) {
            if (!c.Send(prefix)) return;
            for (const char b : std::string("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n") + Repeat('x', 1000))
                if (!c.Send(std::string(1, b)) || !c.Sleep(1000ms)) return;
        });
        const Outcome o = Fetch(server, false, 500ms);
        EXPECT_FALSE(o.ok) << "prefix: " << prefix;
        EXPECT_EQ(o.kind, EHttpError::TKind::Timeout) << o.what;
        EXPECT_LT(o.took, 3s) << "the read limit is 500 ms, checked about once a second";
        EXPECT_LE(o.bodyBytes, 2u);
    }
}

// A silent server after the head, or after a body that runs to the connection's end.
TEST(HostileServer, NeverClosingEndsByTheReadLimitUnlessTheBodyIsComplete) {
    for (const std::string& answer :
         {std::string("HTTP/1.1 200 OK\r\n"), std::string("HTTP/1.1 200 OK\r\n\r\npart of a body"),
          std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabc")}) {
        HostileServer server([&](HostileServer::Conn& c) {
            if (c.Send(answer)) c.Hold();
        });
        const Outcome o = Fetch(server, true, 500ms);
        EXPECT_FALSE(o.ok) << answer;
        EXPECT_EQ(o.kind, EHttpError::TKind::Timeout) << o.what;
        EXPECT_LT(o.took, 3s) << answer;
    }
    // A body whose announced length has arrived is complete: no waiting for the close.
    HostileServer complete([](HostileServer::Conn& c) {
        if (c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")) c.Hold();
    });
    const Outcome o = Fetch(complete, true, 5000ms);
    EXPECT_TRUE(o.ok) << o.what;
    EXPECT_EQ(o.bodyBytes, 5u);
    EXPECT_LT(o.took, 2s);
}

// Header lines as fast as the socket takes them, one long line and many short ones.
TEST(HostileServer, EndlessHeadersFailWithBoundedMemory) {
    const std::string line = "X-Filler: " + Repeat('h', 100) + "\r\n";
    for (const bool oneLine : {false, true}) {
        HostileServer server([&](HostileServer::Conn& c) {
            if (!c.Send("HTTP/1.1 200 OK\r\n")) return;
            const std::string block = oneLine ? Repeat('h', 64 * 1024) : [&] {
                std::string b;
                for (int i = 0; i < 500; ++i) b += line;
                return b;
            }();
            while (c.Send(block)) {}
        });
        const Outcome o = Fetch(server, false);
        EXPECT_FALSE(o.ok) << (oneLine ? "one endless line" : "endless lines");
        EXPECT_LT(o.took, 8s) << "sent " << server.Sent() << " bytes; " << o.what;
        EXPECT_LT(o.rssGrowthKb, RssSlackKb);
        EXPECT_EQ(o.bodyBytes, 0u);
    }
}

// A chunk announced as huge, an endless body without length, and a 10 GB Content-Length.
TEST(HostileServer, EndlessBodiesStopAtTheBodyLimit) {
    const std::string data = Repeat('z', 64 * 1024);
    const std::string heads[] = {
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n",
        "HTTP/1.1 200 OK\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n",
    };
    for (const std::string& head : heads) {
        for (const bool text : {false, true}) {
            HostileServer server([&](HostileServer::Conn& c) {
                if (!c.Send(head)) return;
                while (c.Send(data)) {}
            });
            const Outcome o = Fetch(server, text, 800ms, 4u << 20);
            EXPECT_FALSE(o.ok) << head;
            EXPECT_EQ(o.kind, EHttpError::TKind::TooLarge) << o.what;
            EXPECT_LE(o.bodyBytes, text ? size_t(THttpClient::MaxTextBody) : size_t(4u << 20)) << head;
            EXPECT_LT(o.took, 8s) << head;
            EXPECT_LT(o.rssGrowthKb, RssSlackKb) << head;
        }
    }
}

// What a failing answer carries is read and dropped, but not without end either.
TEST(HostileServer, EndlessBodyOfAFailingAnswerEnds) {
    HostileServer server([](HostileServer::Conn& c) {
        if (!c.Send("HTTP/1.1 404 Not Found\r\n\r\n")) return;
        const std::string junk = Repeat('<', 64 * 1024);
        while (c.Send(junk)) {}
    });
    const Outcome o = Fetch(server, false, 800ms, 4u << 20);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.kind, EHttpError::TKind::Status) << o.what;
    EXPECT_EQ(o.bodyBytes, 0u);
    EXPECT_LT(o.took, 8s);
}

TEST(HostileServer, DownloadReportsFailureAndKeepsTheFileBounded) {
    castora::test::TempDir dir;
    const std::string data = Repeat('z', 64 * 1024);
    struct Case {
        const char* what;
        std::string head;
        uint64_t maxBytes;
        uint64_t fileLimit;
    };
    const Case cases[] = {
        {"10 GB Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n", 512ull << 20, 0},
        {"endless chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFFFFFFFFFF\r\n", 2u << 20,
         2u << 20},
        {"endless body", "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n\r\n", 2u << 20, 2u << 20},
        {"endless headers", "HTTP/1.1 200 OK\r\n" + Repeat('h', 1024), 512ull << 20, 0},
    };
    for (const Case& c : cases) {
        HostileServer server([&](HostileServer::Conn& conn) {
            if (!conn.Send(c.head)) return;
            while (conn.Send(data)) {}
        });
        const auto start = Clock::now();
        EXPECT_TRUE(DownloadChannelList(server.HostPort(), "free", dir.path(), {}, c.maxBytes)) << c.what;
        EXPECT_LT(Clock::now() - start, 8s) << c.what;
        EXPECT_LE(fs::file_size(dir / "updates.zip"), c.fileLimit) << c.what;
    }
}

// Interim answers without end, a chunk size of endless digits, an endless trailer: none of it is
// body, so only a bound on the framing ends these.
TEST(HostileServer, EndlessFramingEnds) {
    std::string interim;
    for (int i = 0; i < 200; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const struct {
        const char* what;
        std::string head, repeat;
    } cases[] = {
        {"interim answers", "", interim},
        {"chunk size digits", chunked + "1", Repeat('0', 64 * 1024)},
        {"trailer line", chunked + "0\r\n", Repeat('t', 64 * 1024)},
        {"trailer headers", chunked + "0\r\n",
         [] {
             std::string t;
             for (int i = 0; i < 4096; ++i) t += "X-Trailer: 1\r\n";
             return t;
         }()},
    };
    for (const auto& c : cases) {
        HostileServer server([&](HostileServer::Conn& conn) {
            if (!conn.Send(c.head)) return;
            while (conn.Send(c.repeat)) {}
        });
        const Outcome o = Fetch(server, true);
        EXPECT_EQ(o.bodyBytes, 0u) << c.what;
        EXPECT_LT(o.took, 8s) << c.what << ": sent " << server.Sent() << " bytes; " << o.what;
        EXPECT_LT(o.rssGrowthKb, RssSlackKb) << c.what;
    }
}

// A chunk extension (";" after the size) that never ends: no byte of it is body, so only a bound on
// the length of a framing line ends the request.
TEST(HostileServer, EndlessChunkExtensionEnds) {
    HostileServer server([](HostileServer::Conn& c) {
        if (!c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;")) return;
        const std::string ext = Repeat('e', 64 * 1024);
        while (c.Send(ext)) {}
    });
    const Outcome o = Fetch(server, false);
    EXPECT_FALSE(o.ok) << o.what;
    EXPECT_LT(o.took, 8s) << "sent " << server.Sent() << " bytes; " << o.what;
}

// A server that sends one byte just inside the read limit: single bytes do not count as progress,
// so the read limit still ends the request.
TEST(HostileServer, SlowDripWithinTheReadLimitEnds) {
    HostileServer server(
        [](HostileServer::Conn& c) {
            if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")) return;
            while (c.Send("x") && c.Sleep(200ms)) {}
        },
        20s);
    const Outcome o = Fetch(server, false, 1000ms);
    EXPECT_FALSE(o.ok);
    EXPECT_LT(o.took, 15s) << "sent " << server.Sent() << " bytes";
}
