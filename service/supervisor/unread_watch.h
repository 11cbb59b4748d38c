// unread_watch.h - who is cut off when the replies that peers leave unread pass
// --max-unread: how a peer's reading is judged from samples of what it has taken, and
// which peers, holding more than their share without reading, are cut off first. It
// touches no socket, so its rules are tested with tables.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "peers.h"

namespace qel {

using WatchClock = std::chrono::steady_clock;

// How often the peers holding unread replies are sampled.
inline constexpr auto kWatchInterval = std::chrono::milliseconds(100);
// A peer reads while it takes this much of what it holds (or all of it, when it holds
// less) within the grace; one that does not is stalled.
inline constexpr std::uint64_t kReadStep = std::uint64_t{1} << 20;
// How long a peer may stall before it is cut off, past the bound, and past the ceiling.
inline constexpr auto kReadGrace = std::chrono::seconds(1);
inline constexpr auto kCeilingGrace = std::chrono::milliseconds(200);
// How long requests wait to start once the total passes the ceiling: enough for the
// watch to cut off the peers stalled past it, a sample's interval either side.
inline constexpr auto kUnreadHold = kCeilingGrace + 2 * kWatchInterval;

enum class CutCause { Unread, Ceiling };
inline constexpr std::size_t kCutCauses = 2;
inline const char* cutCauseName(CutCause cause) {
    return cause == CutCause::Unread ? "unread" : "unread_ceiling";
}

struct UnreadBounds {
    std::size_t bound = SIZE_MAX;   // --max-unread; SIZE_MAX for none
    std::size_t ceiling = SIZE_MAX; // the bound and one reply per worker
};

// A sample: the peer holds `unread` bytes and has taken `taken` in all (a count that only
// grows). Starts, moves or ends its stall.
void noteReading(Reading& reading, std::size_t unread, std::uint64_t taken,
                 WatchClock::time_point now);

struct Cut {
    std::size_t holder; // its place in `holders`
    CutCause cause;
};

// The peers to cut off now, in order, out of `holders` (every peer holding unread
// bytes, those already cut among them). Only a peer holding more than its share (the
// bound over the holders not cut) and with a connection to end is ever chosen. While the
// bytes not already being dropped pass the bound, the peers stalled for the grace go,
// most bytes first; while they pass the ceiling, the peers stalled for the ceiling's
// grace go too, the longest stalled first.
std::vector<Cut> chooseCuts(const std::vector<Peer*>& holders, const UnreadBounds& bounds,
                            WatchClock::time_point now);

} // namespace qel
