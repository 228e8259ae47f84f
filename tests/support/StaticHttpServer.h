#pragma once
// A tiny HTTP/1.1 file server on 127.0.0.1 for tests: serves given bytes for given paths and 404 for
// everything else, optionally honouring single Range requests. Runs on its own thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace castora::test {

class StaticHttpServer {
public:
    // Listens on a free port (bound as port 0 and read back).
    explicit StaticHttpServer(bool supportRanges = true);
    ~StaticHttpServer();
    StaticHttpServer(const StaticHttpServer&) = delete;
    StaticHttpServer& operator=(const StaticHttpServer&) = delete;

    // Serves `body` for GET `path` (query ignored) with the given Content-Type.
    void Add(const std::string& path, std::string body, std::string contentType = "application/octet-stream");

    uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port>" + path
    std::string Url(const std::string& path) const;
    // Requests answered so far (any status).
    int Requests() const { return requests_; }

private:
    struct File {
        std::string body;
        std::string type;
    };
    void Run();
    void Serve(int fd);
    void ServeRequests(int fd);
    std::string Answer(const std::string& head);

    bool ranges_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    std::map<std::string, File> files_;
    std::vector<int> clients_;
    std::vector<std::thread> workers_;
    std::thread thread_;
};

}  // namespace castora::test
