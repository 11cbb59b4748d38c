// metrics.h - the numbers --metrics exposes, kept as the serving loop goes: relaxed
// atomics that the exporter's thread only reads, and that only the loop's MetricsWriter
// writes, on the loop's thread, where it already knows what happened. Nothing here waits
// or allocates.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>

#include "outcome.h"
#include "unread_bytes.h"
#include "unread_watch.h"

namespace qel {

// One number of the page. Anyone may read it; only a MetricsWriter writes it.
class Series {
  public:
    std::uint64_t read() const { return value_.load(std::memory_order_relaxed); }

  private:
    friend class MetricsWriter;
    std::atomic<std::uint64_t> value_{0};
};

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
    std::array<Series, kOutcomes> requests{};
    // Requests per bucket (not cumulative), the last past every bound.
    std::array<Series, kDurationBounds.size() + 1> durations{};
    Series durationNanoseconds;
    Series queued;
    // Requests a worker started straight after its run before, posted ahead to it.
    Series postedAhead;
    Series largestPeerUnread; // as of the last sweep
    // Peers whose connection was ended for the replies they left unread, by CutCause.
    std::array<Series, kCutCauses> cutOff{};
    std::array<Series, kWorkerStates> workers{};
    std::array<Series, kLossCauses> replaced{};
    // Each worker slot's Lua heap as its worker last reported it, 0 while it has none;
    // sized before the exporter starts, to maxWorkerSlots() (worker_pool.h), which the
    // pool never passes.
    std::unique_ptr<Series[]> workerHeap;
    std::size_t workerHeapSlots = 0;
    Series reloadGeneration;         // reloads that succeeded
    std::array<Series, 2> reloads{}; // ok, failed
    double startTime = 0;            // seconds since the epoch
    // The access control's admitted and refused connections, when --allow is given;
    // counted by its own thread.
    const std::atomic<std::uint64_t>* accessDecisions = nullptr;
    // What ZeroMQ holds unread, which its own thread counts down; set before any read.
    std::shared_ptr<const UnreadBytes> unread;
};

// The only writer of a Metrics, held by the serving loop and lent to its parts. It takes
// its thread from where it is made: a write from any other would race the loop's plain
// load and store, so it is refused and said instead. On the loop's thread an increment
// is a load and a store, which compile to plain moves: no locked instruction on the
// request path.
class MetricsWriter {
  public:
    explicit MetricsWriter(Metrics& metrics);
    MetricsWriter(const MetricsWriter&) = delete;
    MetricsWriter& operator=(const MetricsWriter&) = delete;

    const Metrics& metrics() const { return metrics_; }
    Metrics& series() { return metrics_; } // to name the series written

    void add(Series& series, std::uint64_t by = 1) {
        if (owned()) series.value_.store(series.read() + by, std::memory_order_relaxed);
    }
    void subtract(Series& series, std::uint64_t by = 1) {
        if (owned()) series.value_.store(series.read() - by, std::memory_order_relaxed);
    }
    void set(Series& series, std::uint64_t value) {
        if (owned()) series.value_.store(value, std::memory_order_relaxed);
    }
    // Counts a request answered, taking `seconds` from its arrival.
    void answered(Outcome outcome, double seconds);
    // An answer counted as `from` turned out to be `to`.
    void recount(Outcome from, Outcome to);

  private:
    bool owned() const { return pthread_equal(pthread_self(), owner_) != 0 || refused(); }
    static bool refused();

    Metrics& metrics_;
    pthread_t owner_;
};

// The Prometheus text exposition (format 0.0.4) of everything in `metrics`.
std::string renderMetrics(const Metrics& metrics);

} // namespace qel
