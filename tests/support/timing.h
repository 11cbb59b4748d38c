// timing.h - the clock and the statistics that the benchmarks and the load and service
// tests share, so that a median or a percentile means the same thing in all of them.
#pragma once

#include <chrono>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;

inline double usSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the optimiser from dropping work whose result is otherwise unused (a malloc,
// memcpy, free sequence is dead code to the compiler).
inline void keep(const void* p) {
    asm volatile("" : : "r"(p) : "memory");
}

// The value at rank fraction * (n - 1), rounded down, of the values in order: 0 gives
// the smallest, 1 the largest. 0 for no values.
double percentile(std::vector<double> values, double fraction);

inline double median(std::vector<double> values) {
    return percentile(std::move(values), 0.5);
}
