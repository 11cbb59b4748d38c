// metrics_writer.cpp - the one writer of the metrics: the counts a request's answer
// makes, and the refusal of a write from a thread other than the loop's.
#include "metrics.h"

#include "invariants.h"

namespace qel {

MetricsWriter::MetricsWriter(Metrics& metrics) : metrics_(metrics), owner_(pthread_self()) {}

bool MetricsWriter::refused() {
    return check(false, "only the serving loop's thread writes a metric");
}

void MetricsWriter::answered(Outcome outcome, double seconds) {
    add(metrics_.requests[static_cast<std::size_t>(outcome)]);
    std::size_t bucket = 0;
    while (bucket < kDurationBounds.size() && seconds > kDurationBounds[bucket])
        ++bucket;
    add(metrics_.durations[bucket]);
    add(metrics_.durationNanoseconds, static_cast<std::uint64_t>(seconds * 1e9));
}

void MetricsWriter::recount(Outcome from, Outcome to) {
    subtract(metrics_.requests[static_cast<std::size_t>(from)]);
    add(metrics_.requests[static_cast<std::size_t>(to)]);
}

} // namespace qel
