// worker_pool.cpp - the worker state machine. Every assignment of a worker's state is
// in enter(), which checks the rules that tie a state to what the worker holds; every
// answer it decides goes to answers_, its texts from supervisor_replies.h.
#include "worker_pool.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "invariants.h"
#include "log.h"
#include "request_limits.h"
#include "supervisor_replies.h"
#include "worker_spawn.h"

namespace qel {

namespace {

// A worker that ended without serving is not restarted sooner than this, so one that
// cannot start does not make the supervisor spin.
constexpr auto kRespawnDelay = std::chrono::milliseconds(200);
// How long a worker gets to become ready: loading the Lua state and entering the jail
// take milliseconds, but a loaded machine may be slow.
constexpr auto kStartLimit = std::chrono::seconds(30);
// How often start() looks at the workers when nothing rings.
constexpr auto kStartPoll = std::chrono::milliseconds(100);
// What a channel's areas keep until the service idles: the request area after a large
// request, and the spare reply area (as much as the worker's reply buffer keeps, so a
// run of large replies does not pay for fresh pages each time).
constexpr std::size_t kAreaKeep = std::size_t{64} << 10;

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
constexpr std::size_t kReplyKeep = ReplyBuffer::kKeep;

// A signal to a worker that may have ended already: then it is a zombie or reaped, and
// its end is dealt with by reap(); anything else is a fault worth saying.
void signalWorker(pid_t pid, int signal, std::uint32_t sequence) {
    sigval value{};
    value.sival_int = static_cast<int>(sequence);
    const int result = signal == SIGKILL ? kill(pid, signal) : sigqueue(pid, signal, value);
    if (result != 0 && errno != ESRCH) {
        LogLine("error", formatted("cannot signal worker %d: %s", static_cast<int>(pid),
                                   std::strerror(errno)))
            .with("pid", static_cast<int>(pid))
            .write();
    }
}

} // namespace

WorkerPool::WorkerPool(const ServiceOptions& options, int doorbell, int exe, Metrics& metrics)
    : options_(options), metrics_(metrics), doorbell_(doorbell), exe_(exe),
      limit_(timeLimit(options.limits.maxSeconds)),
      workers_(static_cast<std::size_t>(options.workers)) {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        workers_[i].slot = i;
        workers_[i].generation = serving_;
    }
    metrics_.workers[static_cast<std::size_t>(Worker::State::Down)].store(
        workers_.size(), std::memory_order_relaxed);
}

WorkerPool::~WorkerPool() {
    for (Worker& worker : workers_) {
        if (worker.pid > 0) signalWorker(worker.pid, SIGKILL, 0);
    }
    for (Worker& worker : workers_) {
        if (worker.pid > 0) (void)waitpid(worker.pid, nullptr, 0);
    }
}

static_assert(static_cast<std::size_t>(Worker::State::Collecting) + 1 == kWorkerStates &&
                  static_cast<std::size_t>(Worker::State::Busy) == kWorkerBusy,
              "kWorkerStateNames follows Worker::State");

