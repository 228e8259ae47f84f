#include "support/ConditionalHttpServer.h"

#include "support/Sockets.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <sstream>

namespace castora::test {

namespace {

std::string HeaderValue(const std::string& head, const std::string& lowerName) {
    std::istringstream lines(head);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != lowerName) continue;
        size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        return line.substr(v);
    }
    return {};
}

}  // namespace

ConditionalHttpServer::ConditionalHttpServer() {
    listen_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

ConditionalHttpServer::~ConditionalHttpServer() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
}

void ConditionalHttpServer::Put(const std::string& path, File file) {
    std::lock_guard lock(mutex_);
    files_[path] = std::move(file);
}

std::string ConditionalHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ConditionalHttpServer::Requests(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [p, head] : requests_)
        if (path.empty() || p == path) out.push_back(head);
    return out;
}

void ConditionalHttpServer::Run() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::string head;
        char chunk[4096];
        while (head.find("\r\n\r\n") == std::string::npos && !stop_) {
            pollfd c{fd, POLLIN, 0};
            if (::poll(&c, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            head.append(chunk, static_cast<size_t>(n));
        }
        if (head.find("\r\n\r\n") != std::string::npos) SendAll(fd, Answer(head.substr(0, head.find("\r\n\r\n") + 2)));
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

std::string ConditionalHttpServer::Answer(const std::string& head) {
    std::istringstream first(head);
    std::string method, target;
    first >> method >> target;
    const std::string path = target.substr(0, target.find('?'));
    File file;
    bool found;
    {
        std::lock_guard lock(mutex_);
        requests_.emplace_back(path, head);
        auto it = files_.find(path);
        found = it != files_.end();
        if (found) file = it->second;
    }
    if (!found) return "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nNot Found";
    std::string validators;
    if (!file.etag.empty()) validators += "ETag: " + file.etag + "\r\n";
    if (!file.lastModified.empty()) validators += "Last-Modified: " + file.lastModified + "\r\n";
    if (file.status == 200) {
        const std::string noneMatch = HeaderValue(head, "if-none-match");
        const std::string since = HeaderValue(head, "if-modified-since");
        // If-None-Match decides when sent; If-Modified-Since only without it.
        const bool same = !noneMatch.empty()
                              ? noneMatch == file.etag
                              : !since.empty() && !file.lastModified.empty() && since == file.lastModified;
        if (same) return "HTTP/1.1 304 Not Modified\r\n" + validators + "Connection: close\r\n\r\n";
    }
    std::string out = "HTTP/1.1 " + std::to_string(file.status) + (file.status == 200 ? " OK" : " Error") + "\r\n";
    out += validators + file.extraHeaders;
    out += "Content-Length: " + std::to_string(file.body.size()) + "\r\nConnection: close\r\n\r\n";
    if (method != "HEAD") out += file.body;
    return out;
}

}  // namespace castora::test
