// replies.h - every text the request core and the worker process answer with on their
// own, and nowhere else: kErrorPrefix and one of the messages below, or kReplaced after
// a reply. The supervisor's own are in supervisor/supervisor_replies.h, which builds on
// these; docs/service.md lists both ("Replies the service makes itself"), and a test
// holds it to them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <limits>
#include <string_view>

namespace qel::reply {

// What every reply the service makes up begins with; a script's error reply too.
inline constexpr char kErrorPrefix[] = "error: ";

// Lua's own memory error message (the allocator's), which the reply's growth raises too.
inline constexpr char kNoMemory[] = "not enough memory";
// The run's budget: raised in the VM, so they end the request however the script catches.
inline constexpr char kTimeLimit[] = "time limit exceeded";
inline constexpr char kInstructionLimit[] = "instruction limit exceeded";
inline constexpr char kBinaryChunk[] = "binary chunks are not accepted";
inline constexpr char kNoState[] = "cannot create a Lua state: not enough memory";
// In-process only: a worker process has no timer of its own, the supervisor keeps time.
inline constexpr char kNoTimer[] = "cannot arm the time limit";
// The message handler turns every error into text, so only a fault of ours gets this.
inline constexpr char kNoMessage[] = "unknown error";
// The worker could not map the request the supervisor posted.
inline constexpr char kRequestUnreadable[] = "the request could not be read";
// The request's size, then --max-request; see TooLarge.
inline constexpr char kTooLarge[] = "request too large: %zu bytes, limit %zu";

// Every message above, each answered as kErrorPrefix and it.
inline constexpr const char* kMessages[] = {kNoMemory,          kTimeLimit, kInstructionLimit,
                                            kBinaryChunk,       kNoState,   kNoTimer,
                                            kRequestUnreadable, kNoMessage, kTooLarge};

// Follows the reply of a request after which its worker's globals are gone: the
// supervisor replaced the worker, or the worker rebuilt a state past --max-state.
inline constexpr char kReplaced[] =
    "; its worker was replaced, so the globals of earlier requests are gone";

// kTooLarge for one request, made without allocating.
class TooLarge {
  public:
    TooLarge(std::size_t size, std::size_t limit) noexcept {
        std::snprintf(text_, sizeof text_, kTooLarge, size, limit);
    }
    const char* message() const { return text_; }

  private:
    // Room for both sizes at their widest.
    char text_[sizeof kTooLarge + 2 * (std::numeric_limits<std::size_t>::digits10 + 1)];
};

// A text joined at compile time, for the replies that must be whole constants.
template <std::size_t N> struct Joined {
    char chars[N];
    constexpr std::string_view view() const { return {chars, N - 1}; }
};
template <std::size_t A, std::size_t B>
constexpr Joined<A + B - 1> join(const char (&first)[A], const char (&second)[B]) {
    Joined<A + B - 1> joined{};
    for (std::size_t i = 0; i + 1 < A; ++i)
        joined.chars[i] = first[i];
    for (std::size_t i = 0; i < B; ++i)
        joined.chars[A - 1 + i] = second[i];
    return joined;
}

// Whole replies: the one that must fit when nothing else does, and the two the
// supervisor answers with as well.
inline constexpr auto kNoMemoryReply = join(kErrorPrefix, kNoMemory);
inline constexpr auto kTimeLimitReply = join(kErrorPrefix, kTimeLimit);

} // namespace qel::reply
