#include "support/StaticHttpServer.h"

#include "support/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace castora::test {

StaticHttpServer::StaticHttpServer(bool supportRanges) : ranges_(supportRanges) {
    listen_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

StaticHttpServer::~StaticHttpServer() {
    stop_ = true;
    thread_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& worker : workers_) worker.join();
    ::close(listen_);
}

void StaticHttpServer::Add(const std::string& path, std::string body, std::string contentType) {
    std::lock_guard lock(mutex_);
    files_[path] = File{std::move(body), std::move(contentType)};
}

std::string StaticHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void StaticHttpServer::Run() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        clients_.push_back(fd);
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

namespace {
std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
}  // namespace

void StaticHttpServer::Serve(int fd) {
    ServeRequests(fd);
    std::lock_guard lock(mutex_);
    std::erase(clients_, fd);
    ::close(fd);
}

void StaticHttpServer::ServeRequests(int fd) {
    std::string buffer;
    char chunk[4096];
    // Keep-alive: answer requests on this connection until the client closes it.
    while (!stop_) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 50);
            if (stop_) return;
            if (ready <= 0) continue;
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        const std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        const std::string answer = Answer(head);
        ++requests_;
        if (!SendAll(fd, answer)) return;
    }
}

std::string StaticHttpServer::Answer(const std::string& head) {
    std::istringstream lines(head);
    std::string method, target;
    lines >> method >> target;
    const std::string path = target.substr(0, target.find('?'));

    std::string range;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Lower(line.substr(0, 6)) == "range:") range = line.substr(6);
    }

    File file;
    bool found;
    {
        std::lock_guard lock(mutex_);
        auto it = files_.find(path);
        found = it != files_.end();
        if (found) file = it->second;
    }
    if (!found) {
        const std::string body = "Not Found";
        return "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }

    const size_t size = file.body.size();
    size_t first = 0, last = size ? size - 1 : 0;
    bool partial = false;
    if (ranges_ && !range.empty()) {
        const size_t eq = range.find("bytes=");
        if (eq != std::string::npos) {
            const std::string spec = range.substr(eq + 6);
            const size_t dash = spec.find('-');
            first = std::stoull(spec.substr(0, dash));
            if (dash + 1 < spec.size() && std::isdigit(static_cast<unsigned char>(spec[dash + 1])))
                last = std::min<size_t>(std::stoull(spec.substr(dash + 1)), size - 1);
            if (first >= size) {
                return "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
                       "\r\nContent-Length: 0\r\n\r\n";
            }
            partial = true;
        }
    }
    std::string out = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    out += "Content-Type: " + file.type + "\r\n";
    if (ranges_) out += "Accept-Ranges: bytes\r\n";
    if (partial)
        out += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
               std::to_string(size) + "\r\n";
    const size_t length = size ? last - first + 1 : 0;
    out += "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    if (method != "HEAD") out.append(file.body, first, length);
    return out;
}

}  // namespace castora::test
