// worker_lifecycle.cpp - a worker's process from spawn to reaping: its channel made, its
// start-up waited for, its end picked up, and its replacement. Every worker given up
// passes through lost(), which counts it and says it.
#include "worker_pool.h"

#include <csignal>
#include <new>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>

#include "invariants.h"
#include "log.h"
#include "supervisor_replies.h"
#include "worker_spawn.h"

namespace qel {

namespace {

// How often start() looks at the workers when nothing rings.
constexpr auto kStartPoll = std::chrono::milliseconds(100);

// A worker's large-block arena: what --max-memory lets its Lua state hold, twice over
// for the freed pages it keeps and a block pinned while ZeroMQ sends it, or 4 GiB
// without a limit. Only address space: pages exist once Lua writes them. Should the
// arena be full, the worker's large blocks come from its heap as before. None for
// --trusted, whose replies are always copied.
constexpr std::size_t kArenaSlack = std::size_t{64} << 20;
static_assert(sizeof(std::size_t) >= 8, "the arena is sized for a 64-bit address space");
constexpr std::size_t kArenaLargest = std::size_t{4} << 30;

std::size_t arenaSize(const Limits& limits) {
    if (limits.trusted) return 0;
    const std::size_t memory = limits.maxMemory;
    if (memory == 0 || memory > (kArenaLargest - kArenaSlack) / 2) return kArenaLargest;
    return 2 * memory + kArenaSlack;
}

} // namespace

bool WorkerPool::start(PreloadSnapshot files, int signals, const std::function<bool()>& stopped) {
    generations_ = Generations(std::move(files));
    const Clock::time_point begun = Clock::now();
    for (Worker& worker : workers_) {
        if (!spawn(worker, begun)) throw std::runtime_error("the workers did not start");
    }
    for (;;) {
        reap();
        const Clock::time_point now = Clock::now();
        bool ready = true;
        for (Worker& worker : workers_) {
            if (worker.state == Worker::State::Starting) settleStart(worker, now);
            if (worker.state == Worker::State::Down)
                throw std::runtime_error("the workers did not start");
            ready = ready && worker.state == Worker::State::Idle;
        }
        if (ready) return true;
        if (stopped()) return false;
        waitForDoorbell(signals, kStartPoll);
    }
}

// Waits for a ring of the doorbell or a signal, at most `limit`.
void WorkerPool::waitForDoorbell(int signals, Clock::duration limit) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
    pollfd fds[2] = {{doorbell_, POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(ms)) > 0 && (fds[0].revents & POLLIN) != 0)
        takeRings(doorbell_);
}

bool WorkerPool::spawn(Worker& worker, Clock::time_point now) {
    Worker fresh;
    fresh.slot = worker.slot;
    fresh.generation = worker.generation;
    fresh.vacant = worker.vacant;
    worker = std::move(fresh);
    if (!openChannel(worker)) {
        worker.process.retryAt = now + kRespawnDelay;
        return false;
    }
    Worker::Channel& channel = worker.channel;
    const ChannelFds fds{channel.controlArea.fd(),
                         channel.requests[0].fd(),
                         channel.requests[1].fd(),
                         {channel.replies.fd(0), channel.replies.fd(1)},
                         doorbell_,
                         generations_.filesOf(worker.generation).fd(),
                         channel.replies.arenaFd()};
    worker.process.pid = spawnWorker(exe_, options_, fds);
    if (worker.process.pid < 0) {
        worker.process.retryAt = now + kRespawnDelay;
        return false;
    }
    worker.process.started = now;
    enter(worker, Worker::State::Starting);
    return true;
}

// The control block, the two request areas and the reply areas, made fresh for each
// process, so nothing a worker wrote reaches its successor.
bool WorkerPool::openChannel(Worker& worker) {
    Worker::Channel& channel = worker.channel;
    try {
        channel.controlArea = SharedArea::create("qel-lua-control", sizeof(Control));
        for (SharedArea& request : channel.requests)
            request = SharedArea::create("qel-lua-request", kAreaKeep);
        channel.replies = ReplyAreas::create(kAreaKeep, arenaSize(options_.limits));
    } catch (const std::exception& e) {
        LogLine("error", formatted("cannot make a worker channel: %s", e.what())).write();
        return false;
    }
    channel.handOff = SupervisorHandOff(new (channel.controlArea.data()) Control{});
    return true;
}

// The one start-up policy, at start() as later: ready, it serves; not ready within
// kStartLimit, it is killed and counts as ended.
void WorkerPool::settleStart(Worker& worker, Clock::time_point now) {
    if (worker.channel.handOff.ready()) {
        enter(worker, Worker::State::Idle);
    } else if (now - worker.process.started > kStartLimit) {
        if (pending(worker)) {
            failReload("a new worker did not start in time");
            return;
        }
        lost(worker, LossCause::StartTimeout, "a worker did not start in time");
        signalWorker(worker.process.pid, SIGKILL, 0);
        down(worker, now + kRespawnDelay);
    }
}

// The worker has lost its process (ended, or killed and to be reaped later, its pid
// forgotten); a new one is started from retryAt on, unless its generation is retired.
void WorkerPool::down(Worker& worker, Clock::time_point retryAt) {
    check(!worker.run.ahead, "a worker that goes leaves no request posted ahead");
    worker.process.pid = -1;
    worker.process.retryAt = retryAt;
    enter(worker, Worker::State::Down);
    if (generations_.retired(worker.generation)) vacate(worker);
}

// Picks up workers that ended. One that ended by itself had a fault (or hit the
// operating system's memory ceiling): its request is answered and it is replaced.
void WorkerPool::reap() {
    if (!std::exchange(childEnded_, false)) return;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (Worker& worker : workers_) {
            if (worker.process.pid == pid) ended(worker, status);
        }
    }
}

void WorkerPool::ended(Worker& worker, int status) {
    if (pending(worker)) {
        const std::string error = worker.channel.handOff.failure();
        worker.process.pid = -1; // reaped: not to be signalled again
        failReload(error.empty() ? "a new worker ended (" + reply::howItEnded(status) + ")"
                                 : error);
        return;
    }
    const Clock::time_point now = Clock::now();
    settleAhead(worker, reply::workerEnded(status));
    if (worker.run.running) {
        outbox_.add(std::move(*worker.run.running), reply::workerEnded(status));
        worker.run.running.reset();
        lost(worker, LossCause::Ended, {}, status);
        down(worker, now);
    } else {
        lost(worker, LossCause::Ended, "a worker ended (" + reply::howItEnded(status) + ")",
             status);
        down(worker, now + kRespawnDelay);
    }
}

// Every worker given up passes here. The text log has always said only the losses that
// no request's answer tells of (those with a text); the JSON log says each one.
void WorkerPool::lost(const Worker& worker, LossCause cause, const std::string& text, int status) {
    metrics_.add(metrics_.series().replaced[static_cast<std::size_t>(cause)]);
    if (text.empty() && logFormat() != LogFormat::Json) return;
    LogLine line("worker_replaced", text.empty() ? std::string("a worker was replaced") : text);
    line.with("worker", std::uint64_t{worker.slot})
        .with("pid", static_cast<int>(worker.process.pid))
        .with("cause", lossCauseName(cause));
    if (status >= 0) line.with("how", reply::howItEnded(status));
    line.write();
}

// Kills the worker and starts a new one at once.
void WorkerPool::replace(Worker& worker, Clock::time_point now) {
    signalWorker(worker.process.pid, SIGKILL, 0); // reaped later; the pid is forgotten here
    down(worker, now);
}

} // namespace qel
