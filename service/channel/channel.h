// channel.h - how the supervisor hands one request to a worker process and takes its
// reply back: a control block, a request area and two reply areas (reply_areas.h) in
// shared memory (memfds that can grow but never shrink), a second request area for a
// request posted ahead behind the running one, a futex that wakes the worker
// and an eventfd that wakes the supervisor. Nothing the worker writes can make the
// supervisor read out of bounds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qel {

// File descriptors a worker process finds its channel on.
inline constexpr int kControlFd = 3;
inline constexpr int kRequestFd = 4;
inline constexpr int kReplyFds[2] = {5, 6};
inline constexpr int kDoorbellFd = 7;
// The second request area, which a request posted ahead is placed in (8 is kPreloadFd).
inline constexpr int kAheadRequestFd = 9;
// The worker's large-block arena (core/arena.h), which it maps before its jail closes it.
inline constexpr int kArenaFd = 10;
// Descriptors that the supervisor hands to workers are kept at or above this, so that
// moving them into place above can never overwrite one another.
inline constexpr int kFirstHighFd = 11;

// Moves fd (close-on-exec) to kFirstHighFd or above; returns the new one, or -1.
int highDescriptor(int fd);

// The shared control block. `state` is the futex word the worker waits on. After a
// reply the worker rings the supervisor's eventfd (the doorbell), but only when the
// supervisor has said it is going to sleep: most replies are seen before that. The
// supervisor also asks an idle worker for its full collection (kCollect, answered with a
// reply of no bytes), so that finalizers it runs are timed like any request.
//
// Under load the supervisor may post one more request ahead, behind the running one, in
// the other request area and for the other reply area: it fills in the `ahead` fields and
// stores kPosted in `next`. The worker, done with its run, claims it (kPosted -> kTaken),
// copies the `ahead` fields into its run's, stores kEmpty, and starts it at once instead
// of sleeping; `state` stays kRequest. Until the claim the supervisor can take it back
// (kPosted -> kEmpty). Anything but kPosted, while it has one posted, tells it of a claim;
// it posts the next only on kEmpty, once the worker has copied the last. Replies are kept
// per reply area, so the one before a claimed request stays readable while the next is
// built.
struct Control {
    enum : std::uint32_t { kIdle = 0, kRequest = 1, kReply = 2, kCollect = 3 };
    enum : std::uint32_t { kEmpty = 0, kPosted = 1, kTaken = 2 };
    std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> next;     // the request posted ahead: kEmpty, kPosted, kTaken
    std::atomic<std::uint32_t> ready;    // set once by the worker when it can serve
    std::atomic<std::uint32_t> sleeping; // the supervisor waits for the doorbell
    std::uint32_t sequence;              // the run's number, which its deadline names
    std::uint32_t requestArea;           // which of the two request areas it is in
    std::uint32_t replyArea;             // which of the two reply areas to build it in
    std::uint64_t requestSize;
    // The same for the request posted ahead, copied to the fields above when claimed.
    std::uint32_t aheadSequence;
    std::uint32_t aheadRequestArea;
    std::uint32_t aheadReplyArea;
    std::uint64_t aheadSize;
    // When the worker last tried to claim one, in nanoseconds of steady_clock: stored
    // before each try, so as the supervisor reads it on seeing a claim, it is when that
    // request started, or later (a further try, once that request is done).
    std::atomic<std::int64_t> takenAt;
    // Per reply area: its reply's size, and whether it is not an error reply.
    std::uint64_t replySize[2];
    std::uint32_t replyOk[2];
    // Per reply area too: set by the worker when that reply is replySize bytes at
    // replyOffset in its arena, not in the reply area.
    std::uint32_t replyInArena[2];
    std::uint64_t replyOffset[2];
    // Set by the supervisor with each job it posts (not with one posted ahead): ZeroMQ
    // still sends the last reply from the arena, so the worker keeps its bytes as they are.
    std::uint32_t arenaHeld;
    // The Lua heap as the worker left it after its last request or collection, which
    // --metrics shows; only ever a figure the worker reports about itself.
    std::atomic<std::uint64_t> heapBytes;
    // Why the worker could not start, zero-terminated, left before it exits: the
    // supervisor says it when the worker was one of a reload's.
    char failure[256];
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free &&
                  sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the futex words must be plain 32-bit words");

// A memfd mapped into this process. It only ever grows, and is sealed against shrinking,
// so a mapping that fits within the size once seen can never fault; pages are given
// back by punching holes instead.
class SharedArea {
  public:
    SharedArea() = default;
    // Adopts fd (and closes it when done), mapping at least its current size.
    explicit SharedArea(int fd, bool writable);
    ~SharedArea();
    SharedArea(SharedArea&& other) noexcept;
    SharedArea& operator=(SharedArea&& other) noexcept;
    SharedArea(const SharedArea&) = delete;
    SharedArea& operator=(const SharedArea&) = delete;

    // A new sealed memfd of `size` bytes; throws std::system_error.
    static SharedArea create(const char* name, std::size_t size);
    // A new memfd of `size` bytes sealed against any change of size, mapped read-only
    // whole: nothing the other side does can make a read of it fault. Throws
    // std::system_error.
    static SharedArea createFixed(const char* name, std::size_t size);

    // Makes the first n bytes writable and mapped, growing the file if needed; false
    // when the system refuses.
    bool reserve(std::size_t n) noexcept;
    // Makes the first n bytes readable, if the file (grown by the other side) has
    // them; false when it is shorter.
    bool cover(std::size_t n) noexcept;
    // Gives back the pages from offset on; they read as zeros afterwards. False, said
    // on standard error, when the system refuses: the pages then stay.
    bool release(std::size_t offset) noexcept;

    char* data() const { return data_; }
    std::size_t mapped() const { return mapped_; }
    int fd() const { return fd_; }

  private:
    bool map(std::size_t n) noexcept;

    int fd_ = -1;
    bool writable_ = false;
    char* data_ = nullptr;
    std::size_t mapped_ = 0;
};

// Takes the rings waiting on the doorbell (a non-blocking eventfd), so that its
// descriptor polls empty again until the next one.
void takeRings(int doorbell) noexcept;

// Futex operations on a word in shared memory.
void futexWake(std::atomic<std::uint32_t>& word) noexcept;
// Waits while word holds value, at most `limit`; returns early on a wake or a signal.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t value,
               std::chrono::nanoseconds limit) noexcept;

} // namespace qel
