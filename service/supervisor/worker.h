// worker.h - one worker as the supervisor keeps it, in three parts: its process, its
// channel (the control block's hand-off and the shared areas), and its run (the request
// it serves, the one posted ahead behind it, the collection and the idle time).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sys/types.h>

#include "channel.h"
#include "hand_off.h"
#include "reply_areas.h"
#include "request.h"

namespace qel {

// A worker that ended without serving is not restarted sooner than this, so one that
// cannot start does not make the supervisor spin.
inline constexpr auto kRespawnDelay = std::chrono::milliseconds(200);
// How long a worker gets to become ready: loading the Lua state and entering the jail
// take milliseconds, but a loaded machine may be slow.
inline constexpr auto kStartLimit = std::chrono::seconds(30);
// What a channel's areas keep until the service idles: the request area after a large
// request, and the spare reply area.
inline constexpr std::size_t kAreaKeep = std::size_t{64} << 10;
// What the spare reply area keeps at each request: as much as the worker's reply buffer
// keeps, so a run of large replies does not pay for fresh pages each time.
inline constexpr std::size_t kReplyKeep = ReplyBuffer::kKeep;

struct Worker {
    enum class State { Down, Starting, Idle, Busy, Replied, Collecting };

    struct Process {
        pid_t pid = -1;
        Clock::time_point started{};
        Clock::time_point retryAt{}; // while Down: when to start a new process
    };
    struct Channel {
        SharedArea controlArea;
        SupervisorHandOff handOff;
        SharedArea requests[2]; // the running request's and the one posted ahead
        ReplyAreas replies;
    };
    struct Run {
        std::optional<Request> running; // while Busy
        // Posted ahead, behind the run (Busy) or behind the reply being sent (Replied).
        std::optional<Request> ahead;
        Clock::time_point runStart{}; // when the running request started
        Deadlines collection;         // while Collecting
        bool collectDue = false;      // it has served a request since its last collection
        Clock::time_point idleSince{};
    };

    State state = State::Down;
    std::size_t slot = 0;         // its place in the pool, which answers name it by
    std::uint64_t generation = 0; // of the --preload files it runs
    bool vacant = false;          // no worker of any generation: Down, and not counted
    Process process;
    Channel channel;
    Run run;
};

} // namespace qel
