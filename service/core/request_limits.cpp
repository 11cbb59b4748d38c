// request_limits.cpp - the allocator that enforces --max-memory and the instruction/time
// budget behind --max-instructions and --max-seconds.
#include "request_limits.h"

#include <cmath>
#include <cstdlib>

namespace qel {

void* MemoryBudget::allocate(void* ud, void* ptr, std::size_t osize, std::size_t nsize) noexcept {
    auto* budget = static_cast<MemoryBudget*>(ud);
    // For a new block Lua passes the object's type in osize, not a size.
    const std::size_t old = ptr != nullptr ? osize : 0;
    if (nsize == 0) {
        std::free(ptr);
        budget->used_ -= old;
        return nullptr;
    }
    if (nsize > old && budget->limit_ != 0) {
        const std::size_t growth = nsize - old;
        const std::size_t taken = budget->used_ + budget->extra_;
        if (taken > budget->limit_ || growth > budget->limit_ - taken) return nullptr;
    }
    void* block = std::realloc(ptr, nsize);
    if (block == nullptr) {
        // A failed shrink keeps the old block, which is still big enough.
        return nsize <= old ? ptr : nullptr;
    }
    budget->used_ = budget->used_ - old + nsize;
    return block;
}

RunBudget::RunBudget(const Limits& limits)
    : maxInstructions_(limits.maxInstructions),
      period_(limits.maxInstructions != 0 && limits.maxInstructions < kHookPeriod
                  ? static_cast<int>(limits.maxInstructions)
                  : kHookPeriod),
      hasDeadline_(limits.maxSeconds > 0 && std::isfinite(limits.maxSeconds)) {
    if (hasDeadline_) {
        // Clamp absurd values so that the deadline arithmetic cannot overflow.
        const double seconds = limits.maxSeconds < 1e9 ? limits.maxSeconds : 1e9;
        maxDuration_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }
}

void RunBudget::start() {
    executed_ = 0;
    tripped_ = nullptr;
    if (hasDeadline_) deadline_ = std::chrono::steady_clock::now() + maxDuration_;
}

const char* RunBudget::charge(std::uint64_t instructions) noexcept {
    if (tripped_ != nullptr) return tripped_;
    executed_ += instructions;
    if (maxInstructions_ != 0 && executed_ >= maxInstructions_) {
        tripped_ = "instruction limit exceeded";
    } else if (hasDeadline_ && std::chrono::steady_clock::now() > deadline_) {
        tripped_ = "time limit exceeded";
    }
    return tripped_;
}

} // namespace qel
