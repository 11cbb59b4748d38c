// spin.h - a short, adaptive spin before a thread parks on the channel. A hand-off that
// lands within a few microseconds then costs neither side a sleep and a wake-up; where it
// cannot help (one usable CPU, or the other side is slow) the spin shrinks to nothing.
#pragma once

#include <chrono>
#include <cstdint>

namespace qel {

// How many CPUs this process may run on (its affinity mask), at least 1.
int usableCpus() noexcept;

class SpinBudget {
  public:
    // The longest spin: about what a park and the wake-up after it cost in CPU time, so
    // a spin that fails costs at most what it tried to save.
    static constexpr std::chrono::nanoseconds kLongest{20000};

    // Spins only when enabled, which callers decide by usableCpus() >= 2: on one CPU
    // the side being waited for cannot run while this one spins.
    explicit SpinBudget(bool enabled) noexcept
        : limit_(enabled ? kLongest.count() : 0), enabled_(enabled) {}

    // Spins until ready() or the budget is spent; true when ready() came true. A spin
    // that succeeds sets the budget to twice what it took (at most kLongest); one that
    // fails halves it, down to none, after which one spin in kRetryAfter tries again.
    template <typename Ready> bool spin(Ready&& ready) noexcept {
        if (!begin()) return false;
        const std::int64_t start = now();
        for (std::uint32_t i = 1;; ++i) {
            if (ready()) {
                succeeded(now() - start);
                return true;
            }
            relax();
            // The clock is read now and then: a read costs more than a pause.
            if (i % kClockEvery == 0 && now() - start >= limit_) {
                failed();
                return false;
            }
        }
    }

    std::int64_t limit() const { return limit_; } // ns; for tests

  private:
    static constexpr std::uint32_t kClockEvery = 16;
    static constexpr std::int64_t kShortest = 500; // ns: below, a spin is not worth it
    static constexpr std::uint32_t kRetryAfter = 64;

    static std::int64_t now() noexcept;
    static void relax() noexcept;
    bool begin() noexcept;
    void succeeded(std::int64_t took) noexcept;
    void failed() noexcept;

    std::int64_t limit_;
    bool enabled_;
    std::uint32_t skipped_ = 0;
};

} // namespace qel
