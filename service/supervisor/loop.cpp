// loop.cpp - the serving loop. Requests are read as soon as they arrive: each goes to an
// idle worker, or waits in admission's bounded queue, so nothing waits behind a long
// script that another worker could serve.
#include "loop.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <malloc.h>
#include <poll.h>

#include "channel.h"
#include "invariants.h"

namespace qel {

namespace {

// Requests read per round, so that a flood of requests cannot keep the loop from its
// replies; the rest stays in ZeroMQ's queue until the next round.
constexpr int kReadsPerRound = 256;
// The longest the loop sleeps. Every event has a descriptor or a deadline, so this is
// only a backstop: ZeroMQ's descriptor signals edges, not levels.
constexpr auto kBackstop = std::chrono::milliseconds(100);

} // namespace

ServingLoop::ServingLoop(const ServiceOptions& options, zmq::socket_t& front, int doorbell, int exe,
                         SignalReader& signals)
    : options_(options), front_(front), frontFd_(front.get(zmq::sockopt::fd)), doorbell_(doorbell),
      signals_(signals), sender_(front, options.verbose),
      admission_(AdmissionLimits::from(options), sender_.unread()),
      pool_(options, sender_, doorbell, exe) {}

bool ServingLoop::start() {
    return pool_.start(signals_.fd(), [this] {
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
            std::fprintf(stderr, "qel-lua-service: %s\n", e.what());
            wait(Clock::now());
        }
    }
}

// One round: true once the service has stopped and every request is answered.
bool ServingLoop::round() {
    const Clock::time_point now = Clock::now();
    if (intakeOpen_ && stopRequested_) closeIntake(now);
    pool_.tick(now);
    if (stopDeadline_ && now >= *stopDeadline_) {
        stopNow(now);
        return true;
    }
    feedWorkers(now);
    if (intakeOpen_) drainFront(now);
    if (!intakeOpen_ && !admission_.waiting() && !pool_.anyBusy()) return true;
    housekeeping(now);
    wait(now);
    return false;
}

// Everything that has reached the socket is taken in and will be answered. With
// --max-seconds, within the longest a run may take: what is still queued or running then
// is answered that the service is stopping. Without it, the stop waits for every request.
void ServingLoop::closeIntake(Clock::time_point now) {
    intakeOpen_ = false;
    Envelope envelope;
    while (envelope.receive(front_, options_.verbose))
        take(std::move(envelope), now);
    if (const auto longest = pool_.longestRun()) stopDeadline_ = now + *longest;
}

void ServingLoop::stopNow(Clock::time_point now) {
    for (Request& late : admission_.takeAll())
        sender_.refuse(late, "error: service is stopping");
    pool_.abandon("error: service is stopping", now);
}

void ServingLoop::take(Envelope&& envelope, Clock::time_point now) {
    Request request(std::move(envelope), now);
    std::string refusal;
    switch (admission_.admit(request, pool_.hasIdle(), refusal)) {
    case Admission::Verdict::Run:
        pool_.dispatch(std::move(request), now);
        break;
    case Admission::Verdict::Refused:
        sender_.refuse(request, refusal);
        break;
    case Admission::Verdict::Queued:
        check(!pool_.hasIdle(), "requests wait only while no worker is idle");
        break;
    }
}

void ServingLoop::feedWorkers(Clock::time_point now) {
    std::string refusal;
    while (pool_.hasIdle()) {
        std::optional<Request> next = admission_.next(refusal);
        if (!next) break;
        if (refusal.empty()) {
            pool_.dispatch(std::move(*next), now);
        } else {
            sender_.refuse(*next, refusal);
        }
    }
}

// Reads what has arrived. A receive that found nothing has also processed the socket's
// commands, after which ZeroMQ's descriptor signals whatever comes next. When the last
// idle worker has just been given a request, the rest waits for the next wake-up (a
// reply, that descriptor, or the backstop), which saves a receive per request; ZeroMQ's
// own queue per connection bounds what gathers in between. Once requests are queued,
// everything is read, so refusals go out at once.
void ServingLoop::drainFront(Clock::time_point now) {
    for (int i = 0; i < kReadsPerRound; ++i) {
        Envelope envelope;
        if (!envelope.receive(front_, options_.verbose)) {
            lookAgain_ = false;
            return;
        }
        take(std::move(envelope), now);
        if (!admission_.waiting() && !pool_.hasIdle()) {
            lookAgain_ = false;
            return;
        }
    }
    lookAgain_ = true;
}

// Every so often the peers nothing refers to are forgotten. Once the service has been
// idle a while, what large requests left behind goes back to the system.
void ServingLoop::housekeeping(Clock::time_point now) {
    if (now - lastSweep_ >= kIdleRelease) {
        lastSweep_ = now;
        admission_.sweep();
    }
    if (pool_.anyBusy() || admission_.waiting()) {
        lastActive_ = now;
        released_ = false;
        return;
    }
    if (released_ || now - lastActive_ < kIdleRelease) return;
    released_ = pool_.releaseMemory();
    malloc_trim(0);
}

void ServingLoop::wait(Clock::time_point now) {
    Clock::time_point until = pool_.nextDue(now + kBackstop);
    if (stopDeadline_) until = std::min(until, *stopDeadline_);
    // Say so before sleeping, then look once more: a worker that replied before it saw
    // the flag has not rung, and its reply is taken without a wait.
    const bool replied = pool_.announceSleep();
    struct Awake {
        WorkerPool& pool;
        ~Awake() { pool.awake(); }
    } awake{pool_};
    // Signals (a worker ended, a stop) are read from their descriptor, which wakes the
    // poll at once; they are taken in for the next round of the loop.
    if (replied || (intakeOpen_ && lookAgain_)) {
        takeSignals();
        return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    pollfd fds[3] = {{doorbell_, POLLIN, 0}, {signals_.fd(), POLLIN, 0}, {frontFd_, POLLIN, 0}};
    if (poll(fds, intakeOpen_ ? 3 : 2, ms < 1 ? 1 : static_cast<int>(ms)) > 0) {
        if ((fds[0].revents & POLLIN) != 0) takeRings(doorbell_);
        if ((fds[1].revents & POLLIN) != 0) takeSignals();
    }
}

// A stop is kept until the round that closes the intake; a child's end goes to the pool,
// which reaps at its next tick.
void ServingLoop::takeSignals() {
    const SignalEvents events = signals_.take();
    if (events.stop) stopRequested_ = true;
    if (events.childEnded) pool_.childEnded();
}

} // namespace qel
