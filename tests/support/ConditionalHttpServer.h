#pragma once
// A loopback HTTP/1.1 server for downloads that ask whether a copy changed: each path has a body and
// the validators it is known by (ETag, Last-Modified), answered 304 when a request names them. Every
// request head is kept. One connection at a time, each closed after its answer.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace castora::test {

class ConditionalHttpServer {
public:
    struct File {
        File(std::string body = {}, std::string etag = {}, std::string lastModified = {}, std::string extraHeaders = {},
             int status = 200)
            : body(std::move(body)), etag(std::move(etag)), lastModified(std::move(lastModified)),
              extraHeaders(std::move(extraHeaders)), status(status) {}
        std::string body;
        std::string etag;          // sent as it stands (quotes included); empty sends none
        std::string lastModified;  // an HTTP date; empty sends none
        std::string extraHeaders;  // whole lines, each ending in CRLF
        int status = 200;          // another status answers with it and the body
    };

    ConditionalHttpServer();
    ~ConditionalHttpServer();
    ConditionalHttpServer(const ConditionalHttpServer&) = delete;
    ConditionalHttpServer& operator=(const ConditionalHttpServer&) = delete;

    void Put(const std::string& path, File file);
    std::string Url(const std::string& path) const;
    // Request heads received so far, for `path` only when given.
    std::vector<std::string> Requests(const std::string& path = {}) const;

private:
    void Run();
    std::string Answer(const std::string& head);

    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<std::string, File> files_;
    std::vector<std::pair<std::string, std::string>> requests_;  // path, head
    std::thread thread_;
};

}  // namespace castora::test
