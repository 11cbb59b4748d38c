// loop_feed.cpp - the serving loop's intake and feeding: requests read off the socket
// and admitted, handed to idle workers or posted ahead to busy ones, withdrawn ones put
// first in line again, and every answer passed to the one ReplySender.
#include "loop.h"

#include "invariants.h"

namespace qel {

namespace {

// Requests read per round, so that a flood of requests cannot keep the loop from its
// replies; the rest stays in ZeroMQ's queue until the next round.
constexpr int kReadsPerRound = 256;
// Rounds between tries at reading on for a request to post ahead, once one found none.
constexpr int kReadOnRetry = 16;

} // namespace

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
// been claimed, which has had its turn: it is withdrawn and put first in line.
void ServingLoop::feedWorkers(Clock::time_point now) {
    std::string refusal;
    requeueWithdrawn();
    while (pool_.hasIdle() && !admission_.held(now)) {
        pool_.withdrawOne();
        requeueWithdrawn();
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
void ServingLoop::feedAhead(Clock::time_point now) {
    std::string refusal;
    while (admission_.waiting() && pool_.canPostAhead() && !admission_.held(now)) {
        std::optional<Request> next = admission_.next(refusal);
        if (!next) break;
        if (refusal.empty()) {
            Peer& peer = *next->peer;
            if (pool_.postAhead(std::move(*next))) admission_.aheadPosted(peer);
            sendAnswers(now);
        } else {
            sender_.refuse(*next, refusal);
        }
    }
}

// Requests withdrawn from behind a run are first in line again, oldest first.
void ServingLoop::requeueWithdrawn() {
    std::deque<Request>& back = pool_.withdrawn();
    while (!back.empty()) {
        admission_.aheadWithdrawn(std::move(back.back()));
        back.pop_back();
    }
}

// A worker is free for a new request only when none withdrawn waits for it.
bool ServingLoop::workerFree() const {
    return pool_.hasIdle() && pool_.withdrawn().empty();
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
        admission_.aheadStarted(*peer);
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

} // namespace qel
