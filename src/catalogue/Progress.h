#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace castora {

// RGB colour of a progress gauge.
struct Rgb {
    uint8_t r, g, b;
    friend bool operator==(Rgb, Rgb) = default;
};
inline constexpr Rgb Red{255, 0, 0};
inline constexpr Rgb Green{0, 128, 0};
inline constexpr Rgb Blue{0, 0, 255};

// What the long catalogue steps report to. The window implements it; tests record it.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual void ShowProgressPhase(const std::string& text, Rgb colour, int32_t maximum) = 0;
    virtual void ShowProgress(int32_t position) = 0;
};

// Reports every few milliseconds of work rather than per item: the progress moves on long passes
// without their paying for a report per item.
class Pacer {
public:
    explicit Pacer(ProgressSink* sink, std::chrono::milliseconds interval = std::chrono::milliseconds(15))
        : sink_(sink), interval_(interval), last_(Clock::now()) {}

    // Cheap enough for every item: the clock is read once per 1024 calls.
    void Tick(int32_t position) {
        if (!sink_ || (++calls_ & 1023u) != 0) return;
        const auto now = Clock::now();
        if (now - last_ < interval_) return;
        Flush(position);
    }
    void Flush(int32_t position) {
        if (!sink_) return;
        sink_->ShowProgress(position);
        last_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    ProgressSink* sink_;
    std::chrono::milliseconds interval_;
    Clock::time_point last_;
    uint32_t calls_ = 0;
};

}  // namespace castora