void WorkerPool::enter(Worker& worker, Worker::State state) {
    if (!std::exchange(worker.vacant, false)) {
        auto& left = metrics_.workers[static_cast<std::size_t>(worker.state)];
        left.store(left.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    bump(metrics_.workers[static_cast<std::size_t>(state)]);
    worker.state = state;
    // The worker has just said where it stands (ready, a reply, a collection done), or
    // has gone with its heap.
    if (worker.slot < metrics_.workerHeapSlots && worker.control != nullptr &&
        (state == Worker::State::Idle || state == Worker::State::Replied ||
         state == Worker::State::Down)) {
        metrics_.workerHeap[worker.slot].store(
            state == Worker::State::Down
                ? 0
                : worker.control->heapBytes.load(std::memory_order_relaxed),
            std::memory_order_relaxed);
    }
    check((state == Worker::State::Busy) == worker.running.has_value(),
          "a worker is busy exactly while it holds a request");
    check(!worker.ahead || state == Worker::State::Busy || state == Worker::State::Replied,
          "a request is posted ahead only behind a worker's run or its reply");
    check((state == Worker::State::Down) == (worker.pid <= 0),
          "a worker has a process unless it is down");
}

Deadlines& WorkerPool::deadlines(Worker& worker) {
    return worker.running ? worker.running->deadlines : worker.collection;
}

// A slot no generation needs any more: its process has ended or been killed (and is
// reaped later), and what it held goes back, a reply area once ZeroMQ lets go of it.
void WorkerPool::vacate(Worker& worker) {
    if (!check(worker.state == Worker::State::Down && !worker.vacant,
               "only a worker that is down leaves its slot"))
        return;
    auto& down = metrics_.workers[static_cast<std::size_t>(Worker::State::Down)];
    down.store(down.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    const std::size_t slot = worker.slot;
    worker = Worker{};
    worker.slot = slot;
    worker.vacant = true;
}

bool WorkerPool::spawn(Worker& worker, Clock::time_point now) {
    Worker fresh;
    fresh.slot = worker.slot;
    fresh.generation = worker.generation;
    fresh.vacant = worker.vacant;
    worker = std::move(fresh);
    try {
        worker.controlArea = SharedArea::create("qel-lua-control", sizeof(Control));
        for (SharedArea& request : worker.requests)
            request = SharedArea::create("qel-lua-request", kAreaKeep);
        worker.replies = ReplyAreas::create(kAreaKeep, arenaSize(options_.limits));
    } catch (const std::exception& e) {
        LogLine("error", formatted("cannot make a worker channel: %s", e.what())).write();
        worker.retryAt = now + kRespawnDelay;
        return false;
    }
    worker.control = new (worker.controlArea.data()) Control{};
    const ChannelFds fds{worker.controlArea.fd(),
                         worker.requests[0].fd(),
                         worker.requests[1].fd(),
                         {worker.replies.fd(0), worker.replies.fd(1)},
                         doorbell_,
                         filesOf(worker).fd(),
                         worker.replies.arenaFd()};
    worker.pid = spawnWorker(exe_, options_, fds);
    if (worker.pid < 0) {
        worker.retryAt = now + kRespawnDelay;
        return false;
    }
    worker.started = now;
    enter(worker, Worker::State::Starting);
    return true;
}

// The one start-up policy, at start() as later: ready, it serves; not ready within
// kStartLimit, it is killed and counts as ended.
void WorkerPool::settleStart(Worker& worker, Clock::time_point now) {
    if (worker.control->ready.load(std::memory_order_acquire) != 0) {
        enter(worker, Worker::State::Idle);
    } else if (now - worker.started > kStartLimit) {
        if (pending(worker)) {
            failReload("a new worker did not start in time");
            return;
        }
        lost(worker, LossCause::StartTimeout, "a worker did not start in time");
        signalWorker(worker.pid, SIGKILL, 0);
        down(worker, now + kRespawnDelay);
    }
}

// The worker has lost its process (ended, or killed and to be reaped later, its pid
// forgotten); a new one is started from retryAt on, unless its generation is retired.
void WorkerPool::down(Worker& worker, Clock::time_point retryAt) {
    check(!worker.ahead, "a worker that goes leaves no request posted ahead");
    worker.pid = -1;
    worker.retryAt = retryAt;
    enter(worker, Worker::State::Down);
    if (!serving(worker) && !pending(worker)) vacate(worker);
}

bool WorkerPool::start(PreloadSnapshot files, int signals, const std::function<bool()>& stopped) {
    servingFiles_ = std::move(files);
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

// Picks up workers that ended. One that ended by itself had a fault (or hit the
// operating system's memory ceiling): its request is answered and it is replaced.
void WorkerPool::reap() {
    if (!std::exchange(childEnded_, false)) return;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (Worker& worker : workers_) {
            if (worker.pid == pid) ended(worker, status);
        }
    }
}

void WorkerPool::ended(Worker& worker, int status) {
    if (pending(worker)) {
        const char* said = worker.control->failure;
        const std::string error(said, strnlen(said, sizeof worker.control->failure));
        worker.pid = -1; // reaped: not to be signalled again
        failReload(error.empty() ? "a new worker ended (" + reply::howItEnded(status) + ")"
                                 : error);
        return;
    }
    const Clock::time_point now = Clock::now();
    settleAhead(worker, reply::workerEnded(status));
    if (worker.running) {
        answers_.emplace_back(std::move(*worker.running), reply::workerEnded(status));
        worker.running.reset();
        lost(worker, LossCause::Ended, {}, status);
        down(worker, now);
    } else {
        lost(worker, LossCause::Ended, "a worker ended (" + reply::howItEnded(status) + ")",
             status);
        down(worker, now + kRespawnDelay);
    }
}

void WorkerPool::tick(Clock::time_point now) {
    reap();
    for (Worker& worker : workers_) {
        if (worker.vacant) continue;
        switch (worker.state) {
        case Worker::State::Busy:
        case Worker::State::Collecting:
            // A claim of the request posted ahead says the run before has replied.
            if (claimed(worker) ||
                worker.control->state.load(std::memory_order_acquire) == Control::kReply) {
                finishRun(worker);
            } else {
                enforce(worker, now);
            }
            break;
        case Worker::State::Starting:
            settleStart(worker, now);
            break;
        case Worker::State::Down:
            if (now >= worker.retryAt) spawn(worker, now);
            break;
        case Worker::State::Idle:
            // Once ZeroMQ lets go, an idle worker that still keeps the bytes is told by a
            // collection, which gives them back; otherwise only its next request would.
            if (worker.toldArenaHeld && !worker.replies.arenaHeld()) worker.collectDue = true;
            if (worker.collectDue && now - worker.idleSince >= kIdleRelease)
                startCollection(worker, now);
            break;
        case Worker::State::Replied:
            break; // until the loop reports its reply sent, in this same round
        }
    }
    settleReload(now);
}

void WorkerPool::reload(PreloadSnapshot files, Clock::time_point now) {
    if (!check(!pending_, "one reload at a time")) return;
    pending_ = ++lastGeneration_;
    pendingFiles_ = std::move(files);
    for (std::size_t n = 0; n < size(); ++n) {
        Worker* slot = nullptr;
        for (Worker& worker : workers_) {
            if (worker.vacant) {
                slot = &worker;
                break;
            }
        }
        if (slot == nullptr) {
            slot = &workers_.emplace_back();
            slot->slot = workers_.size() - 1;
            slot->vacant = true;
        }
        slot->generation = *pending_;
        if (!spawn(*slot, now)) {
            failReload("the new workers did not start");
            return;
        }
    }
}

// The new generation serves once every worker of it is ready, and the old one's idle
// workers end at once; its busy ones end when they have answered.
void WorkerPool::settleReload(Clock::time_point now) {
    if (!pending_) return;
    for (const Worker& worker : workers_) {
        if (pending(worker) && worker.state != Worker::State::Idle) return;
    }
    const std::uint64_t old = serving_;
    serving_ = *std::exchange(pending_, std::nullopt);
    servingFiles_ = std::move(pendingFiles_);
    for (Worker& worker : workers_) {
        if (!worker.vacant && worker.generation == old) retireIdle(worker, now);
    }
    outcome_ = ReloadOutcome{true, {}};
}

// A new worker that failed fails the reload: every worker of the new generation ends,
// and the serving one goes on as if nothing had happened.
void WorkerPool::failReload(std::string error) {
    if (!pending_) return;
    const std::uint64_t failed = *std::exchange(pending_, std::nullopt);
    pendingFiles_ = PreloadSnapshot{};
    for (Worker& worker : workers_) {
        if (worker.generation != failed) continue;
        if (worker.vacant) {
            worker.generation = 0;
            continue;
        }
        if (worker.pid > 0) signalWorker(worker.pid, SIGKILL, 0);
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
    if (worker.vacant || serving(worker) || pending(worker)) return;
    switch (worker.state) {
    case Worker::State::Idle:
    case Worker::State::Starting:
        signalWorker(worker.pid, SIGKILL, 0);
        down(worker, now);
        break;
    case Worker::State::Down:
        vacate(worker);
        break;
    case Worker::State::Busy:
    case Worker::State::Replied:
        takeBack(worker); // for the serving generation, unless it has started
        break;            // the worker ends when it has finished
    case Worker::State::Collecting:
        break; // when it has finished
    }
}

void WorkerPool::finishRun(Worker& worker) {
    if (worker.state == Worker::State::Busy) {
        takeReply(worker);
        return;
    }
    worker.control->state.store(Control::kIdle, std::memory_order_release);
    enter(worker, Worker::State::Idle);
    retireIdle(worker, Clock::now());
}

// The reply is to go out from the area the worker built it in. The worker stays Replied
// until it has: only then can prepare() see that ZeroMQ holds that area and choose the
// other one for the worker's next reply, or the request posted ahead, if any, start.
void WorkerPool::takeReply(Worker& worker) {
    const std::uint32_t area = worker.replies.current();
    Answer::FromWorker from{worker.slot,
                            &worker.replies,
                            worker.control->replySize[area],
                            worker.control->replyOk[area] != 0,
                            worker.control->replyInArena[area] != 0,
                            worker.control->replyOffset[area],
                            worker.ahead.has_value()};
    // A real reply in the arena is a Lua string, within --max-memory; a larger one is a
    // worker's forgery, which would make the supervisor fault in pages it punched. It is
    // refused as a reply placed outside the arena is.
    const std::size_t memory = options_.limits.maxMemory;
    if (from.inArena && memory != 0 && from.size > memory) from.offset = UINT64_MAX;
    answers_.emplace_back(std::move(*worker.running), from);
    worker.running.reset();
    enter(worker, Worker::State::Replied);
}

void WorkerPool::dropAnswer() {
    if (++sent_ == answers_.size()) {
        answers_.clear();
        sent_ = 0;
    }
}

void WorkerPool::answered(ReplySender::Sent sent, Clock::time_point now) {
    Answer& answer = answers_[sent_];
    const auto* from = std::get_if<Answer::FromWorker>(&answer.reply);
    if (from == nullptr) {
        dropAnswer();
        return;
    }
    Worker& worker = workers_[from->worker];
    if (!check(worker.state == Worker::State::Replied,
               "a worker whose reply is being sent waits for it")) {
        dropAnswer();
        return;
    }
    switch (sent) {
    case ReplySender::Sent::Sent:
        dropAnswer();
        worker.collectDue = true;
        worker.idleSince = now;
        if (worker.ahead && startAhead(worker, now)) return;
        worker.control->state.store(Control::kIdle, std::memory_order_release);
        enter(worker, Worker::State::Idle);
        retireIdle(worker, now);
        return;
    case ReplySender::Sent::Unreadable:
        answer.reply = reply::replaced(reply::kReplyUnreadable);
        lost(worker, LossCause::UnreadableReply, {});
        break;
    case ReplySender::Sent::NoMemory:
        answer.reply = reply::replaced(reply::kNoMemoryReply.view());
        lost(worker, LossCause::NoMemory, {});
        break;
    }
    // Its request is answered next, with the text just set (`answer` is not used after
    // settleAhead(), which may add one).
    settleAhead(worker, reply::workerEnded(SIGKILL));
    replace(worker, now);
}

void WorkerPool::enforce(Worker& worker, Clock::time_point now) {
    Deadlines& due = deadlines(worker);
    if (now >= due.hard) {
        cutShort(worker, reply::replaced(reply::kTimeLimitReply.view()), LossCause::TimeLimit, now);
    } else if (now >= due.soft && !due.signalled) {
        // The worker's guards stop the request at its next instruction.
        signalWorker(worker.pid, deadlineSignal(), worker.sequence);
        due.signalled = true;
    }
}

// Replaces a worker in the middle of a run: its request is answered with text, or an
// idle collection is said to be cut short.
void WorkerPool::cutShort(Worker& worker, std::string text, LossCause cause,
                          Clock::time_point now) {
    if (worker.running) {
        // One posted ahead that has started dies with the worker, killed.
        settleAhead(worker, cause == LossCause::Stopping ? text : reply::workerEnded(SIGKILL));
        answers_.emplace_back(std::move(*worker.running), std::move(text));
        worker.running.reset();
        lost(worker, cause, {});
    } else {
        lost(worker, cause,
             "a worker's idle collection ran past the time limit; the worker was replaced");
    }
    replace(worker, now);
}

// Every worker given up passes here. The text log has always said only the losses that
// no request's answer tells of (those with a text); the JSON log says each one.
void WorkerPool::lost(const Worker& worker, LossCause cause, const std::string& text, int status) {
    bump(metrics_.replaced[static_cast<std::size_t>(cause)]);
    if (text.empty() && logFormat() != LogFormat::Json) return;
    LogLine line("worker_replaced", text.empty() ? std::string("a worker was replaced") : text);
    line.with("worker", std::uint64_t{worker.slot})
        .with("pid", static_cast<int>(worker.pid))
        .with("cause", lossCauseName(cause));
    if (status >= 0) line.with("how", reply::howItEnded(status));
    line.write();
}

// Kills the worker and starts a new one at once.
void WorkerPool::replace(Worker& worker, Clock::time_point now) {
    signalWorker(worker.pid, SIGKILL, 0); // reaped later; the pid is forgotten here
    down(worker, now);
}

// Tells the worker its next job, numbered, and wakes it.
void WorkerPool::post(Worker& worker, std::uint32_t state) {
    worker.control->sequence = ++worker.sequence;
    worker.toldArenaHeld = worker.replies.arenaHeld();
    worker.control->arenaHeld = worker.toldArenaHeld ? 1 : 0;
    worker.control->state.store(state, std::memory_order_release);
    futexWake(worker.control->state);
}

// The worker's full collection runs its finalizers, which under --trusted may loop; run
// while the worker looks idle, they would take the next request's time. So the
// supervisor asks for it, gives it a request's deadlines, and meanwhile deals requests
// to other workers or queues them.
void WorkerPool::startCollection(Worker& worker, Clock::time_point now) {
    worker.collection = Deadlines::from(now, limit_, kGrace);
    worker.collectDue = false;
    enter(worker, Worker::State::Collecting);
    post(worker, Control::kCollect);
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
    if (!check(chosen != nullptr, "a request is dispatched only while a worker is idle")) {
        answers_.emplace_back(std::move(request), reply::kBusy);
        return;
    }
    Worker& worker = *chosen;
    SharedArea& area = worker.requests[0];
    if (!area.reserve(request.size)) {
        answers_.emplace_back(std::move(request), std::string(reply::kNoMemoryReply.view()));
        return;
    }
    // The reply goes to an area ZeroMQ is not reading from; the other gives back its
    // pages beyond what is kept, unless it is still being sent.
    if (!check(worker.replies.prepare(kReplyKeep),
               "at most one reply area per worker is held by ZeroMQ")) {
        answers_.emplace_back(std::move(request), reply::kBusy);
        return;
    }
    request.envelope.takeBody(area.data());
    request.deadlines = Deadlines::from(now, limit_, kGrace);
    worker.requestArea = 0;
    worker.runStart = now;
    worker.control->requestArea = 0;
    worker.control->replyArea = worker.replies.current();
    worker.control->requestSize = request.size;
    worker.running = std::move(request);
    enter(worker, Worker::State::Busy);
    post(worker, Control::kRequest);
}

// A worker with no request posted ahead yet and whose other reply area is free, of the
// serving generation; the one whose run began first, as the likeliest to end first.
bool WorkerPool::canPostAhead() const {
    for (const Worker& worker : workers_) {
        if (roomAhead(worker)) return true;
    }
    return false;
}

// The slot is free once the worker has copied out the last request posted there (it
// stores kEmpty after its claim); until then a new one would overwrite what it copies.
bool WorkerPool::roomAhead(const Worker& worker) const {
    return worker.state == Worker::State::Busy && !worker.ahead && serving(worker) &&
           !worker.replies.otherHeld() &&
           worker.control->next.load(std::memory_order_acquire) == Control::kEmpty;
}

// The worker claimed its request posted ahead: the slot no longer holds kPosted.
bool WorkerPool::claimed(const Worker& worker) const {
    return worker.ahead && worker.control->next.load(std::memory_order_acquire) != Control::kPosted;
}

bool WorkerPool::postAhead(Request&& request) {
    Worker* chosen = nullptr;
    for (Worker& worker : workers_) {
        if (roomAhead(worker) && (chosen == nullptr || worker.runStart < chosen->runStart))
            chosen = &worker;
    }
    if (!check(chosen != nullptr, "a request is posted ahead only to a busy worker with room")) {
        answers_.emplace_back(std::move(request), reply::kBusy);
        return false;
    }
    Worker& worker = *chosen;
    Control& control = *worker.control;
    const std::uint32_t area = 1 - worker.requestArea;
    if (!worker.requests[area].reserve(request.size)) {
        answers_.emplace_back(std::move(request), std::string(reply::kNoMemoryReply.view()));
        return false;
    }
    if (!check(worker.replies.prepareSpare(kReplyKeep),
               "a request is posted ahead only for a reply area ZeroMQ does not hold")) {
        answers_.emplace_back(std::move(request), reply::kBusy);
        return false;
    }
    // The envelope keeps the body until the request starts: taken back, it goes
    // elsewhere with it.
    request.envelope.copyBody(worker.requests[area].data());
    control.aheadSequence = worker.sequence + 1;
    control.aheadRequestArea = area;
    control.aheadReplyArea = 1 - worker.replies.current();
    control.aheadSize = request.size;
    worker.ahead = std::move(request);
    control.next.store(Control::kPosted, std::memory_order_release);
    return true;
}

// The reply before has gone out; the request posted ahead becomes the worker's run. It
// has started if the worker claimed it, and runs from when it did; otherwise the worker
// replied before it came and waits, and it is posted as any request is, to the worker
// while it serves, taken back when it no longer does. False when it is not the worker's.
bool WorkerPool::startAhead(Worker& worker, Clock::time_point now) {
    if (!serving(worker) && takeBack(worker)) return false;
    Control& control = *worker.control;
    Request request = std::move(*worker.ahead);
    worker.ahead.reset();
    std::uint32_t posted = Control::kPosted;
    const bool started = !control.next.compare_exchange_strong(posted, Control::kEmpty);
    Clock::time_point start = now;
    if (started) {
        const Clock::time_point taken{std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(control.takenAt.load(std::memory_order_relaxed)))};
        start = std::min(now, std::max(taken, worker.runStart));
        bump(metrics_.postedAhead);
    }
    startedAhead_.push_back(request.peer.get());
    request.envelope.dropBody();
    request.deadlines = Deadlines::from(start, limit_, kGrace);
    worker.requestArea = 1 - worker.requestArea;
    worker.replies.advance();
    worker.runStart = start;
    worker.running = std::move(request);
    enter(worker, Worker::State::Busy);
    if (started) {
        ++worker.sequence;
    } else {
        // From what the supervisor keeps, not from the block the worker can write.
        control.requestArea = worker.requestArea;
        control.replyArea = worker.replies.current();
        control.requestSize = worker.running->size;
        post(worker, Control::kRequest);
    }
    return true;
}

// Takes back the request posted ahead to the worker, unless it has started.
bool WorkerPool::takeBack(Worker& worker) {
    std::uint32_t posted = Control::kPosted;
    if (!worker.ahead || !worker.control->next.compare_exchange_strong(posted, Control::kEmpty))
        return false;
    takenBack_.push_back(std::move(*worker.ahead));
    worker.ahead.reset();
    return true;
}

// The worker goes: its request posted ahead is taken back if it never started, or else
// answered with `text`, as the run it followed is; either way exactly once.
void WorkerPool::settleAhead(Worker& worker, const std::string& text) {
    if (!worker.ahead || takeBack(worker)) return;
    startedAhead_.push_back(worker.ahead->peer.get());
    answers_.emplace_back(std::move(*worker.ahead), text);
    worker.ahead.reset();
}

bool WorkerPool::takeBackOne() {
    for (Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy && takeBack(worker)) return true;
    }
    return false;
}

std::size_t WorkerPool::waitingCount() const {
    std::size_t waiting = takenBack_.size();
    for (const Worker& worker : workers_)
        waiting += worker.ahead ? 1 : 0;
    return waiting;
}

void WorkerPool::abandon(std::string_view text, Clock::time_point now) {
    for (Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy)
            cutShort(worker, std::string(text), LossCause::Stopping, now);
    }
    for (Request& waiting : takenBack_)
        answers_.emplace_back(std::move(waiting), std::string(text));
    takenBack_.clear();
}

Clock::time_point WorkerPool::nextDue(Clock::time_point until) const {
    for (const Worker& worker : workers_) {
        if (worker.vacant) continue;
        switch (worker.state) {
        case Worker::State::Busy:
            until = std::min(until, worker.running->deadlines.next());
            break;
        case Worker::State::Collecting:
            until = std::min(until, worker.collection.next());
            break;
        case Worker::State::Idle:
            if (worker.collectDue) until = std::min(until, worker.idleSince + kIdleRelease);
            break;
        case Worker::State::Down:
            until = std::min(until, worker.retryAt);
            break;
        case Worker::State::Starting:
            until = std::min(until, worker.started + kStartLimit);
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
        worker.control->sleeping.store(1);
        replied = replied || worker.control->state.load() == Control::kReply || claimed(worker);
    }
    return replied;
}

void WorkerPool::awake() {
    for (Worker& worker : workers_) {
        if (worker.control != nullptr) worker.control->sleeping.store(0, std::memory_order_relaxed);
    }
}

// An area that ZeroMQ is still sending from (to a slow reader) is looked at again at the
// next call, until it too has gone back.
bool WorkerPool::releaseMemory() {
    bool done = true;
    for (Worker& worker : workers_) {
        if (worker.state == Worker::State::Collecting) done = false; // its turn comes later
        if (worker.state != Worker::State::Idle) continue;
        for (SharedArea& request : worker.requests)
            request.release(kAreaKeep);
        done = worker.replies.release(kAreaKeep) && done;
    }
    return done;
}

} // namespace qel
