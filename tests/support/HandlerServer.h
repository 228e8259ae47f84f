#pragma once
// A loopback HTTP/1.1 server whose every answer the test writes as a function of the request, for
// tests that count requests per address, answer conditionally, or misbehave on purpose. One request per
// connection, each on its own thread; the handler may block (a test's gate) and must return before the
// server is destroyed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace castora::test {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string path;                            // target without its query
    std::map<std::string, std::string> headers;  // names in lower case
};

struct HttpReply {
    int status = 200;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;
    // A body this long of filler bytes instead, sent until done or the client goes; with no
    // Content-Length, so only the client's own limit ends it.
    uint64_t endless = 0;
    bool silent = false;                   // reads the request, never answers
    std::chrono::milliseconds trickle{0};  // the body a byte at a time, this far apart
};

class HandlerServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    explicit HandlerServer(Handler handler);
    ~HandlerServer();
    HandlerServer(const HandlerServer&) = delete;
    HandlerServer& operator=(const HandlerServer&) = delete;

    std::string Url(const std::string& path) const;
    // Requests whose head has arrived, in order.
    std::vector<HttpRequest> Requests() const;
    int Count(const std::string& path) const;
    // Requests being answered now, and the most there ever were at once.
    int Active() const { return active_; }
    int MostActive() const { return mostActive_; }

private:
    void Run();
    void Serve(int fd);
    bool Pause(std::chrono::milliseconds time);  // false when stopping

    Handler handler_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> active_{0};
    std::atomic<int> mostActive_{0};
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    std::vector<HttpRequest> requests_;
    std::vector<int> clients_;
    std::vector<std::thread> workers_;
    std::thread thread_;
};

// A gate the handler waits at until the test opens it.
class Gate {
public:
    void Wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

}  // namespace castora::test
