// loop.cpp - the serving loop. Requests are read as soon as they arrive: each goes to an
// idle worker, or waits in admission's bounded queue, so nothing waits behind a long
// script that another worker could serve. Every answer leaves through sender_.
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
#include "supervisor_replies.h"

namespace qel {

namespace {

// Requests read per round, so that a flood of requests cannot keep the loop from its
// replies; the rest stays in ZeroMQ's queue until the next round.
constexpr int kReadsPerRound = 256;
// The longest the loop sleeps. Every event has a descriptor or a deadline, so this is
// only a backstop: ZeroMQ's descriptor signals edges, not levels.
constexpr auto kBackstop = std::chrono::milliseconds(100);
// Rounds between tries at reading on for a request to post ahead, once one found none.
constexpr int kReadOnRetry = 16;
// How often a loop that never sleeps still reads its signals: a stop or a worker's end
// waits at most this long, and the reads that find nothing stay off the request path.
constexpr auto kSignalReadInterval = std::chrono::milliseconds(10);

} // namespace

ServingLoop::ServingLoop(const ServiceOptions& options, zmq::socket_t& front, int doorbell, int exe,
                         SignalReader& signals, Metrics& metrics)
    : options_(options), front_(front), frontFd_(front.get(zmq::sockopt::fd)), doorbell_(doorbell),
      signals_(signals), metrics_(metrics),
      sender_(front, options.verbose, metrics, options.metrics.has_value()),
      admission_(AdmissionLimits::from(options), sender_.unread(), connections_),
      pool_(options, doorbell, exe, metrics) {
    metrics_.unread = sender_.unread();
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
    postAhead(now);
    if (!intakeOpen_ && !admission_.waiting() && !pool_.anyBusy() && !pool_.hasTakenBack())
        return true;
    housekeeping(now);
    metrics_.queued.store(admission_.waitingCount() + pool_.waitingCount(),
                          std::memory_order_relaxed);
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
    notify("STOPPING=1\nSTATUS=stopping: answering the requests taken in");
    if (logFormat() == LogFormat::Json) {
        LogLine("stopping", "stopping: answering the requests taken in").write();
    }
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

void ServingLoop::take(Envelope&& envelope, Clock::time_point now) {
    Request request(std::move(envelope), now);
    std::string refusal;
    const bool held = admission_.held(now);
    switch (admission_.admit(request, workerFree() && !held, refusal)) {
    case Admission::Verdict::Run:
        dispatch(std::move(request), now);
        break;
    case Admission::Verdict::Refused:
        sender_.refuse(request, refusal);
        break;
    case Admission::Verdict::Queued:
        check(!workerFree() || held, "requests wait only while no worker can take them");
        break;
    }
    answerDropped();
}

// What admission took out of its queue to make room, or from a peer it cut off.
void ServingLoop::answerDropped() {
    std::deque<Admission::Dropped>& dropped = admission_.dropped();
    while (!dropped.empty()) {
        sender_.refuse(dropped.front().request, dropped.front().text);
        dropped.pop_front();
    }
}

// An idle worker takes first a request posted ahead behind another's run that has not
// started, which has had its turn: it is taken back and put first in line.
void ServingLoop::feedWorkers(Clock::time_point now) {
    std::string refusal;
    returnTakenBack();
    while (pool_.hasIdle() && !admission_.held(now)) {
        pool_.takeBackOne();
        returnTakenBack();
        std::optional<Request> next = admission_.next(refusal);
        if (!next) break;
        if (refusal.empty()) {
            dispatch(std::move(*next), now);
        } else {
            sender_.refuse(*next, refusal);
        }
    }
}

// While requests still wait, each busy worker gets the next one posted ahead, to start as
// soon as its run ends, without a wake-up between the two: done last in a round, after
// what was read, so that the worker has it before the loop sleeps.
void ServingLoop::postAhead(Clock::time_point now) {
    std::string refusal;
    while (admission_.waiting() && pool_.canPostAhead() && !admission_.held(now)) {
        std::optional<Request> next = admission_.next(refusal);
        if (!next) break;
        if (refusal.empty()) {
            Peer& peer = *next->peer;
            if (pool_.postAhead(std::move(*next))) admission_.postedAhead(peer);
            sendAnswers(now);
        } else {
            sender_.refuse(*next, refusal);
        }
    }
}

// Requests taken back from behind a run are first in line again, oldest first.
void ServingLoop::returnTakenBack() {
    std::deque<Request>& back = pool_.takenBack();
    while (!back.empty()) {
        admission_.putBack(std::move(back.back()));
        back.pop_back();
    }
}

// A worker is free for a new request only when none taken back waits for it.
bool ServingLoop::workerFree() const {
    return pool_.hasIdle() && !pool_.hasTakenBack();
}

// What the pool answers instead of running the request goes out at once, as the
// admission's refusals do, so the peer's count is right for its next request.
void ServingLoop::dispatch(Request&& request, Clock::time_point now) {
    pool_.dispatch(std::move(request), now);
    sendAnswers(now);
}

// Every answer the pool has decided, in order. A worker's reply is handed to ZeroMQ here,
// before that worker can be given another request, and the pool hears how it went: a
// reply that could not go out costs the worker, and its request is answered next.
void ServingLoop::sendAnswers(Clock::time_point now) {
    while (Answer* answer = pool_.nextAnswer()) {
        ReplySender::Sent sent = ReplySender::Sent::Sent;
        if (const auto* text = std::get_if<std::string>(&answer->reply)) {
            sender_.refuse(answer->request, *text);
        } else {
            const auto& from = std::get<Answer::FromWorker>(answer->reply);
            // Under load the area is soon wanted for a request posted ahead.
            sent = sender_.sendReply(answer->request, *from.areas, from.size, from.ok, from.worker,
                                     from.inArena ? &from.offset : nullptr,
                                     from.keepArea || admission_.waiting());
        }
        pool_.answered(sent, now);
    }
    for (const PeerPtr& peer : pool_.startedAhead())
        admission_.startedAhead(*peer);
    pool_.startedAhead().clear();
}

// Reads what has arrived. A receive that found nothing has also processed the socket's
// commands, after which ZeroMQ's descriptor signals whatever comes next. When the last
// idle worker has just been given a request, the rest waits for the next wake-up (a
// reply, that descriptor, or the backstop), which saves a receive per request; ZeroMQ's
// own queue per connection bounds what gathers in between. Reading on for a request to
// post ahead to a busy worker pays only under load, when one is usually there: with one
// client at a time it is a receive that finds nothing, every request. So it goes on
// while it finds requests, and after one that did not, is tried every kReadOnRetry
// rounds. Once requests are queued, everything is read, so refusals go out at once.
void ServingLoop::drainFront(Clock::time_point now) {
    bool readingOn = false;
    for (int i = 0; i < kReadsPerRound; ++i) {
        Envelope envelope;
        if (!envelope.receive(front_, options_.verbose)) {
            if (readingOn) readOnFinds_ = false;
            lookAgain_ = false;
            return;
        }
        if (readingOn) readOnFinds_ = true;
        take(std::move(envelope), now);
        readingOn = !admission_.waiting() && !workerFree();
        if (readingOn && !(pool_.canPostAhead() && readOnWorthIt())) {
            lookAgain_ = false;
            return;
        }
    }
    lookAgain_ = true;
}

bool ServingLoop::readOnWorthIt() {
    if (readOnFinds_) return true;
    if (++readOnSkipped_ < kReadOnRetry) return false;
    readOnSkipped_ = 0;
    return true;
}

// Every so often the peers nothing refers to are forgotten; the log says when, since
// nothing else outside shows it. Once the service has been idle a while, what large
// requests left behind goes back to the system.
void ServingLoop::housekeeping(Clock::time_point now) {
    if (now - lastSweep_ >= kIdleRelease) {
        lastSweep_ = now;
        const std::size_t forgotten = admission_.sweep();
        metrics_.largestPeerUnread.store(admission_.largestUnread(), std::memory_order_relaxed);
        if (options_.verbose && forgotten > 0)
            LogLine("sweep", formatted("idle peers swept: %zu", forgotten))
                .with("peers", std::uint64_t{forgotten})
                .write();
    }
    if (pool_.anyBusy() || admission_.waiting() || pool_.hasTakenBack()) {
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
        const char* peer = cut.peer->address.empty() ? "unknown" : cut.peer->address.c_str();
        LogLine("cutoff", formatted("peer %s cut off: %zu reply bytes unread for %.1f s (%s)", peer,
                                    cut.unread, cut.stalledSeconds, cutCauseName(cut.cause)))
            .with("peer", std::string_view(peer))
            .with("unread_bytes", std::uint64_t{cut.unread})
            .with("stalled_seconds", cut.stalledSeconds)
            .with("cause", cutCauseName(cut.cause))
            .write();
        bump(metrics_.cutOff[static_cast<std::size_t>(cut.cause)]);
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
    timespec monotonic{};
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    const long long usec =
        static_cast<long long>(monotonic.tv_sec) * 1000000 + monotonic.tv_nsec / 1000;
    static const char kReloading[] =
        "reloading: starting workers with the preloaded files read again";
    notify(formatted("RELOADING=1\nMONOTONIC_USEC=%lld\nSTATUS=%s", usec, kReloading));
    LogLine("reload", kReloading).with("result", std::string_view("started")).write();
    PreloadSnapshot files;
    std::string error;
    if (!PreloadSnapshot::take(options_.preload, files, error)) {
        reloaded(ReloadOutcome{false, error}, now);
        return;
    }
    pool_.reload(std::move(files), now);
}

// Either way the service serves again, which is what the manager waits for.
void ServingLoop::reloaded(const ReloadOutcome& outcome, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - reloadBegun_).count();
    bump(metrics_.reloads[outcome.ok ? 0 : 1]);
    if (outcome.ok) {
        bump(metrics_.reloadGeneration);
        const std::uint64_t generation = metrics_.reloadGeneration.load(std::memory_order_relaxed);
        const std::string text = formatted(
            "reloaded: generation %llu serving, %d %s", static_cast<unsigned long long>(generation),
            options_.workers, options_.workers == 1 ? "worker" : "workers");
        LogLine("reload", text)
            .with("result", std::string_view("ok"))
            .with("generation", generation)
            .with("workers", options_.workers)
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

} // namespace qel
