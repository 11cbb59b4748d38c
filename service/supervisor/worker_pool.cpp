// worker_pool.cpp - the pool's table: every assignment of a worker's state is in enter(),
// which checks the rules that tie a state to what the worker holds; the rounds' tick and
// sleep, dispatch, and the queries the loop asks. Answers go to outbox_, their texts
// from supervisor_replies.h.
#include "worker_pool.h"

#include <csignal>
#include <sys/wait.h>

#include "invariants.h"
#include "request_limits.h"
#include "supervisor_replies.h"
#include "worker_spawn.h"

namespace qel {

WorkerPool::WorkerPool(const ServiceOptions& options, int doorbell, int exe, MetricsWriter& metrics)
    : options_(options), metrics_(metrics), doorbell_(doorbell), exe_(exe),
      limit_(timeLimit(options.limits.maxSeconds)),
      workers_(static_cast<std::size_t>(options.workers)) {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        workers_[i].slot = i;
        workers_[i].generation = generations_.serving();
    }
    metrics_.set(countOf(Worker::State::Down), workers_.size());
}

WorkerPool::~WorkerPool() {
    for (Worker& worker : workers_) {
        if (worker.process.pid > 0) signalWorker(worker.process.pid, SIGKILL, 0);
    }
    for (Worker& worker : workers_) {
        if (worker.process.pid > 0) (void)waitpid(worker.process.pid, nullptr, 0);
    }
}

static_assert(static_cast<std::size_t>(Worker::State::Collecting) + 1 == kWorkerStates &&
                  static_cast<std::size_t>(Worker::State::Busy) == kWorkerBusy,
              "kWorkerStateNames follows Worker::State");

void WorkerPool::enter(Worker& worker, Worker::State state) {
    if (!std::exchange(worker.vacant, false)) metrics_.subtract(countOf(worker.state));
    metrics_.add(countOf(state));
    worker.state = state;
    noteHeap(worker, state);
    check((state == Worker::State::Busy) == worker.run.running.has_value(),
          "a worker is busy exactly while it holds a request");
    check(!worker.run.ahead || state == Worker::State::Busy || state == Worker::State::Replied,
          "a request is posted ahead only behind a worker's run or its reply");
    check((state == Worker::State::Down) == (worker.process.pid <= 0),
          "a worker has a process unless it is down");
}

// The worker has just said where it stands (ready, a reply, a collection done), or has
// gone with its heap.
void WorkerPool::noteHeap(const Worker& worker, Worker::State state) {
    if (!worker.channel.handOff.attached() ||
        (state != Worker::State::Idle && state != Worker::State::Replied &&
         state != Worker::State::Down))
        return;
    Metrics& series = metrics_.series();
    if (!check(worker.slot < series.workerHeapSlots, "every worker slot has its heap series"))
        return;
    metrics_.set(series.workerHeap[worker.slot],
                 state == Worker::State::Down ? 0 : worker.channel.handOff.heapBytes());
}

// A slot no generation needs any more: its process has ended or been killed (and is
// reaped later), and what it held goes back, a reply area once ZeroMQ lets go of it.
void WorkerPool::vacate(Worker& worker) {
    if (!check(worker.state == Worker::State::Down && !worker.vacant,
               "only a worker that is down leaves its slot"))
        return;
    metrics_.subtract(countOf(Worker::State::Down));
    const std::size_t slot = worker.slot;
    worker = Worker{};
    worker.slot = slot;
    worker.vacant = true;
}

// A slot for a reload's worker: a vacant one, or a new one while the bound allows.
Worker* WorkerPool::vacantSlot() {
    for (Worker& worker : workers_) {
        if (worker.vacant) return &worker;
    }
    if (workers_.size() >= maxWorkerSlots(options_.workers)) return nullptr;
    Worker& added = workers_.emplace_back();
    added.slot = workers_.size() - 1;
    added.vacant = true;
    return &added;
}

void WorkerPool::tick(Clock::time_point now) {
    reap();
    for (Worker& worker : workers_) {
        if (worker.vacant) continue;
        switch (worker.state) {
        case Worker::State::Busy:
        case Worker::State::Collecting:
            // A claim of the request posted ahead says the run before has replied.
            if (claimed(worker) || worker.channel.handOff.replied()) {
                finishRun(worker);
            } else {
                enforce(worker, now);
            }
            break;
        case Worker::State::Starting:
            settleStart(worker, now);
            break;
        case Worker::State::Down:
            if (now >= worker.process.retryAt) spawn(worker, now);
            break;
        case Worker::State::Idle:
            // Once ZeroMQ lets go, an idle worker that still keeps the bytes is told by a
            // collection, which gives them back; otherwise only its next request would.
            if (worker.channel.handOff.toldArenaHeld() && !worker.channel.replies.arenaHeld())
                worker.run.collectDue = true;
            if (worker.run.collectDue && now - worker.run.idleSince >= kIdleRelease)
                startCollection(worker, now);
            break;
        case Worker::State::Replied:
            break; // until the loop reports its reply sent, in this same round
        }
    }
    settleReload(now);
}

