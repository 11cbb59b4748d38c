// worker_reload.cpp - a reload: a second generation of workers starts beside the serving
// one, which keeps every request until each new worker is ready; then the new one serves
// and the old one's workers end as soon as they have nothing to do. A new worker that
// fails fails the reload, and the serving generation goes on as if nothing had happened.
#include "worker_pool.h"

#include <csignal>

#include "invariants.h"
#include "worker_spawn.h"

namespace qel {

void WorkerPool::reload(PreloadSnapshot files, Clock::time_point now) {
    if (!check(!generations_.reloading(), "one reload at a time")) return;
    const std::uint64_t generation = generations_.begin(std::move(files));
    for (std::size_t n = 0; n < size(); ++n) {
        Worker* slot = vacantSlot();
        if (slot == nullptr) {
            failReload("the workers of an earlier generation are still running");
            return;
        }
        slot->generation = generation;
        if (!spawn(*slot, now)) {
            failReload("the new workers did not start");
            return;
        }
    }
}

void WorkerPool::settleReload(Clock::time_point now) {
    if (!generations_.reloading()) return;
    for (const Worker& worker : workers_) {
        if (pending(worker) && worker.state != Worker::State::Idle) return;
    }
    const std::uint64_t old = generations_.promote();
    for (Worker& worker : workers_) {
        if (!worker.vacant && worker.generation == old) retireIdle(worker, now);
    }
    outcome_ = ReloadOutcome{true, {}};
}

void WorkerPool::failReload(std::string error) {
    if (!generations_.reloading()) return;
    const std::uint64_t failed = generations_.drop();
    for (Worker& worker : workers_) {
        if (worker.generation != failed) continue;
        if (worker.vacant) {
            worker.generation = 0;
            continue;
        }
        if (worker.process.pid > 0) signalWorker(worker.process.pid, SIGKILL, 0);
        down(worker, Clock::now());
    }
    outcome_ = ReloadOutcome{false, std::move(error)};
}

void WorkerPool::cancelReload() {
    failReload({});
    outcome_.reset();
}

// A worker of a retired generation ends as soon as it has nothing to do.
void WorkerPool::retireIdle(Worker& worker, Clock::time_point now) {
    if (worker.vacant || !generations_.retired(worker.generation)) return;
    switch (worker.state) {
    case Worker::State::Idle:
    case Worker::State::Starting:
        signalWorker(worker.process.pid, SIGKILL, 0);
        down(worker, now);
        break;
    case Worker::State::Down:
        vacate(worker);
        break;
    case Worker::State::Busy:
    case Worker::State::Replied:
        withdraw(worker); // for the serving generation, unless it has been claimed
        break;            // the worker ends when it has finished
    case Worker::State::Collecting:
        break; // when it has finished
    }
}

} // namespace qel
