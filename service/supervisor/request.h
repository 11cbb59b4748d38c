// request.h - one request from the moment the supervisor reads it off the socket until
// it is answered: its envelope, the peer it counts against, its size, when it was read
// and its deadlines (the number its deadline signal names is its worker's). Whoever holds the
// Request holds the request; dropping it unanswered loses it, which is why every path ends in the
// reply sender.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "envelope.h"
#include "peers.h"

namespace qel {

using Clock = std::chrono::steady_clock;

// When a run on a worker (a request, or an idle collection) must end. At `soft` the
// worker is signalled and its own guards stop the script at its next instruction; at
// `hard` the worker is killed, since a signal it ignores (a hook never reached, a worker
// in trouble) must not hold its client forever.
struct Deadlines {
    Clock::time_point soft = Clock::time_point::max();
    Clock::time_point hard = Clock::time_point::max();
    bool signalled = false;

    // Deadlines for a run starting now; none when limit is empty (no --max-seconds).
    static Deadlines from(Clock::time_point now, std::optional<Clock::duration> limit,
                          Clock::duration grace) {
        Deadlines d;
        if (limit) {
            d.soft = now + *limit;
            d.hard = d.soft + grace;
        }
        return d;
    }
    // The next moment the run needs looking at.
    Clock::time_point next() const { return signalled ? hard : soft; }
};

struct Request {
    Envelope envelope;
    PeerSlot peer;                // set on admission; counts towards the peer's bound
    std::size_t size = 0;         // body bytes
    Clock::time_point received{}; // read off the socket: logged times run from here
    Deadlines deadlines;          // set at dispatch

    Request() = default;
    Request(Envelope&& from, Clock::time_point now)
        : envelope(std::move(from)), size(envelope.bodySize()), received(now) {}
};

} // namespace qel
