#pragma once
#include <chrono>

// How long a test waits for something that is to happen: long enough for a cold, busy machine. A wait
// measures nothing; how fast things happen is for the benchmarks.
inline constexpr int kPatienceMs = 30000;
inline constexpr std::chrono::milliseconds kPatience{kPatienceMs};
