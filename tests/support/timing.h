// timing.h - the clock and the statistics that the benchmarks and the load and service
// tests share, so that a median or a percentile means the same thing in all of them,
// and the one bounded wait for a condition that the tests use instead of sleeping.
#pragma once

#include <chrono>
#include <functional>
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

// Looks at `done` every `every` until it holds or `limit` has passed, and says whether it
// held. For conditions that only polling can see (a log line in a file, what /proc says
// about a process); the limit is the bound of a test, not a guess at how long the
// condition takes. A `done` that acts before it looks (sends a request again, signals a
// thread) does so once a turn, so `every` paces it; a value it finds it leaves in a
// variable it captures.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds every = std::chrono::milliseconds(5));
