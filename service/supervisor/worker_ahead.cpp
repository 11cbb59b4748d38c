// worker_ahead.cpp - requests posted ahead, in one vocabulary: the pool posts one behind
// a busy worker's run; the worker claims it when that run ends; the pool then starts it
// as the worker's run, or withdraws it unclaimed, for a worker idle sooner or because
// its own has gone. Each one posted is started, withdrawn or answered exactly once.
#include "worker_pool.h"

#include <algorithm>

#include "invariants.h"
#include "supervisor_replies.h"

namespace qel {

// A worker with no request posted ahead yet and whose other reply area is free, of the
// serving generation.
bool WorkerPool::canPostAhead() const {
    return std::any_of(workers_.begin(), workers_.end(),
                       [this](const Worker& worker) { return roomAhead(worker); });
}

bool WorkerPool::roomAhead(const Worker& worker) const {
    return worker.state == Worker::State::Busy && !worker.run.ahead && serving(worker) &&
           !worker.channel.replies.otherHeld() && worker.channel.handOff.slotFree();
}

bool WorkerPool::claimed(const Worker& worker) const {
    return worker.run.ahead && worker.channel.handOff.claimed();
}

// To the worker whose run began first, as the likeliest to end first.
bool WorkerPool::postAhead(Request&& request) {
    Worker* chosen = nullptr;
    for (Worker& worker : workers_) {
        if (roomAhead(worker) && (chosen == nullptr || worker.run.runStart < chosen->run.runStart))
            chosen = &worker;
    }
    if (!check(chosen != nullptr, "a request is posted ahead only to a busy worker with room")) {
        outbox_.add(std::move(request), reply::kBusy);
        return false;
    }
    Worker::Channel& channel = chosen->channel;
    const std::uint32_t area = channel.handOff.aheadArea();
    if (!channel.requests[area].reserve(request.size)) {
        outbox_.add(std::move(request), std::string(reply::kNoMemoryReply.view()));
        return false;
    }
    if (!check(channel.replies.prepareSpare(kReplyKeep),
               "a request is posted ahead only for a reply area ZeroMQ does not hold")) {
        outbox_.add(std::move(request), reply::kBusy);
        return false;
    }
    // The envelope keeps the body until the request starts: withdrawn, it goes
    // elsewhere with it.
    request.envelope.copyBody(channel.requests[area].data());
    const std::size_t size = request.size;
    chosen->run.ahead = std::move(request);
    channel.handOff.postAhead(size, 1 - channel.replies.current());
    return true;
}

// The reply before has gone out; the request posted ahead becomes the worker's run. It
// has started if the worker claimed it, and runs from when it did; otherwise the worker
// replied before it came and waits, and it is posted as any request is, to the worker
// while it serves, withdrawn when it no longer does. False when it is not the worker's.
bool WorkerPool::startAhead(Worker& worker, Clock::time_point now) {
    if (!serving(worker) && withdraw(worker)) return false;
    Request request = std::move(*worker.run.ahead);
    worker.run.ahead.reset();
    Worker::Channel& channel = worker.channel;
    const bool started = channel.handOff.startAhead();
    channel.replies.advance();
    Clock::time_point start = now;
    if (started) {
        const Clock::time_point taken{std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(channel.handOff.claimedAt()))};
        start = std::min(now, std::max(taken, worker.run.runStart));
        metrics_.add(metrics_.series().postedAhead);
    }
    startedAhead_.push_back(request.peer.get());
    request.envelope.dropBody();
    request.deadlines = Deadlines::from(start, limit_, kGrace);
    worker.run.runStart = start;
    const std::size_t size = request.size;
    worker.run.running = std::move(request);
    enter(worker, Worker::State::Busy);
    // From what the supervisor keeps, not from the block the worker can write.
    if (!started)
        channel.handOff.repost(size, channel.replies.current(), channel.replies.arenaHeld());
    return true;
}

// Withdraws the request posted ahead to the worker, unless it has been claimed.
bool WorkerPool::withdraw(Worker& worker) {
    if (!worker.run.ahead || !worker.channel.handOff.withdraw()) return false;
    withdrawn_.push_back(std::move(*worker.run.ahead));
    worker.run.ahead.reset();
    return true;
}

// The worker goes: its request posted ahead is withdrawn if it was never claimed, or else
// answered with `text`, as the run it followed is; either way exactly once.
void WorkerPool::settleAhead(Worker& worker, const std::string& text) {
    if (!worker.run.ahead || withdraw(worker)) return;
    startedAhead_.push_back(worker.run.ahead->peer.get());
    outbox_.add(std::move(*worker.run.ahead), text);
    worker.run.ahead.reset();
}

bool WorkerPool::withdrawOne() {
    for (Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy && withdraw(worker)) return true;
    }
    return false;
}

std::size_t WorkerPool::waitingCount() const {
    std::size_t waiting = withdrawn_.size();
    for (const Worker& worker : workers_)
        waiting += worker.run.ahead ? 1 : 0;
    return waiting;
}

} // namespace qel
