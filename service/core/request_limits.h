// request_limits.h - the guards that keep one Lua request from harming the service: the limit
// values, the per-state allocator with its byte budget, and the per-request budget of
// instructions and wall-clock time that the count hook charges.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qel {

// Every limit of 0 means "no limit".
struct Limits {
    std::uint64_t maxInstructions = 1000000000;     // VM instructions per request
    double maxSeconds = 30;                         // wall-clock seconds per request
    std::size_t maxMemory = std::size_t{256} << 20; // bytes per Lua state
    std::size_t maxRequest = std::size_t{64} << 20; // bytes per request message
    bool fresh = false;                             // a new Lua state for every request
    bool trusted = false;                           // all standard libraries instead of the sandbox
};

// Byte budget of one Lua state. The Lua heap is counted through the allocator; the
// captured output, which lives outside the heap, is counted as "extra" bytes so that
// printing in a loop is bounded by the same limit.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t limit) : limit_(limit) {}

    // lua_Alloc: refuses growth beyond the budget; never fails a shrink, as Lua expects.
    static void* allocate(void* ud, void* ptr, std::size_t osize, std::size_t nsize) noexcept;

    // Accounts for n more bytes outside the heap; false when that would cross the limit.
    bool reserveExtra(std::size_t n) {
        if (limit_ != 0 && (n > limit_ || used_ + extra_ > limit_ - n)) return false;
        extra_ += n;
        return true;
    }
    void resetExtra() { extra_ = 0; }

    std::size_t used() const { return used_; }
    std::size_t limit() const { return limit_; }

  private:
    std::size_t limit_;
    std::size_t used_ = 0;
    std::size_t extra_ = 0;
};

// Instruction and time budget of one request, charged from a count hook every
// kHookPeriod instructions and by the pattern matcher, whose steps count as
// instructions. Once crossed it stays crossed until the next request, so a script
// cannot catch the error with pcall and carry on.
class RunBudget {
  public:
    static constexpr int kHookPeriod = 1000;

    explicit RunBudget(const Limits& limits);

    bool needsHook() const { return maxInstructions_ != 0 || hasDeadline_; }
    // Instructions between two hook calls: finer than the default for tiny limits.
    int hookPeriod() const { return period_; }
    void start();
    // Charges instructions run (or pattern-matching steps, counted alike); returns the
    // error message once a limit is crossed.
    const char* charge(std::uint64_t instructions) noexcept;
    bool tripped() const { return tripped_ != nullptr; }

  private:
    std::uint64_t maxInstructions_;
    int period_;
    std::chrono::steady_clock::duration maxDuration_{};
    bool hasDeadline_;
    std::uint64_t executed_ = 0;
    std::chrono::steady_clock::time_point deadline_{};
    const char* tripped_ = nullptr;
};

} // namespace qel
