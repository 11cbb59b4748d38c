// request_limits.h - the guards that keep one Lua request from harming the service: the
// limit values, the per-state allocator with its byte budget, and the per-request budget
// of instructions and time that the count hook, the libraries and the deadline charge.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>

#include "arena.h"
#include "lua_budget.h"

namespace qel {

// The signal that ends a request's time: real-time, so it never meets a handler that a
// host or a test tool (libFuzzer uses SIGALRM) installed for the classic ones.
int deadlineSignal();

// The time a request may run under --max-seconds `seconds`: none for 0 (no limit), and
// none from kNoTimeLimitFrom up, some 31 years, where the deadline arithmetic (now plus
// the limit, in nanoseconds) would come near overflowing. At least one tick otherwise.
inline constexpr double kNoTimeLimitFrom = 1e9;
std::optional<std::chrono::steady_clock::duration> timeLimit(double seconds);

// Every limit of 0 means "no limit".
struct Limits {
    std::uint64_t maxInstructions = 0;              // VM instructions per request
    double maxSeconds = 30;                         // wall-clock seconds per request
    std::size_t maxMemory = std::size_t{256} << 20; // bytes per Lua state and its reply
    std::size_t maxRequest = std::size_t{64} << 20; // bytes per request message
    bool fresh = false;                             // a new Lua state for every request
    bool trusted = false;                           // all standard libraries instead of the sandbox
    // Bytes the Lua state may keep between requests; without a value, half of maxMemory.
    std::optional<std::size_t> maxState;

    // What maxState comes to: 0 (no bound) with --fresh, whose states never outlive
    // their request, or when neither bound is set.
    std::size_t stateLimit() const {
        if (fresh) return 0;
        return maxState ? *maxState : maxMemory / 2;
    }
};

// Byte budget of one Lua state. The Lua heap is counted through the allocator; the
// reply buffer, which lives outside the heap, is counted as "extra" bytes so that
// printing in a loop is bounded by the same limit.
//
// stateLimit bounds what the heap may keep between requests: every request then has at
// least limit - stateLimit for itself. The worker checks it after a request; here it
// also caps the reply room kept between requests (keepable()), which is charged too.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t limit, std::size_t stateLimit = 0)
        : limit_(limit), stateLimit_(stateLimit) {}

    // lua_Alloc: refuses growth beyond the budget; never fails a shrink, as Lua expects.
    static void* allocate(void* ud, void* ptr, std::size_t osize, std::size_t nsize) noexcept;

    // Large blocks come from arena, when given (it must outlive every state).
    void setArena(Arena* arena) { arena_ = arena; }
    Arena* arena() const { return arena_; }
    // Pins the arena block of a reply sent from where Lua wrote it (see Arena::pin).
    // Once the state frees it, it is charged no more than a reply area ZeroMQ sends
    // from: the unread bound (--max-unread) counts it until ZeroMQ lets go.
    bool pinReply(const char* bytes, std::size_t n) {
        return arena_ != nullptr && arena_->pin(bytes, n);
    }
    void unpinReply() {
        if (arena_ != nullptr) arena_->unpin();
    }

    // Accounts for n more bytes outside the heap; false when that would cross the limit.
    bool reserveExtra(std::size_t n) {
        if (limit_ != 0 && (n > limit_ || used_ + extra_ > limit_ - n)) return false;
        extra_ += n;
        return true;
    }
    void releaseExtra(std::size_t n) { extra_ -= n < extra_ ? n : extra_; }

    std::size_t limit() const { return limit_; }
    // Bytes the Lua heap holds now.
    std::size_t used() const { return used_; }
    // What a state holds before it serves (the preloaded files' definitions), which
    // the state bound is counted above.
    void setBaseline(std::size_t bytes) { baseline_ = bytes; }
    // Whether the heap holds more than a state may keep between requests.
    bool overState() const { return stateLimit_ != 0 && used_ > baseline_ + stateLimit_; }
    // Bytes outside the heap that may stay charged between requests beside it.
    std::size_t keepable() const {
        if (stateLimit_ == 0) return limit_ != 0 ? limit_ : SIZE_MAX;
        const std::size_t bound = baseline_ + stateLimit_;
        return used_ < bound ? bound - used_ : 0;
    }

  private:
    std::size_t limit_;
    std::size_t stateLimit_;
    std::size_t baseline_ = 0;
    std::size_t used_ = 0;
    std::size_t extra_ = 0;
    Arena* arena_ = nullptr;
};

// Instruction and time budget of one request. Instructions are counted by a count hook
// (only when --max-instructions is set) and by the libraries' charges; time by a POSIX
// timer whose signal marks the budget expired and arms the hook on the running thread,
// so the next instruction raises the limit. Once crossed it stays crossed until the next
// request, so a script cannot catch the error with pcall and carry on.
//
// The timer signals the thread that made the budget, which must be the thread that runs
// the requests. Where another process keeps the time (the supervisor of a worker
// process), the budget has no timer: that process sends deadlineSignal() with the
// request's sequence number as the signal's value.
class RunBudget {
  public:
    // Instructions between two calls of the count hook: a few microseconds of a loop,
    // so a limit ends it at once, while the hook's own cost stays small beside them.
    static constexpr int kHookPeriod = 1000;
    enum class Deadline { Timer, Signalled };

    RunBudget(const Limits& limits, lua_Hook hook, Deadline deadline = Deadline::Timer);
    ~RunBudget();
    RunBudget(const RunBudget&) = delete;
    RunBudget& operator=(const RunBudget&) = delete;

    // Whether requests run with the count hook: for --max-instructions, or where the
    // deadline's signal cannot be relied on (see kPollClock in request_limits.cpp).
    bool needsHook() const;
    // Instructions between two hook calls: finer than the default for tiny limits.
    int hookPeriod() const { return period_; }

    // Starts request number `sequence` on L: resets the counts and arms the deadline.
    // False, said on standard error, when the deadline's timer cannot be armed: the
    // request must then not run, and nothing was started.
    bool start(lua_State* L, unsigned sequence = 0);
    // Ends it: the deadline no longer touches anything, and library charges are dropped.
    void finish();

    // Charges instructions run (or library steps, counted alike); returns the error
    // message once a limit is crossed.
    const char* charge(std::uint64_t instructions) noexcept;

  private:
    static const char* chargeThunk(void* ud, std::size_t steps) noexcept;

    std::uint64_t maxInstructions_;
    int period_;
    std::optional<std::chrono::steady_clock::duration> limit_;
    std::chrono::steady_clock::time_point deadline_{};
    timer_t timer_{};
    bool hasTimer_ = false;
    std::uint64_t executed_ = 0;
    const char* tripped_ = nullptr;
    qel_budget shared_{};
};

} // namespace qel
