// request_limits.cpp - the allocator that enforces --max-memory, and the instruction and
// time budget behind --max-instructions and --max-seconds with its deadline timer.
#include "request_limits.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <unistd.h>

#include "replies.h"
#include "sanitizers.h"

namespace qel {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

extern "C" void onDeadline(int) {
    qel_budget_expire();
}

extern "C" void onSignalledDeadline(int, siginfo_t* info, void*) {
    qel_budget_expire_request(static_cast<unsigned>(info->si_value.sival_int));
}

} // namespace

// ThreadSanitizer delivers a signal only at its next intercepted call, which a loop in
// the Lua VM never makes. Under it the time limit is also checked on
// the clock, by the library charges and by a count hook every kHookPeriod instructions.
constexpr bool kPollClock = kThreadSanitized;

// Not the first real-time signals: a library that takes one for itself (a timer
// library, a profiler) most often takes SIGRTMIN or the one after it.
constexpr int kDeadlineSignalOffset = 2;

int deadlineSignal() {
    return SIGRTMIN + kDeadlineSignalOffset;
}

std::optional<std::chrono::steady_clock::duration> timeLimit(double seconds) {
    if (!(seconds > 0 && seconds < kNoTimeLimitFrom)) return std::nullopt; // also NaN
    const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    return std::max(limit, std::chrono::steady_clock::duration(1));
}

bool RunBudget::needsHook() const {
    return maxInstructions_ != 0 || (kPollClock && limit_);
}

namespace {

// Moves a block between the heap and the arena: the new one is taken, the bytes copied,
// the old one freed. Returns the new block, or nullptr with the old one intact.
void* moveBlock(Arena& arena, void* ptr, std::size_t old, std::size_t nsize) {
    void* block = nsize >= Arena::kThreshold ? arena.allocate(nsize) : nullptr;
    if (block == nullptr) block = std::malloc(nsize);
    if (block == nullptr) return nullptr;
    if (ptr != nullptr) {
        std::memcpy(block, ptr, old < nsize ? old : nsize);
        if (arena.contains(ptr)) {
            arena.free(ptr);
        } else {
            std::free(ptr);
        }
    }
    return block;
}

} // namespace

void* MemoryBudget::allocate(void* ud, void* ptr, std::size_t osize, std::size_t nsize) noexcept {
    auto* budget = static_cast<MemoryBudget*>(ud);
    // For a new block Lua passes the object's type in osize, not a size.
    const std::size_t old = ptr != nullptr ? osize : 0;
    Arena* arena = budget->arena_;
    const bool inArena = arena != nullptr && ptr != nullptr && arena->contains(ptr);
    if (nsize == 0) {
        if (inArena) {
            arena->free(ptr);
        } else {
            std::free(ptr);
        }
        budget->used_ -= old;
        return nullptr;
    }
    if (nsize > old && budget->limit_ != 0) {
        const std::size_t growth = nsize - old;
        const std::size_t taken = budget->used_ + budget->extra_;
        if (taken > budget->limit_ || growth > budget->limit_ - taken) return nullptr;
    }
    void* block = nullptr;
    if (inArena && nsize >= Arena::kThreshold && arena->fitsInPlace(ptr, nsize)) {
        block = ptr; // its pages already hold it, and no more
    } else if (arena != nullptr && (inArena || nsize >= Arena::kThreshold)) {
        block = moveBlock(*arena, ptr, old, nsize);
    } else {
        block = std::realloc(ptr, nsize);
    }
    if (block == nullptr) {
        // A failed shrink keeps the old block, which is still big enough.
        return nsize <= old ? ptr : nullptr;
    }
    budget->used_ = budget->used_ - old + nsize;
    return block;
}

RunBudget::RunBudget(const Limits& limits, lua_Hook hook, Deadline deadline)
    : maxInstructions_(limits.maxInstructions),
      period_(limits.maxInstructions != 0 && limits.maxInstructions < kHookPeriod
                  ? static_cast<int>(limits.maxInstructions)
                  : kHookPeriod),
      limit_(timeLimit(limits.maxSeconds)) {
    shared_.charge = &RunBudget::chargeThunk;
    shared_.ud = this;
    shared_.hook = hook;
    if (!limit_) return;

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (deadline == Deadline::Signalled) {
        action.sa_sigaction = onSignalledDeadline;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
    } else {
        action.sa_handler = onDeadline;
        action.sa_flags = SA_RESTART;
    }
    if (sigaction(deadlineSignal(), &action, nullptr) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigaction");
    }
    if (deadline == Deadline::Signalled) return;

    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = deadlineSignal();
    event._sigev_un._tid = gettid(); // glibc 2.36 has no name for it yet
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
        throw std::system_error(errno, std::generic_category(), "timer_create");
    }
    hasTimer_ = true;
}

RunBudget::~RunBudget() {
    if (hasTimer_) timer_delete(timer_);
}

bool RunBudget::start(lua_State* L, unsigned sequence) {
    // The timer is re-armed before the budget becomes active, so a signal left over
    // from an earlier request lands while nothing is active and changes nothing.
    if (hasTimer_) {
        const auto nanoseconds = std::chrono::nanoseconds(*limit_).count();
        itimerspec due{};
        due.it_value.tv_sec = static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
        due.it_value.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
        if (timer_settime(timer_, 0, &due, nullptr) != 0) {
            std::fprintf(stderr, "qel-lua-service: cannot arm the time limit: %s\n",
                         std::strerror(errno));
            return false;
        }
    }
    shared_.sequence = sequence;
    if (kPollClock && limit_) deadline_ = std::chrono::steady_clock::now() + *limit_;
    executed_ = 0;
    tripped_ = nullptr;
    qel_budget_begin(&shared_, L);
    return true;
}

void RunBudget::finish() {
    qel_budget_end();
}

const char* RunBudget::charge(std::uint64_t instructions) noexcept {
    if (tripped_ != nullptr) return tripped_;
    executed_ += instructions;
    if (maxInstructions_ != 0 && executed_ >= maxInstructions_) {
        tripped_ = reply::kInstructionLimit;
    } else if (shared_.expired ||
               (kPollClock && limit_ && std::chrono::steady_clock::now() > deadline_)) {
        tripped_ = reply::kTimeLimit;
    }
    return tripped_;
}

const char* RunBudget::chargeThunk(void* ud, std::size_t steps) noexcept {
    return static_cast<RunBudget*>(ud)->charge(steps);
}

} // namespace qel
