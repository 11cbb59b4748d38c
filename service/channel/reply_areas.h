// reply_areas.h - a worker's two reply areas, as both sides see them. Each is a memfd
// (a SharedArea) made by the supervisor when it starts the worker, 64 KiB at first
// (kAreaKeep in supervisor/worker_pool.cpp), and never handed to another worker. The
// worker grows the one it builds in as its reply needs, up to --max-memory plus 1 MiB
// (the jail's RLIMIT_FSIZE, from jailFor in worker/worker_process.cpp; none with
// --max-memory 0 or --trusted). Who holds which:
//   - the worker builds its reply in the current area, which the supervisor names for
//     each request (Control::replyArea) and which is never one that ZeroMQ holds;
//   - a request posted ahead (channel.h) builds in the other area, chosen only when
//     ZeroMQ does not hold it; it becomes the current one once the reply before is sent;
//   - ZeroMQ holds an area while it sends a reply straight from it, until its I/O thread
//     lets go of the message; meanwhile the worker builds in the other;
//   - the supervisor gives pages back (punching holes) of an area ZeroMQ does not hold:
//     the spare beyond ReplyBuffer::kKeep at each request, both beyond kAreaKeep once idle.
// Beside them, a worker may have a large-block arena (core/arena.h) of a fixed size,
// which the supervisor maps read-only: a reply that is one large Lua string is sent from
// there in place, and the worker keeps those bytes until told ZeroMQ let go of them
// (Control::arenaHeld). Its pages are the worker's to give back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "channel.h"
#include "reply_buffer.h"

namespace qel {

// The supervisor's view of one reply area. `held` is set by the loop when ZeroMQ takes a
// reply from it in place, and cleared on ZeroMQ's thread when ZeroMQ lets go.
struct ReplyArea {
    SharedArea area;
    std::atomic<bool> held{false};
};

// The supervisor's view of a worker's two reply areas. Rule: the area a worker builds its
// reply in is never one that ZeroMQ holds, so at most one of the two is held at any time.
class ReplyAreas {
  public:
    // Both areas, `size` bytes each, and an arena of arenaSize bytes (none for 0);
    // throws std::system_error.
    static ReplyAreas create(std::size_t size, std::size_t arenaSize = 0);

    int fd(int which) const { return areas_[which]->area.fd(); }
    // The arena's descriptor, -1 without one.
    int arenaFd() const { return arena_ ? arena_->area.fd() : -1; }
    // The arena, or null; shared as a reply area is.
    const std::shared_ptr<ReplyArea>& arena() const { return arena_; }
    bool arenaHeld() const { return arena_ && arena_->held.load(std::memory_order_acquire); }
    // Chooses the area for the next reply, one ZeroMQ does not hold, and gives back the
    // other's pages beyond `keep` unless ZeroMQ is sending from it. False when both are
    // held, which breaks the rule above.
    bool prepare(std::size_t keep);
    std::uint32_t current() const { return current_; }
    // For a request posted ahead behind the reply being built: the other area, when ZeroMQ
    // does not hold it, which gives back its pages beyond `keep`. Only the current one can
    // be handed to ZeroMQ before that request starts, so the rule above holds for both.
    bool prepareSpare(std::size_t keep);
    // The request posted ahead has become the worker's run, its area the current one.
    void advance() { current_ = 1 - current_; }
    // The area the worker built its last reply in (the current one). Shared, so that a
    // reply sent from it in place can keep it alive for as long as ZeroMQ reads it.
    const std::shared_ptr<ReplyArea>& built() const { return areas_[current_]; }
    // True while ZeroMQ still sends from the other area: a reply sent from the current
    // one in place would then leave the worker no area to build its next reply in.
    bool otherHeld() const { return areas_[1 - current_]->held.load(std::memory_order_acquire); }
    // Gives back the pages beyond `keep` of every area ZeroMQ does not hold; false while
    // one is still held, to be looked at again later.
    bool release(std::size_t keep);
    // Where the reply of `size` bytes that the worker says it left lies, read from what
    // this side maps only: the start of the current area, or `arenaOffset` into the arena.
    // Null when it does not lie wholly within the mapping, or when ZeroMQ still sends
    // from the arena, whose bytes the worker must then keep as they are.
    char* find(std::size_t size, const std::uint64_t* arenaOffset);

  private:
    std::shared_ptr<ReplyArea> areas_[2];
    std::shared_ptr<ReplyArea> arena_;
    std::uint32_t current_ = 0;
};

// The worker's view of its two reply areas: the place its ReplyBuffer builds replies in.
// It builds in the area the supervisor names for each request; pages are given back by
// the supervisor, which knows which area ZeroMQ still reads from.
class SharedReplyStorage : public ReplyBuffer::Storage {
  public:
    SharedReplyStorage(SharedArea& first, SharedArea& second) : areas_{&first, &second} {}
    void select(std::uint32_t area) { current_ = area != 0 ? 1 : 0; }
    char* resize(std::size_t capacity, std::size_t keep) noexcept override;
    char* rebind(std::size_t capacity) noexcept override;

  private:
    SharedArea* areas_[2];
    int current_ = 0;
};

} // namespace qel
