#include "support/HandlerServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "support/Sockets.h"

namespace castora::test {

HandlerServer::HandlerServer(Handler handler) : handler_(std::move(handler)) {
    listen_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

HandlerServer::~HandlerServer() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    }
    stopping_.notify_all();
    thread_.join();
    for (auto& worker : workers_) worker.join();
    ::close(listen_);
}

std::string HandlerServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HttpRequest> HandlerServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int HandlerServer::Count(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(requests_.begin(), requests_.end(), [&](const HttpRequest& r) { return r.path == path; }));
}

void HandlerServer::Run() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        clients_.push_back(fd);
        workers_.emplace_back([this, fd] {
            Serve(fd);
            std::lock_guard lock(mutex_);
            std::erase(clients_, fd);
            ::close(fd);
        });
    }
}

bool HandlerServer::Pause(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    return !stopping_.wait_for(lock, time, [this] { return stop_.load(); });
}

namespace {

HttpRequest Parse(const std::string& head) {
    HttpRequest r;
    std::istringstream lines(head);
    std::string line;
    std::getline(lines, line);
    std::istringstream first(line);
    first >> r.method >> r.target;
    r.path = r.target.substr(0, r.target.find('?'));
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.headers[name] = value;
    }
    return r;
}

}  // namespace

void HandlerServer::Serve(int fd) {
    std::string head;
    char chunk[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (stop_) return;
        if (ready <= 0) continue;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        head.append(chunk, static_cast<size_t>(n));
    }
    const HttpRequest request = Parse(head.substr(0, head.find("\r\n\r\n")));
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const int now = ++active_;
    for (int most = mostActive_; now > most && !mostActive_.compare_exchange_weak(most, now);) {}
    const HttpReply reply = handler_(request);
    if (reply.silent) {
        while (Pause(std::chrono::milliseconds(100))) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0 && ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) break;  // client gone
        }
        --active_;
        return;
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Answer\r\n";
    for (const std::string& h : reply.headers) out += h + "\r\n";
    if (!reply.endless) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    bool sent = SendAll(fd, out);
    if (sent && reply.endless) {
        const std::string filler(64 * 1024, 'x');
        for (uint64_t left = reply.endless; sent && left > 0 && !stop_;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, filler.size()));
            sent = SendAll(fd, std::string_view(filler).substr(0, n));
            left -= n;
        }
    } else if (sent && reply.trickle.count() > 0) {
        for (char c : reply.body)
            if (!Pause(reply.trickle) || !SendAll(fd, std::string_view(&c, 1))) break;
    } else if (sent) {
        SendAll(fd, reply.body);
    }
    --active_;
}

}  // namespace castora::test
