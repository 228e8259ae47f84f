#pragma once
// A loopback internet radio for tests: every listener gets an endless WAV stream (no length anywhere)
// with an icy-name header, a burst first and then paced in real time. Drop() cuts every listener and
// takes the station off the air, for a while or for good: meanwhile it answers 404, as a streaming
// server does for a mount whose source is gone.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace castora::test {

class LiveRadio {
public:
    explicit LiveRadio(std::string stationName);
    ~LiveRadio();
    LiveRadio(const LiveRadio&) = delete;
    LiveRadio& operator=(const LiveRadio&) = delete;

    // "http://127.0.0.1:<port>/live"
    std::string Url() const;
    // Closes every stream; back on the air after `outage`, or never when it is negative.
    void Drop(std::chrono::milliseconds outage);
    // Connections accepted so far.
    int Listeners() const { return listeners_; }
    // When each request turned away while off the air came, in ms on the steady clock.
    std::vector<int64_t> Refused();

private:
    void Run();
    void Serve(int fd);
    void Stream(int fd);

    std::string name_;
    uint16_t port_ = 0;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> listeners_{0};
    std::atomic<int64_t> backAt_{0};  // steady-clock ms when the station returns; -1 never
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<int64_t> refused_;
    std::vector<std::thread> streams_;
    std::thread thread_;
};

}  // namespace castora::test