// While two generations overlap, the old one's last runs count too: no more requests run
// at once than --workers, which the unread-reply bound and the memory headroom are sized
// for, so a new worker waits for an old one to finish before it takes a request.
bool WorkerPool::hasIdle() const {
    bool idle = false;
    std::size_t busy = 0;
    for (const Worker& worker : workers_) {
        idle = idle || (worker.state == Worker::State::Idle && serving(worker));
        busy += worker.state == Worker::State::Busy ? 1 : 0;
    }
    return idle && busy < size();
}

bool WorkerPool::anyBusy() const {
    for (const Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy) return true;
    }
    return false;
}

void WorkerPool::dispatch(Request&& request, Clock::time_point now) {
    Worker* chosen = nullptr;
    for (std::size_t i = 0; i < workers_.size() && chosen == nullptr; ++i) {
        const std::size_t at = (nextWorker_ + i) % workers_.size();
        if (workers_[at].state == Worker::State::Idle && serving(workers_[at])) {
            nextWorker_ = (at + 1) % workers_.size();
            chosen = &workers_[at];
        }
    }
    if (!check(chosen != nullptr, "a request is dispatched only while a worker is idle"))
        return outbox_.add(std::move(request), reply::kBusy);
    Worker& worker = *chosen;
    SharedArea& area = worker.channel.requests[0];
    if (!area.reserve(request.size))
        return outbox_.add(std::move(request), std::string(reply::kNoMemoryReply.view()));
    // The reply goes to an area ZeroMQ is not reading from; the other gives back its
    // pages beyond what is kept, unless it is still being sent.
    if (!check(worker.channel.replies.prepare(kReplyKeep),
               "at most one reply area per worker is held by ZeroMQ"))
        return outbox_.add(std::move(request), reply::kBusy);
    request.envelope.takeBody(area.data());
    request.deadlines = Deadlines::from(now, limit_, kGrace);
    worker.run.runStart = now;
    const std::size_t size = request.size;
    worker.run.running = std::move(request);
    enter(worker, Worker::State::Busy);
    worker.channel.handOff.dispatch(size, worker.channel.replies.current(),
                                    worker.channel.replies.arenaHeld());
}

Clock::time_point WorkerPool::nextDue(Clock::time_point until) const {
    for (const Worker& worker : workers_) {
        if (worker.vacant) continue;
        switch (worker.state) {
        case Worker::State::Busy:
            until = std::min(until, worker.run.running->deadlines.next());
            break;
        case Worker::State::Collecting:
            until = std::min(until, worker.run.collection.next());
            break;
        case Worker::State::Idle:
            if (worker.run.collectDue) until = std::min(until, worker.run.idleSince + kIdleRelease);
            break;
        case Worker::State::Down:
            until = std::min(until, worker.process.retryAt);
            break;
        case Worker::State::Starting:
            until = std::min(until, worker.process.started + kStartLimit);
            break;
        case Worker::State::Replied:
            break; // the loop sends its reply before it sleeps
        }
    }
    return until;
}

bool WorkerPool::announceSleep() {
    bool replied = false;
    for (Worker& worker : workers_) {
        if (worker.state != Worker::State::Busy && worker.state != Worker::State::Collecting)
            continue;
        worker.channel.handOff.sleeping(true);
        replied = replied || worker.channel.handOff.doneOrClaimed(worker.run.ahead.has_value());
    }
    return replied;
}

void WorkerPool::awake() {
    for (Worker& worker : workers_) {
        if (worker.channel.handOff.attached()) worker.channel.handOff.sleeping(false);
    }
}

// An area that ZeroMQ is still sending from (to a slow reader) is looked at again at the
// next call, until it too has gone back.
bool WorkerPool::releaseMemory() {
    bool done = true;
    for (Worker& worker : workers_) {
        if (worker.state == Worker::State::Collecting) done = false; // its turn comes later
        if (worker.state != Worker::State::Idle) continue;
        for (SharedArea& request : worker.channel.requests)
            request.release(kAreaKeep);
        done = worker.channel.replies.release(kAreaKeep) && done;
    }
    return done;
}

} // namespace qel
