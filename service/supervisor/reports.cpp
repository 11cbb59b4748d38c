// reports.cpp - the supervisor's reports. The text log has never had the start and stop
// lines, which standard output and the manager's status carry; the JSON log has them.
#include "reports.h"

#include <ctime>
#include <unistd.h>

#include "log.h"
#include "notify.h"

namespace qel {

void reportServing(const std::string& endpoint, int workers) {
    const std::string status = "serving on " + endpoint + ": " + std::to_string(workers) +
                               (workers == 1 ? " worker" : " workers");
    notify("READY=1\nSTATUS=" + status);
    if (logFormat() != LogFormat::Json) return;
    LogLine("start", status)
        .with("endpoint", endpoint)
        .with("workers", workers)
        .with("pid", static_cast<int>(getpid()))
        .write();
}

void reportStopped() {
    if (logFormat() == LogFormat::Json) LogLine("stop", "stopped").write();
}

void reportStopping() {
    notify("STOPPING=1\nSTATUS=stopping: answering the requests taken in");
    if (logFormat() == LogFormat::Json) {
        LogLine("stopping", "stopping: answering the requests taken in").write();
    }
}

void reportReloadStarted() {
    timespec monotonic{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    const long long usec =
        static_cast<long long>(monotonic.tv_sec) * 1000000 + monotonic.tv_nsec / 1000;
    static const char kReloading[] =
        "reloading: starting workers with the preloaded files read again";
    notify(formatted("RELOADING=1\nMONOTONIC_USEC=%lld\nSTATUS=%s", usec, kReloading));
    LogLine("reload", kReloading).with("result", std::string_view("started")).write();
}

// Either way the service serves again, which is what the manager waits for.
void reportReloaded(const ReloadOutcome& outcome, std::uint64_t generation, int workers,
                    double seconds) {
    if (outcome.ok) {
        const std::string text = formatted("reloaded: generation %llu serving, %d %s",
                                           static_cast<unsigned long long>(generation), workers,
                                           workers == 1 ? "worker" : "workers");
        LogLine("reload", text)
            .with("result", std::string_view("ok"))
            .with("generation", generation)
            .with("workers", workers)
            .with("seconds", seconds)
            .write();
        notify("READY=1\nSTATUS=" + text);
        return;
    }
    const std::string text = "reload failed, the old workers go on serving: " + outcome.error;
    LogLine("reload", text)
        .with("result", std::string_view("failed"))
        .with("error", outcome.error)
        .with("seconds", seconds)
        .write();
    notify("READY=1\nSTATUS=" + text);
}

// One line per peer cut off, with what it held.
void reportCutOff(const Admission::CutOff& cut) {
    const char* peer = cut.peer->address.empty() ? "unknown" : cut.peer->address.c_str();
    LogLine("cutoff", formatted("peer %s cut off: %zu reply bytes unread for %.1f s (%s)", peer,
                                cut.unread, cut.stalledSeconds, cutCauseName(cut.cause)))
        .with("peer", std::string_view(peer))
        .with("unread_bytes", std::uint64_t{cut.unread})
        .with("stalled_seconds", cut.stalledSeconds)
        .with("cause", cutCauseName(cut.cause))
        .write();
}

void reportSweep(std::size_t forgotten) {
    LogLine("sweep", formatted("idle peers swept: %zu", forgotten))
        .with("peers", std::uint64_t{forgotten})
        .write();
}

} // namespace qel
