// loop.cpp - the serving loop as its phases, in the order each round takes them: what is
// due in the pool, reloads, the stop, the unread watch, feeding the workers and reading
// the socket (loop_feed.cpp), housekeeping, and the sleep until one has more to do.
#include "loop.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <malloc.h>
#include <poll.h>
#include <stdexcept>
#include <time.h>

#include "channel.h"
#include "invariants.h"
#include "log.h"
#include "notify.h"
#include "reports.h"
#include "supervisor_replies.h"

namespace qel {

namespace {

// The longest the loop sleeps. Every event has a descriptor or a deadline, so this is
// only a backstop: ZeroMQ's descriptor signals edges, not levels.
constexpr auto kBackstop = std::chrono::milliseconds(100);
// How often a loop that never sleeps still reads its signals: a stop or a worker's end
// waits at most this long, and the reads that find nothing stay off the request path.
constexpr auto kSignalReadInterval = std::chrono::milliseconds(10);

} // namespace

ServingLoop::ServingLoop(const ServiceOptions& options, zmq::socket_t& front, int doorbell, int exe,
                         SignalReader& signals, Metrics& metrics)
    : options_(options), front_(front), frontFd_(front.get(zmq::sockopt::fd)), doorbell_(doorbell),
      signals_(signals), metrics_(metrics),
      sender_(front, options.verbose, metrics_, options.metrics.has_value()),
      admission_(AdmissionLimits::from(options), sender_.unread(), connections_),
      pool_(options, doorbell, exe, metrics_) {
    metrics.unread = sender_.unread();
    // Twice per interval, as the manager advises, so one slow round is not a missed ping.
    if (const auto interval = watchdogInterval()) watchdog_ = *interval / 2;
}

bool ServingLoop::start() {
    PreloadSnapshot files;
    std::string error;
    if (!PreloadSnapshot::take(options_.preload, files, error)) throw std::runtime_error(error);
    return pool_.start(std::move(files), signals_.fd(), [this] {
        feedWatchdog(Clock::now());
        takeSignals();
        return stopRequested_;
    });
}

void ServingLoop::serve() {
    for (;;) {
        try {
            if (round()) return;
        } catch (const std::exception& e) {
            // Only memory can run out here; the loop goes on with what it has, after a
            // pause, rather than end the service.
            LogLine("error", e.what()).write();
            wait(Clock::now());
        }
    }
}

// One round: true once the service has stopped and every request is answered.
bool ServingLoop::round() {
    const Clock::time_point now = Clock::now();
    feedWatchdog(now);
    sendAnswers(now); // what a round that ran out of memory left
    if (intakeOpen_ && stopRequested_) closeIntake(now);
    pool_.tick(now);
    sendAnswers(now);
    reloads(now);
    if (stopDeadline_ && now >= *stopDeadline_) {
        stopNow(now);
        return true;
    }
    // Before any request starts: it may cut off peers whose replies hold requests back.
    if (now >= nextWatch_) watchUnread(now);
    feedWorkers(now);
    if (intakeOpen_) drainFront(now);
    feedAhead(now);
    if (!intakeOpen_ && !admission_.waiting() && !pool_.anyBusy() && pool_.withdrawn().empty())
        return true;
    housekeeping(now);
    metrics_.set(metrics_.series().queued, admission_.waitingCount() + pool_.waitingCount());
    wait(now);
    return false;
}

// Everything that has reached the socket is taken in and will be answered. With
// --max-seconds, within the longest a run may take: what is still queued or running then
// is answered that the service is stopping. Without it, the stop waits for every request.
void ServingLoop::closeIntake(Clock::time_point now) {
    intakeOpen_ = false;
    // A reload under way is dropped; the old workers answer what they have.
    reloadWanted_ = false;
    pool_.cancelReload();
    reportStopping();
    Envelope envelope;
    while (envelope.receive(front_, options_.verbose))
        take(std::move(envelope), now);
    if (const auto longest = pool_.longestRun()) stopDeadline_ = now + *longest;
}

void ServingLoop::stopNow(Clock::time_point now) {
    for (Request& late : admission_.takeAll())
        sender_.refuse(late, reply::kStopping);
    pool_.abandon(reply::kStopping, now);
    sendAnswers(now);
}

// Every so often the peers nothing refers to are forgotten; the log says when, since
// nothing else outside shows it. Once the service has been idle a while, what large
// requests left behind goes back to the system.
void ServingLoop::housekeeping(Clock::time_point now) {
    if (now - lastSweep_ >= kIdleRelease) {
        lastSweep_ = now;
        const std::size_t forgotten = admission_.sweep();
        metrics_.set(metrics_.series().largestPeerUnread, admission_.largestUnread());
        if (options_.verbose && forgotten > 0) reportSweep(forgotten);
    }
    if (pool_.anyBusy() || admission_.waiting() || !pool_.withdrawn().empty()) {
        lastActive_ = now;
        released_ = false;
        return;
    }
    if (released_ || now - lastActive_ < kIdleRelease) return;
    released_ = pool_.releaseMemory();
    malloc_trim(0);
}

// Each peer cut off is told in the log, as one line with what it held, and counted.
void ServingLoop::watchUnread(Clock::time_point now) {
    nextWatch_ = now + kWatchInterval;
    for (const Admission::CutOff& cut : admission_.watch(now)) {
        reportCutOff(cut);
        metrics_.add(metrics_.series().cutOff[static_cast<std::size_t>(cut.cause)]);
    }
    answerDropped();
}

void ServingLoop::wait(Clock::time_point now) {
    Clock::time_point until = pool_.nextDue(now + kBackstop);
    if (stopDeadline_) until = std::min(until, *stopDeadline_);
    if (watchdog_) until = std::min(until, nextPing_);
    if (intakeOpen_ && lookAgain_) {
        pollSignalsNowAndThen(now);
        return;
    }
    // Say so before sleeping, then look once more: a worker that replied before it saw
    // the flag has not rung, and its reply is taken without a wait.
    const bool replied = pool_.announceSleep();
    struct Awake {
        WorkerPool& pool;
        ~Awake() { pool.awake(); }
    } awake{pool_};
    if (replied) {
        pollSignalsNowAndThen(now);
        return;
    }
    // Signals (a worker ended, a stop) are read from their descriptor, which wakes the
    // poll at once; they are taken in for the next round of the loop.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    pollfd fds[3] = {{doorbell_, POLLIN, 0}, {signals_.fd(), POLLIN, 0}, {frontFd_, POLLIN, 0}};
    if (poll(fds, intakeOpen_ ? 3 : 2, ms < 1 ? 1 : static_cast<int>(ms)) > 0) {
        if ((fds[0].revents & POLLIN) != 0) takeRings(doorbell_);
        if ((fds[1].revents & POLLIN) != 0) takeSignals();
    }
}

// A round that does not poll reads the signal descriptor only now and then: almost
// every such read would find nothing.
void ServingLoop::pollSignalsNowAndThen(Clock::time_point now) {
    if (now < nextSignalRead_) return;
    takeSignals();
    nextSignalRead_ = now + kSignalReadInterval;
}

// Only the loop pings: every round passes here, and it sleeps no longer than a ping is
// due, so the pings stop exactly when the loop does.
void ServingLoop::feedWatchdog(Clock::time_point now) {
    if (!watchdog_ || now < nextPing_) return;
    notify("WATCHDOG=1");
    nextPing_ = now + *watchdog_;
}

// A stop is kept until the round that closes the intake; a child's end goes to the pool,
// which reaps at its next tick.
void ServingLoop::takeSignals() {
    const SignalEvents events = signals_.take();
    if (events.stop) stopRequested_ = true;
    if (events.reload && !stopRequested_) reloadWanted_ = true;
    if (events.childEnded) pool_.childEnded();
}

// A reload's end is said before the next one begins. A SIGHUP during a reload is kept:
// once that one ends, one more reads the files again, however many SIGHUPs came.
void ServingLoop::reloads(Clock::time_point now) {
    if (const std::optional<ReloadOutcome> outcome = pool_.takeReloadOutcome())
        reloaded(*outcome, now);
    if (!reloadWanted_ || !intakeOpen_ || stopRequested_ || pool_.reloading()) return;
    reloadWanted_ = false;
    reloadBegun_ = now;
    reportReloadStarted();
    PreloadSnapshot files;
    std::string error;
    if (!PreloadSnapshot::take(options_.preload, files, error)) {
        reloaded(ReloadOutcome{false, error}, now);
        return;
    }
    pool_.reload(std::move(files), now);
}

void ServingLoop::reloaded(const ReloadOutcome& outcome, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - reloadBegun_).count();
    Metrics& series = metrics_.series();
    metrics_.add(series.reloads[outcome.ok ? 0 : 1]);
    if (outcome.ok) metrics_.add(series.reloadGeneration);
    reportReloaded(outcome, series.reloadGeneration.read(), options_.workers, seconds);
}

} // namespace qel
