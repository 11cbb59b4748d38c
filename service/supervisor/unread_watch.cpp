// unread_watch.cpp - the cut-off rules of unread_watch.h. A peer that reads is never
// stalled long, so only peers that hold replies without taking them can be chosen; a
// fresh reply, not yet sampled, has had no chance to be read and is never chosen.
#include "unread_watch.h"

#include <algorithm>

namespace qel {

void noteReading(Reading& reading, std::size_t unread, std::uint64_t taken,
                 WatchClock::time_point now) {
    if (unread == 0) {
        reading.holding = false;
        return;
    }
    const std::uint64_t step = std::min<std::uint64_t>(kReadStep, unread);
    if (!reading.holding || taken - reading.taken >= step) {
        reading.holding = true;
        reading.stalledSince = now;
        reading.taken = taken;
    }
}

namespace {

struct Candidate {
    std::size_t holder;
    std::size_t unread;
    WatchClock::duration stalled;
    bool chosen = false;
};

// Cuts from `pool` in order while the bytes left pass the line, taking each cut peer's
// bytes off `left`.
void cutWhile(std::vector<Candidate>& pool, std::size_t& left, std::size_t line,
              WatchClock::duration grace, CutCause cause, std::vector<Cut>& cuts) {
    for (Candidate& c : pool) {
        if (left <= line) return;
        if (c.chosen || c.stalled < grace) continue;
        cuts.push_back({c.holder, cause});
        left -= std::min(left, c.unread);
        c.chosen = true;
    }
}

} // namespace

std::vector<Cut> chooseCuts(const std::vector<Peer*>& holders, const UnreadBounds& bounds,
                            WatchClock::time_point now) {
    std::size_t left = 0;
    std::size_t live = 0;
    for (const Peer* peer : holders) {
        if (peer->cut) continue;
        left += peer->unread.load(std::memory_order_relaxed);
        ++live;
    }
    std::vector<Cut> cuts;
    if (left <= bounds.bound || live == 0) return cuts;
    const std::size_t share = bounds.bound / live;
    std::vector<Candidate> pool;
    for (std::size_t i = 0; i < holders.size(); ++i) {
        const Peer& peer = *holders[i];
        const std::size_t unread = peer.unread.load(std::memory_order_relaxed);
        if (peer.cut || unread <= share || peer.connection.fd < 0 || !peer.reading.holding)
            continue;
        pool.push_back({i, unread, now - peer.reading.stalledSince});
    }
    std::stable_sort(pool.begin(), pool.end(), [](const Candidate& a, const Candidate& b) {
        return a.unread != b.unread ? a.unread > b.unread : a.stalled > b.stalled;
    });
    cutWhile(pool, left, bounds.bound, kReadGrace, CutCause::Unread, cuts);
    std::stable_sort(pool.begin(), pool.end(),
                     [](const Candidate& a, const Candidate& b) { return a.stalled > b.stalled; });
    cutWhile(pool, left, bounds.ceiling, kCeilingGrace, CutCause::Ceiling, cuts);
    return cuts;
}

} // namespace qel
