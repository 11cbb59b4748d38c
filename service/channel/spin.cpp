// spin.cpp - the adaptive spin's clock, pause and budget. The clock is CLOCK_MONOTONIC
// through the vDSO, which enters no system call, so it is allowed in the jail as well.
#include "spin.h"

#include <algorithm>
#include <sched.h>
#include <time.h>

namespace qel {

int usableCpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

std::int64_t SpinBudget::now() noexcept {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void SpinBudget::relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

bool SpinBudget::begin() noexcept {
    if (!enabled_) return false;
    if (limit_ > 0) return true;
    if (++skipped_ < kRetryAfter) return false;
    skipped_ = 0;
    limit_ = kShortest;
    return true;
}

void SpinBudget::succeeded(std::int64_t took) noexcept {
    limit_ = std::min<std::int64_t>(kLongest.count(), std::max({limit_, 2 * took, kShortest}));
}

void SpinBudget::failed() noexcept {
    limit_ /= 2;
    if (limit_ < kShortest) limit_ = 0;
}

} // namespace qel
