// worker_deadlines.cpp - the time a run or a collection may take: the signal at its soft
// deadline, which the worker's guards turn into an error reply, and the backstop at the
// hard one, which replaces the worker; and the stop that cannot wait for either.
#include "worker_pool.h"

#include <csignal>

#include "request_limits.h"
#include "supervisor_replies.h"
#include "worker_spawn.h"

namespace qel {

Deadlines& WorkerPool::deadlines(Worker& worker) {
    return worker.run.running ? worker.run.running->deadlines : worker.run.collection;
}

void WorkerPool::enforce(Worker& worker, Clock::time_point now) {
    Deadlines& due = deadlines(worker);
    if (now >= due.hard) {
        cutShort(worker, reply::replaced(reply::kTimeLimitReply.view()), LossCause::TimeLimit, now);
    } else if (now >= due.soft && !due.signalled) {
        // The worker's guards stop the request at its next instruction.
        signalWorker(worker.process.pid, deadlineSignal(), worker.channel.handOff.sequence());
        due.signalled = true;
    }
}

// Replaces a worker in the middle of a run: its request is answered with text, or an
// idle collection is said to be cut short.
void WorkerPool::cutShort(Worker& worker, std::string text, LossCause cause,
                          Clock::time_point now) {
    if (worker.run.running) {
        // One posted ahead that has started dies with the worker, killed.
        settleAhead(worker, cause == LossCause::Stopping ? text : reply::workerEnded(SIGKILL));
        outbox_.add(std::move(*worker.run.running), std::move(text));
        worker.run.running.reset();
        lost(worker, cause, {});
    } else {
        lost(worker, cause,
             "a worker's idle collection ran past the time limit; the worker was replaced");
    }
    replace(worker, now);
}

// The worker's full collection runs its finalizers, which under --trusted may loop; run
// while the worker looks idle, they would take the next request's time. So the
// supervisor asks for it, gives it a request's deadlines, and meanwhile deals requests
// to other workers or queues them.
void WorkerPool::startCollection(Worker& worker, Clock::time_point now) {
    worker.run.collection = Deadlines::from(now, limit_, kGrace);
    worker.run.collectDue = false;
    enter(worker, Worker::State::Collecting);
    worker.channel.handOff.collect(worker.channel.replies.current(),
                                   worker.channel.replies.arenaHeld());
}

void WorkerPool::abandon(std::string_view text, Clock::time_point now) {
    for (Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy)
            cutShort(worker, std::string(text), LossCause::Stopping, now);
    }
    for (Request& waiting : withdrawn_)
        outbox_.add(std::move(waiting), std::string(text));
    withdrawn_.clear();
}

} // namespace qel
