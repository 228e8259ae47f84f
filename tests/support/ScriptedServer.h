#pragma once
// A loopback TCP server that plays a fixed script of raw bytes to every connection and
// records what each client sent. For byte-exact protocol tests.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Patience.h"

namespace castora::test {

class ScriptedServer {
public:
    // Listens on 127.0.0.1 on a free port. The script is played from Start() on.
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Script steps, run in order for each accepted connection once the request head (up to
    // the first empty line) has been read. Without a final Close() or Reset() the connection
    // is closed normally after the last step.
    ScriptedServer& Send(std::string bytes);
    ScriptedServer& Pause(std::chrono::milliseconds time);
    ScriptedServer& Close();  // normal close (FIN)
    ScriptedServer& Reset();  // abortive close (RST, SO_LINGER 0)
    // Answer without waiting for the request head.
    ScriptedServer& DontWaitForRequest();

    void Start();

    uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port>" + target
    std::string Url(const std::string& target) const;
    std::string HostPort() const;

    // The raw bytes of the n-th connection's request, waiting up to `wait` for it to end
    // its head. Empty when no such connection came.
    std::string Request(size_t n = 0, std::chrono::milliseconds wait = kPatience);
    size_t Connections();
    // Waits until every accepted connection has played its script (pauses included).
    bool WaitIdle(std::chrono::milliseconds wait = kPatience);

    // A port on 127.0.0.1 with nobody listening (bound and released again).
    static uint16_t UnusedPort();

private:
    struct Step {
        enum Kind { Send, Pause, Close, Reset } kind;
        std::string bytes;
        std::chrono::milliseconds time{0};
    };

    void Run();
    void Serve(int fd, size_t index);
    bool SleepFor(std::chrono::milliseconds time);  // false when stopping

    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool waitForRequest_ = true;
    std::vector<Step> script_;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::string> requests_;
    std::vector<bool> headComplete_;
    size_t busy_ = 0;
};

}  // namespace castora::test
