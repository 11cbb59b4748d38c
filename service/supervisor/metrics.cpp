// metrics.cpp - the text a scrape of /metrics gets. It runs on the exporter's thread and
// reads each number once, relaxed: a scrape may be a request apart between two series,
// never torn within one.
#include "metrics.h"

#include <cstdio>

namespace qel {

namespace {

std::uint64_t read(const Series& series) {
    return series.read();
}

std::uint64_t read(const std::atomic<std::uint64_t>& value) {
    return value.load(std::memory_order_relaxed);
}

void header(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, double value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", value);
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += number;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, std::uint64_t value) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

// One sample of `name` per entry of counts, labelled label="nameOf(i)".
template <std::size_t N, typename NameOf>
void samplesBy(std::string& out, const char* name, const char* label,
               const std::array<Series, N>& counts, NameOf nameOf) {
    for (std::size_t i = 0; i < N; ++i)
        sample(out, name, std::string(label) + "=\"" + nameOf(i) + "\"", read(counts[i]));
}

// Requests: by outcome, how long they took, and how many wait or run.
void renderRequests(std::string& out, const Metrics& m) {
    header(out, "qel_requests_total", "counter", "Requests answered, by outcome.");
    samplesBy(out, "qel_requests_total", "outcome", m.requests,
              [](std::size_t i) { return outcomeName(static_cast<Outcome>(i)); });

    header(out, "qel_request_duration_seconds", "histogram",
           "Time from reading a request off the socket to handing its answer to ZeroMQ, "
           "queueing included.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < m.durations.size(); ++i) {
        cumulative += read(m.durations[i]);
        char bound[32] = "+Inf";
        if (i < kDurationBounds.size())
            std::snprintf(bound, sizeof bound, "%g", kDurationBounds[i]);
        sample(out, "qel_request_duration_seconds_bucket", std::string("le=\"") + bound + "\"",
               cumulative);
    }
    sample(out, "qel_request_duration_seconds_sum", "",
           static_cast<double>(read(m.durationNanoseconds)) / 1e9);
    sample(out, "qel_request_duration_seconds_count", "", cumulative);

    header(out, "qel_requests_queued", "gauge", "Requests taken in and waiting for a worker.");
    sample(out, "qel_requests_queued", "", read(m.queued));
    header(out, "qel_requests_running", "gauge", "Requests a worker is running.");
    sample(out, "qel_requests_running", "", read(m.workers[kWorkerBusy]));
    header(out, "qel_requests_posted_ahead_total", "counter",
           "Requests a worker started straight after the one before, posted ahead to it.");
    sample(out, "qel_requests_posted_ahead_total", "", read(m.postedAhead));
}

// What ZeroMQ holds for peers that have not read it.
void renderUnread(std::string& out, const Metrics& m) {
    header(out, "qel_unread_reply_bytes", "gauge",
           "Reply bytes ZeroMQ holds that peers have not read yet.");
    sample(out, "qel_unread_reply_bytes", "",
           std::uint64_t{m.unread ? m.unread->load() : std::size_t{0}});
    header(out, "qel_unread_reply_peers", "gauge", "Peers with reply bytes not read yet.");
    sample(out, "qel_unread_reply_peers", "",
           std::uint64_t{m.unread ? m.unread->peers() : std::size_t{0}});
    header(out, "qel_unread_reply_bytes_largest_peer", "gauge",
           "Unread reply bytes of the peer holding most, as of the last sweep (about a "
           "second).");
    sample(out, "qel_unread_reply_bytes_largest_peer", "", read(m.largestPeerUnread));
    header(out, "qel_peers_cut_off_total", "counter",
           "Peers whose connection was ended for replies left unread, by cause.");
    samplesBy(out, "qel_peers_cut_off_total", "cause", m.cutOff,
              [](std::size_t i) { return cutCauseName(static_cast<CutCause>(i)); });
}

// The workers: by state, replaced, and the heap each reports.
void renderWorkers(std::string& out, const Metrics& m) {
    header(out, "qel_workers", "gauge", "Worker processes by state.");
    samplesBy(out, "qel_workers", "state", m.workers,
              [](std::size_t i) { return kWorkerStateNames[i]; });
    header(out, "qel_workers_replaced_total", "counter",
           "Worker processes given up and started anew, by cause.");
    samplesBy(out, "qel_workers_replaced_total", "cause", m.replaced,
              [](std::size_t i) { return lossCauseName(static_cast<LossCause>(i)); });
    header(out, "qel_worker_lua_heap_bytes", "gauge",
           "The Lua heap of each worker slot as its worker last reported it.");
    for (std::size_t i = 0; i < m.workerHeapSlots; ++i) {
        if (const std::uint64_t bytes = read(m.workerHeap[i]); bytes != 0)
            sample(out, "qel_worker_lua_heap_bytes", "slot=\"" + std::to_string(i) + "\"", bytes);
    }
}

} // namespace

std::string renderMetrics(const Metrics& m) {
    std::string out;
    out.reserve(4096);
    renderRequests(out, m);
    renderUnread(out, m);
    renderWorkers(out, m);
    header(out, "qel_connections_total", "counter",
           "Connection attempts the access control (--allow) answered, by result.");
    for (const int refused : {0, 1}) {
        sample(out, "qel_connections_total", refused ? "result=\"refused\"" : "result=\"admitted\"",
               m.accessDecisions ? read(m.accessDecisions[refused]) : std::uint64_t{0});
    }
    header(out, "qel_reload_generation", "gauge",
           "Reloads that succeeded: the generation of preloaded files serving now.");
    sample(out, "qel_reload_generation", "", read(m.reloadGeneration));
    header(out, "qel_reloads_total", "counter", "Reloads (SIGHUP), by how they ended.");
    sample(out, "qel_reloads_total", "result=\"ok\"", read(m.reloads[0]));
    sample(out, "qel_reloads_total", "result=\"failed\"", read(m.reloads[1]));
    header(out, "process_start_time_seconds", "gauge",
           "Start time of the process since the Unix epoch in seconds.");
    sample(out, "process_start_time_seconds", "", m.startTime);
    return out;
}

} // namespace qel
