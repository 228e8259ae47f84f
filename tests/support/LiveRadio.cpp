#include "support/LiveRadio.h"

#include "support/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <stdexcept>

namespace castora::test {

namespace {
constexpr int kRate = 48000;
constexpr size_t kTenth = kRate * 2 / 10;  // 0.1 s of 16-bit mono

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A tone, 0.1 s of it; played over and over it makes a continuous stream.
std::string Tenth() {
    std::string out;
    for (size_t i = 0; i < kTenth / 2; ++i) {
        const auto v = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / kRate));
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>((v >> 8) & 0xFF));
    }
    return out;
}

std::string Head(const std::string& name) {
    std::string out = "HTTP/1.0 200 OK\r\nContent-Type: audio/wav\r\nicy-name: " + name + "\r\n\r\n";
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    out += "RIFF";
    put(0xFFFFFFFF, 4);  // a stream: no length
    out += "WAVEfmt ";
    put(16, 4);
    put(1, 2);
    put(1, 2);
    put(kRate, 4);
    put(kRate * 2, 4);
    put(2, 2);
    put(16, 2);
    out += "data";
    put(0xFFFFFFFF, 4);
    return out;
}
}  // namespace

LiveRadio::LiveRadio(std::string stationName) : name_(std::move(stationName)) {
    listen_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

LiveRadio::~LiveRadio() {
    stop_ = true;
    thread_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : streams_) t.join();
    if (listen_ >= 0) ::close(listen_);
}

std::string LiveRadio::Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/live"; }

void LiveRadio::Drop(std::chrono::milliseconds outage) {
    backAt_ = outage.count() < 0 ? -1 : NowMs() + outage.count();
    std::lock_guard lock(mutex_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
}

std::vector<int64_t> LiveRadio::Refused() {
    std::lock_guard lock(mutex_);
    return refused_;
}

void LiveRadio::Run() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++listeners_;
        std::lock_guard lock(mutex_);
        clients_.push_back(fd);
        streams_.emplace_back([this, fd] { Serve(fd); });
    }
}

void LiveRadio::Serve(int fd) {
    char buf[4096];
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
    }
    const int64_t back = backAt_;
    if (back != 0 && (back < 0 || NowMs() < back)) {
        {
            std::lock_guard lock(mutex_);
            refused_.push_back(NowMs());
        }
        SendAll(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    } else {
        Stream(fd);
    }
    std::lock_guard lock(mutex_);
    std::erase(clients_, fd);
    ::close(fd);
}

void LiveRadio::Stream(int fd) {
    // The engine opens a PCM stream only after some 200 KB: a burst of 2.5 s lets it start at once.
    const std::string tenth = Tenth();
    std::string burst = Head(name_);
    for (int i = 0; i < 25; ++i) burst += tenth;
    bool ok = SendAll(fd, burst);
    while (ok && !stop_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ok = SendAll(fd, tenth);
    }
}

}  // namespace castora::test
