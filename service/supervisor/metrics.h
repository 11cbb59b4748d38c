// metrics.h - the numbers --metrics exposes, kept as the serving loop goes: plain relaxed
// atomics that only the loop's thread writes, where it already knows what happened, and
// that the exporter's thread only reads. Nothing here waits or allocates.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "outcome.h"
#include "unread_bytes.h"
#include "unread_watch.h"

namespace qel {

// The loop's thread is the only writer, so an increment is a load and a store, which
// compile to plain moves: no locked instruction on the request path.
inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// The upper bounds of the duration histogram's buckets, in seconds: from a cached chunk's
// tenth of a millisecond to the default time limit.
inline constexpr std::array<double, 16> kDurationBounds = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
    0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    30};
// Worker states as WorkerPool names them (Worker::State, in order).
inline constexpr std::size_t kWorkerStates = 6;
inline constexpr const char* kWorkerStateNames[kWorkerStates] = {"down", "starting", "idle",
                                                                 "busy", "replied",  "collecting"};
// A busy worker runs exactly one request.
inline constexpr std::size_t kWorkerBusy = 3;

struct Metrics {
    std::array<std::atomic<std::uint64_t>, kOutcomes> requests{};
    // Requests per bucket (not cumulative), the last past every bound.
    std::array<std::atomic<std::uint64_t>, kDurationBounds.size() + 1> durations{};
    std::atomic<std::uint64_t> durationNanoseconds{0};
    std::atomic<std::uint64_t> queued{0};
    // Requests a worker started straight after its run before, posted ahead to it.
    std::atomic<std::uint64_t> postedAhead{0};
    std::atomic<std::uint64_t> largestPeerUnread{0}; // as of the last sweep
    // Peers whose connection was ended for the replies they left unread, by CutCause.
    std::array<std::atomic<std::uint64_t>, kCutCauses> cutOff{};
    std::array<std::atomic<std::uint64_t>, kWorkerStates> workers{};
    std::array<std::atomic<std::uint64_t>, kLossCauses> replaced{};
    // Each worker slot's Lua heap as its worker last reported it, 0 while it has none;
    // sized before the exporter starts (WorkerPool never has more slots than this).
    std::unique_ptr<std::atomic<std::uint64_t>[]> workerHeap;
    std::size_t workerHeapSlots = 0;
    std::atomic<std::uint64_t> reloadGeneration{0};      // reloads that succeeded
    std::array<std::atomic<std::uint64_t>, 2> reloads{}; // ok, failed
    double startTime = 0;                                // seconds since the epoch
    // The access control's admitted and refused connections, when --allow is given;
    // counted by its own thread.
    const std::atomic<std::uint64_t>* accessDecisions = nullptr;
    // What ZeroMQ holds unread, which its own thread counts down; set before any read.
    std::shared_ptr<const UnreadBytes> unread;

    // Counts a request answered, taking `seconds` from its arrival.
    void answered(Outcome outcome, double seconds) {
        bump(requests[static_cast<std::size_t>(outcome)]);
        std::size_t bucket = 0;
        while (bucket < kDurationBounds.size() && seconds > kDurationBounds[bucket])
            ++bucket;
        bump(durations[bucket]);
        bump(durationNanoseconds, static_cast<std::uint64_t>(seconds * 1e9));
    }
    // An answer counted as `from` turned out to be `to`.
    void recount(Outcome from, Outcome to) {
        auto& was = requests[static_cast<std::size_t>(from)];
        was.store(was.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        bump(requests[static_cast<std::size_t>(to)]);
    }
};

// The Prometheus text exposition (format 0.0.4) of everything in `metrics`.
std::string renderMetrics(const Metrics& metrics);

} // namespace qel
