#pragma once
#include <chrono>
#include <functional>

namespace qzbench {

// Median-free but warm: the mean of many runs after a few discarded ones, in microseconds.
inline double MeanMicros(int runs, const std::function<void()>& fn, int warmups = 5) {
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < warmups; ++i) fn();
    const auto t0 = Clock::now();
    for (int i = 0; i < runs; ++i) fn();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / runs;
}

}  // namespace qzbench
