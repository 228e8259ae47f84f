#include "support/ScriptedServer.h"

#include "support/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace castora::test {

ScriptedServer::ScriptedServer() { listenFd_ = ListenLoopback(port_); }

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes accept()
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
}

ScriptedServer& ScriptedServer::Send(std::string bytes) {
    script_.push_back({Step::Send, std::move(bytes), {}});
    return *this;
}
ScriptedServer& ScriptedServer::Pause(std::chrono::milliseconds time) {
    script_.push_back({Step::Pause, {}, time});
    return *this;
}
ScriptedServer& ScriptedServer::Close() {
    script_.push_back({Step::Close, {}, {}});
    return *this;
}
ScriptedServer& ScriptedServer::Reset() {
    script_.push_back({Step::Reset, {}, {}});
    return *this;
}
ScriptedServer& ScriptedServer::DontWaitForRequest() {
    waitForRequest_ = false;
    return *this;
}

void ScriptedServer::Start() {
    thread_ = std::thread([this] { Run(); });
}

std::string ScriptedServer::Url(const std::string& target) const { return "http://" + HostPort() + target; }
std::string ScriptedServer::HostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string ScriptedServer::Request(size_t n, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return n < headComplete_.size() && headComplete_[n]; });
    return n < requests_.size() ? requests_[n] : std::string();
}

size_t ScriptedServer::Connections() {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool ScriptedServer::WaitIdle(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [&] { return busy_ == 0; });
}

uint16_t ScriptedServer::UnusedPort() {
    uint16_t port = 0;
    ::close(ListenLoopback(port));
    return port;
}

bool ScriptedServer::SleepFor(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, time, [&] { return stopping_; });
}

void ScriptedServer::Run() {
    std::vector<std::thread> workers;
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;
        }
        size_t index;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                ::close(fd);
                break;
            }
            index = requests_.size();
            requests_.emplace_back();
            headComplete_.push_back(false);
            ++busy_;
        }
        workers.emplace_back([this, fd, index] { Serve(fd, index); });
    }
    for (auto& w : workers) w.join();
}

void ScriptedServer::Serve(int fd, size_t index) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    // Read the head; give up after a few seconds or when the client stops sending.
    if (waitForRequest_) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        std::string got;
        while (got.find("\r\n\r\n") == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100))) < 0) break;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
            }
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
            std::lock_guard lock(mutex_);
            requests_[index] = got;
        }
    }
    {
        std::lock_guard lock(mutex_);
        headComplete_[index] = true;
    }
    changed_.notify_all();

    bool closed = false;
    for (const Step& step : script_) {
        if (step.kind == Step::Send) {
            SendAll(fd, step.bytes);
        } else if (step.kind == Step::Pause) {
            if (!SleepFor(step.time)) break;
        } else if (step.kind == Step::Close) {
            ::shutdown(fd, SHUT_WR);
            break;
        } else if (step.kind == Step::Reset) {
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(fd);
            closed = true;
            break;
        }
    }
    if (!closed) {
        ::shutdown(fd, SHUT_WR);
        // Let the client see the end before the socket goes; draining avoids an RST caused
        // by unread request bytes.
        char buf[1024];
        pollfd p{fd, POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < deadline && ::poll(&p, 1, 50) >= 0) {
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
            }
            std::lock_guard lock(mutex_);
            if (stopping_) break;
        }
        ::close(fd);
    }
    {
        std::lock_guard lock(mutex_);
        --busy_;
    }
    changed_.notify_all();
}

}  // namespace castora::test
