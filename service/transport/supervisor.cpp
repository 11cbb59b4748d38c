// supervisor.cpp - the serving loop. Requests are read as soon as they arrive: each goes
// to an idle worker's channel, or waits in a bounded queue of the supervisor's own, so
// nothing waits behind a long script that another worker could serve. Each busy worker
// has two deadlines: at --max-seconds the supervisor signals it, and its own guards stop
// the request; a grace later the worker is killed and replaced.
#include "supervisor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <new>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include <zmq.hpp>

#include "access_control.h"
#include "channel.h"
#include "descriptors.h"
#include "envelope.h"
#include "jail.h"
#include "signals.h"

namespace qel {

namespace {

using Clock = std::chrono::steady_clock;

// How far past --max-seconds a request may run before its worker is killed: the
// signalled deadline normally stops it within microseconds.
constexpr auto kGrace = std::chrono::milliseconds(500);
// Time the socket gets to deliver the last replies when the service closes.
constexpr int kLingerMs = 500;
// The longest the loop waits without looking at its flags again.
constexpr auto kWake = std::chrono::milliseconds(100);
// A worker that ended without serving is not restarted sooner than this.
constexpr auto kRespawnDelay = std::chrono::milliseconds(200);
// How long the workers get to start.
constexpr auto kStartLimit = std::chrono::seconds(30);
// Idle this long, the supervisor gives back the memory that large requests left.
constexpr auto kIdleRelease = std::chrono::seconds(1);
// ZeroMQ's own queue of requests per connection, for what arrives while every worker is
// busy and before the supervisor takes it in; large enough that the socket's flow-control
// messages stay rare.
constexpr int kSocketHwm = 16;
// A single request part may be this many times --max-request before ZeroMQ drops the
// connection, so a request somewhat too large still gets its error reply.
constexpr std::size_t kPartFactor = 2;
// Requests each peer may have waiting for a worker, and their bytes all together
// (kQueueRequests of the largest request allowed); beyond, a request is answered busy.
constexpr int kQueuedPerPeer = 16;
constexpr std::size_t kQueueRequests = 4;
// Reply bytes a peer may leave unread before its new requests are answered busy (or
// the bound on all peers together, when that is lower).
constexpr std::size_t kUnreadPerPeer = std::size_t{64} << 20;
// What a channel's areas keep until the service idles: the request area after a large
// request, and the spare reply area (as much as the worker's reply buffer keeps, so a
// run of large replies does not pay for fresh pages each time).
constexpr std::size_t kAreaKeep = std::size_t{64} << 10;
constexpr std::size_t kReplyKeep = ReplyBuffer::kKeep;

constexpr char kReplaced[] =
    "; its worker was replaced, so the globals of earlier requests are gone";
constexpr char kBusy[] = "error: service is busy";
constexpr char kUnread[] = "error: service is busy: this peer has too many replies unread";

// What the supervisor knows of one peer (one routing identity). Every request of the
// peer that is queued or running, and every reply of it that ZeroMQ still holds, shares
// the ownership of the record: the table of peers drops its own share when it is the
// last one, and a reply that ZeroMQ lets go of later (the peer read it, left, or the
// socket closed) still finds its record alive.
struct Peer {
    int queued = 0;                     // requests queued or running
    std::atomic<std::size_t> unread{0}; // reply bytes ZeroMQ holds for it
};
using PeerPtr = std::shared_ptr<Peer>;

// Reply bytes ZeroMQ holds for all peers together. Static, since ZeroMQ may let go of
// the last replies while its context closes, after the supervisor is gone.
std::atomic<std::size_t> gUnreadAll{0};

// One of a worker's two reply areas. While ZeroMQ sends a reply straight from it, it is
// held: the worker builds its next reply in the other one.
struct ReplyArea {
    SharedArea area;
    std::atomic<bool> held{false};
};

// What a reply in flight keeps alive until ZeroMQ lets go of it: the area it is read
// from (when sent in place), and the peer it is charged to.
struct InFlight {
    std::shared_ptr<ReplyArea> area;
    PeerPtr peer;
    std::size_t size;
    // Stored last by the loop and loaded first by the callback. ZeroMQ passes the message
    // between its threads through lock-free queues that ThreadSanitizer does not see;
    // this pair shows it the hand-over that those queues already order.
    std::atomic<bool> handedOver{false};
};

// Runs on ZeroMQ's I/O thread, or on the loop's when ZeroMQ refuses the message.
extern "C" void releaseReply(void*, void* hint) {
    std::unique_ptr<InFlight> flight(static_cast<InFlight*>(hint));
    (void)flight->handedOver.load(std::memory_order_acquire);
    flight->peer->unread.fetch_sub(flight->size, std::memory_order_release);
    gUnreadAll.fetch_sub(flight->size, std::memory_order_release);
    if (flight->area) flight->area->held.store(false, std::memory_order_release);
}

extern "C" void freeCopy(void* data, void* hint) {
    releaseReply(data, hint);
    std::free(data);
}

struct Worker {
    // Collecting: asked for its idle collection, and timed as if it ran a request.
    enum class State { Down, Starting, Idle, Busy, Collecting };
    State state = State::Down;
    pid_t pid = -1;
    SharedArea controlArea;
    Control* control = nullptr;
    SharedArea request;
    std::shared_ptr<ReplyArea> replies[2];
    std::uint32_t replyArea = 0; // the one the running request builds its reply in
    Envelope envelope;
    PeerPtr peer; // of the request running
    std::size_t requestSize = 0;
    std::uint32_t sequence = 0;
    bool signalled = false;  // the deadline signal was sent
    bool collectDue = false; // it has served a request since its last collection
    Clock::time_point idleSince{};
    Clock::time_point started{};
    Clock::time_point softDeadline{};
    Clock::time_point deadline{};
    Clock::time_point retryAt{};
};

struct Queued {
    Envelope envelope;
    PeerPtr peer;
};

class Supervisor {
  public:
    Supervisor(const ServiceOptions& options, zmq::socket_t& front, int doorbell, int exe);

    bool start();
    void serve();
    void shutdown();

  private:
    bool spawn(Worker& worker);
    void reap();
    void collect(Clock::time_point now);
    void take(Worker& worker, Clock::time_point now);
    void replace(Worker& worker, const std::string& text, Clock::time_point now);
    void arm(Worker& worker, Clock::time_point now);
    void startCollection(Worker& worker, Clock::time_point now);
    void dispatch(Worker& worker, Envelope& envelope, PeerPtr peer, Clock::time_point now);
    void admit(Envelope& envelope, Clock::time_point now);
    void intake(Clock::time_point now);
    void drainFront(Clock::time_point now);
    void wait(Clock::time_point now);
    void idle(Clock::time_point now);
    void answer(Envelope& envelope, std::string_view text, std::size_t in, Clock::time_point since);
    void log(const Envelope& envelope, std::size_t in, std::size_t out, bool ok,
             Clock::time_point since);
    PeerPtr peerOf(const Envelope& envelope);
    const char* unreadRefusal(const Peer& peer) const;
    Worker* idleWorker(bool take = true);
    bool anyBusy() const;

    const ServiceOptions& options_;
    zmq::socket_t& front_;
    int frontFd_;
    int doorbell_;
    std::string exePath_;
    std::vector<Worker> workers_;
    std::size_t nextWorker_ = 0;
    std::optional<Clock::duration> limit_;
    std::size_t queueBudget_;
    std::deque<Queued> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t unreadBudget_; // for all peers together; SIZE_MAX for none
    std::unordered_map<std::string, PeerPtr> peers_;
    bool intakeOpen_ = true;
    bool lookAgain_ = false; // requests may be left that ZeroMQ will not signal again
    std::optional<Clock::time_point> stopDeadline_;
    Clock::time_point lastActive_ = Clock::now();
    Clock::time_point lastSweep_ = Clock::now();
    bool released_ = true;
};

Supervisor::Supervisor(const ServiceOptions& options, zmq::socket_t& front, int doorbell, int exe)
    : options_(options), front_(front), frontFd_(front.get(zmq::sockopt::fd)), doorbell_(doorbell),
      exePath_("/proc/self/fd/" + std::to_string(exe)),
      workers_(static_cast<std::size_t>(options.workers)) {
    if (options_.limits.maxSeconds > 0 && options_.limits.maxSeconds < 1e9) {
        limit_ = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options_.limits.maxSeconds));
    }
    const std::size_t largest = options_.limits.maxRequest;
    queueBudget_ =
        largest == 0 || largest > SIZE_MAX / kQueueRequests ? SIZE_MAX : largest * kQueueRequests;
    const std::size_t unread = options_.maxUnread.value_or(options_.limits.maxMemory);
    unreadBudget_ = unread == 0 ? SIZE_MAX : unread;
}

bool Supervisor::spawn(Worker& worker) {
    worker = Worker{};
    try {
        worker.controlArea = SharedArea::create("qel-lua-control", sizeof(Control));
        worker.request = SharedArea::create("qel-lua-request", kAreaKeep);
        for (std::shared_ptr<ReplyArea>& reply : worker.replies) {
            reply = std::make_shared<ReplyArea>();
            reply->area = SharedArea::create("qel-lua-reply", kAreaKeep);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-lua-service: cannot make a worker channel: %s\n", e.what());
        return false;
    }
    worker.control = new (worker.controlArea.data()) Control{};

    std::vector<std::string> args = {"qel-lua-service", "--worker=" + std::to_string(getpid())};
    args.insert(args.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // No environment (unless trusted) and none of the service's standard input and
    // output: a worker keeps only its channel and standard error, where it logs (see
    // jail.h).
    std::vector<std::string> environment = workerEnvironment(options_.limits.trusted);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, worker.controlArea.fd(), kControlFd);
    posix_spawn_file_actions_adddup2(&actions, worker.request.fd(), kRequestFd);
    for (int i = 0; i < 2; ++i)
        posix_spawn_file_actions_adddup2(&actions, worker.replies[i]->area.fd(), kReplyFds[i]);
    posix_spawn_file_actions_adddup2(&actions, doorbell_, kDoorbellFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int failed =
        posix_spawn(&worker.pid, exePath_.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        worker.pid = -1;
        std::fprintf(stderr, "qel-lua-service: cannot start a worker: %s\n", std::strerror(failed));
        return false;
    }
    worker.state = Worker::State::Starting;
    worker.started = Clock::now();
    return true;
}

bool Supervisor::start() {
    for (Worker& worker : workers_) {
        if (!spawn(worker)) return false;
    }
    const auto deadline = Clock::now() + kStartLimit;
    for (;;) {
        reap();
        bool ready = true;
        for (Worker& worker : workers_) {
            if (worker.state == Worker::State::Down) return false;
            if (worker.control->ready.load(std::memory_order_acquire) == 0) ready = false;
        }
        if (ready) break;
        takeSignals();
        if (stopRequested() || Clock::now() > deadline) return false;
        pollfd fds[2] = {{doorbell_, POLLIN, 0}, {signalDescriptor(), POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(kWake.count())) > 0 && (fds[0].revents & POLLIN) != 0) {
            std::uint64_t rings = 0;
            (void)!read(doorbell_, &rings, sizeof rings);
        }
    }
    for (Worker& worker : workers_)
        worker.state = Worker::State::Idle;
    return true;
}

PeerPtr Supervisor::peerOf(const Envelope& envelope) {
    PeerPtr& peer = peers_[std::string(envelope.identity())];
    if (!peer) peer = std::make_shared<Peer>();
    return peer;
}

// The answer to a new request of this peer while too many replies are left unread, its
// own or those of all peers together; null while they are not. Checked before a request
// runs, so each worker may add one more reply beyond the bound.
const char* Supervisor::unreadRefusal(const Peer& peer) const {
    if (peer.unread.load(std::memory_order_acquire) > std::min(kUnreadPerPeer, unreadBudget_))
        return kUnread;
    return gUnreadAll.load(std::memory_order_acquire) > unreadBudget_ ? kBusy : nullptr;
}

void Supervisor::log(const Envelope& envelope, std::size_t in, std::size_t out, bool ok,
                     Clock::time_point since) {
    if (!options_.verbose) return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    std::fprintf(stderr, "qel-lua-service: peer %s in %zu out %zu %.3f ms %s\n", envelope.peer(),
                 in, out, ms, ok ? "ok" : "error");
}

// Answers with a text of the supervisor's own: always an error.
void Supervisor::answer(Envelope& envelope, std::string_view text, std::size_t in,
                        Clock::time_point since) {
    envelope.reply(front_, text);
    log(envelope, in, text.size(), false, since);
}

// Picks up workers that ended. One that ended by itself had a fault (or hit the
// operating system's memory ceiling): its request is answered and it is replaced.
void Supervisor::reap() {
    if (!takeChildExit()) return;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (Worker& worker : workers_) {
            if (worker.pid != pid) continue;
            const Clock::time_point now = Clock::now();
            worker.pid = -1;
            const std::string how = WIFSIGNALED(status)
                                        ? "signal " + std::to_string(WTERMSIG(status))
                                        : "status " + std::to_string(WEXITSTATUS(status));
            if (worker.state == Worker::State::Busy) {
                worker.peer->queued--;
                worker.peer.reset();
                answer(worker.envelope,
                       "error: the worker running this request ended (" + how + ")" + kReplaced,
                       worker.requestSize, worker.started);
                worker.retryAt = now;
            } else {
                std::fprintf(stderr, "qel-lua-service: a worker ended (%s)\n", how.c_str());
                worker.retryAt = now + kRespawnDelay;
            }
            worker.state = Worker::State::Down;
        }
    }
}

// The reply is in the worker's reply area. It is sent straight from there, and charged
// to the peer until ZeroMQ lets go of it, unless the other area is still being sent
// from: then it is copied, so that the worker always has an area to build the next
// reply in.
void Supervisor::take(Worker& worker, Clock::time_point now) {
    const std::size_t size = worker.control->replySize;
    const std::shared_ptr<ReplyArea>& area = worker.replies[worker.replyArea];
    if (!area->area.cover(size)) {
        replace(worker, "error: the worker's reply could not be read", now);
        return;
    }
    const bool inPlace =
        !worker.replies[1 - worker.replyArea]->held.load(std::memory_order_acquire);
    void* copy = inPlace ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (!inPlace && copy == nullptr) {
        replace(worker, "error: not enough memory", now);
        return;
    }
    auto flight = std::make_unique<InFlight>();
    flight->area = inPlace ? area : nullptr;
    flight->peer = worker.peer;
    flight->size = size;
    zmq::message_t message;
    try {
        if (inPlace) {
            message.rebuild(area->area.data(), size, releaseReply, flight.get());
        } else {
            if (size != 0) std::memcpy(copy, area->area.data(), size);
            message.rebuild(copy, size, freeCopy, flight.get());
        }
    } catch (const zmq::error_t&) { // ZeroMQ could not allocate the message
        std::free(copy);
        replace(worker, "error: not enough memory", now);
        return;
    }
    // From here on the message owns the record, and ZeroMQ's callback gives it back.
    InFlight& handed = *flight.release();
    if (inPlace) area->held.store(true, std::memory_order_relaxed);
    worker.peer->unread.fetch_add(size, std::memory_order_relaxed);
    gUnreadAll.fetch_add(size, std::memory_order_relaxed);
    worker.peer->queued--;
    worker.peer.reset();
    const bool ok = worker.control->replyOk != 0;
    worker.control->state.store(Control::kIdle, std::memory_order_release);
    worker.state = Worker::State::Idle;
    worker.collectDue = true;
    worker.idleSince = now;
    handed.handedOver.store(true, std::memory_order_release);
    worker.envelope.reply(front_, message);
    log(worker.envelope, worker.requestSize, size, ok, worker.started);
}

// Kills the worker, answers its request with text (or says why an idle collection was
// cut short) and starts a new one.
void Supervisor::replace(Worker& worker, const std::string& text, Clock::time_point now) {
    kill(worker.pid, SIGKILL); // reaped later; the pid is forgotten here
    if (worker.state == Worker::State::Busy) {
        worker.peer->queued--;
        worker.peer.reset();
        answer(worker.envelope, text, worker.requestSize, worker.started);
    } else {
        std::fprintf(stderr, "qel-lua-service: a worker's idle collection ran past the time limit; "
                             "the worker was replaced\n");
    }
    worker.pid = -1;
    worker.state = Worker::State::Down;
    worker.retryAt = now;
}

// Both deadlines, from now: those of a request and those of an idle collection.
void Supervisor::arm(Worker& worker, Clock::time_point now) {
    worker.started = now;
    worker.softDeadline = limit_ ? now + *limit_ : Clock::time_point::max();
    worker.deadline = limit_ ? worker.softDeadline + kGrace : Clock::time_point::max();
    worker.signalled = false;
}

// The worker's full collection runs its finalizers, which under --trusted may loop; run
// while the worker looks idle, they would take the next request's time. So the
// supervisor asks for it, gives it a request's deadlines, and meanwhile deals requests
// to other workers or queues them.
void Supervisor::startCollection(Worker& worker, Clock::time_point now) {
    arm(worker, now);
    worker.collectDue = false;
    worker.state = Worker::State::Collecting;
    worker.control->sequence = ++worker.sequence;
    worker.control->state.store(Control::kCollect, std::memory_order_release);
    futexWake(worker.control->state);
}

void Supervisor::collect(Clock::time_point now) {
    for (Worker& worker : workers_) {
        switch (worker.state) {
        case Worker::State::Busy:
        case Worker::State::Collecting:
            if (worker.control->state.load(std::memory_order_acquire) == Control::kReply) {
                if (worker.state == Worker::State::Busy) {
                    take(worker, now);
                } else {
                    worker.control->state.store(Control::kIdle, std::memory_order_release);
                    worker.state = Worker::State::Idle;
                }
            } else if (now >= worker.deadline) {
                replace(worker, std::string("error: time limit exceeded") + kReplaced, now);
            } else if (now >= worker.softDeadline && !worker.signalled) {
                // The worker's guards stop the request at its next instruction.
                sigval value{};
                value.sival_int = static_cast<int>(worker.sequence);
                sigqueue(worker.pid, deadlineSignal(), value);
                worker.signalled = true;
            }
            break;
        case Worker::State::Starting:
            if (worker.control->ready.load(std::memory_order_acquire) != 0) {
                worker.state = Worker::State::Idle;
            } else if (now - worker.started > kStartLimit) {
                kill(worker.pid, SIGKILL);
                worker.pid = -1;
                worker.state = Worker::State::Down;
                worker.retryAt = now + kRespawnDelay;
            }
            break;
        case Worker::State::Down:
            if (now >= worker.retryAt && !spawn(worker)) worker.retryAt = now + kRespawnDelay;
            break;
        case Worker::State::Idle:
            if (worker.collectDue && now - worker.idleSince >= kIdleRelease) {
                startCollection(worker, now);
            }
            break;
        }
    }
}

// The first idle worker after the one last given a request: requests are dealt round
// robin, so sequential requests from one client visit every worker in turn. With take
// false it only says whether there is one.
Worker* Supervisor::idleWorker(bool take) {
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        const std::size_t at = (nextWorker_ + i) % workers_.size();
        if (workers_[at].state == Worker::State::Idle) {
            if (take) nextWorker_ = (at + 1) % workers_.size();
            return &workers_[at];
        }
    }
    return nullptr;
}

bool Supervisor::anyBusy() const {
    for (const Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy) return true;
    }
    return false;
}

void Supervisor::dispatch(Worker& worker, Envelope& envelope, PeerPtr peer, Clock::time_point now) {
    const std::size_t size = envelope.bodySize();
    if (!worker.request.reserve(size)) {
        peer->queued--;
        answer(envelope, "error: not enough memory", size, now);
        return;
    }
    envelope.takeBody(worker.request.data());
    worker.envelope = std::move(envelope);
    worker.peer = std::move(peer);
    worker.requestSize = size;
    arm(worker, now);
    worker.state = Worker::State::Busy;
    // The reply goes to an area ZeroMQ is not reading from (take() keeps one free); the
    // other gives back its pages beyond what is kept, unless it is still being sent.
    worker.replyArea = worker.replies[worker.replyArea]->held.load(std::memory_order_acquire)
                           ? 1 - worker.replyArea
                           : worker.replyArea;
    ReplyArea& spare = *worker.replies[1 - worker.replyArea];
    if (spare.area.mapped() > kReplyKeep && !spare.held.load(std::memory_order_acquire)) {
        spare.area.release(kReplyKeep);
    }
    worker.control->replyArea = worker.replyArea;
    worker.control->sequence = ++worker.sequence;
    worker.control->requestSize = size;
    worker.control->state.store(Control::kRequest, std::memory_order_release);
    futexWake(worker.control->state);
    released_ = false;
}

// A request just read: refused, run at once, or queued.
void Supervisor::admit(Envelope& envelope, Clock::time_point now) {
    const std::size_t size = envelope.bodySize();
    const std::size_t limit = options_.limits.maxRequest;
    if (limit != 0 && size > limit) {
        answer(envelope,
               "error: request too large: " + std::to_string(size) + " bytes, limit " +
                   std::to_string(limit),
               size, now);
        return;
    }
    PeerPtr peer = peerOf(envelope);
    if (const char* refusal = unreadRefusal(*peer)) {
        answer(envelope, refusal, size, now);
        return;
    }
    if (queue_.empty()) {
        if (Worker* worker = idleWorker()) {
            peer->queued++;
            dispatch(*worker, envelope, std::move(peer), now);
            return;
        }
    }
    if (peer->queued >= kQueuedPerPeer || size > queueBudget_ - queuedBytes_) {
        answer(envelope, kBusy, size, now);
        return;
    }
    peer->queued++;
    queuedBytes_ += size;
    queue_.push_back(Queued{std::move(envelope), std::move(peer)});
}

// Reads what has arrived, up to a bound so that a flood of requests cannot keep the
// loop from its replies. A receive that found nothing has also processed the socket's
// commands, after which ZeroMQ's descriptor signals whatever comes next. Once every
// worker is busy the rest waits for the next wake-up (a reply, a signal on that
// descriptor, or kWake), which saves a receive per request; ZeroMQ's own queue of
// kSocketHwm requests per connection bounds what gathers in between.
void Supervisor::drainFront(Clock::time_point now) {
    for (int i = 0; i < 256; ++i) {
        Envelope envelope;
        if (!envelope.receive(front_, options_.verbose)) {
            lookAgain_ = false;
            return;
        }
        admit(envelope, now);
        if (queue_.empty() && idleWorker(false) == nullptr) {
            lookAgain_ = false;
            return;
        }
    }
    lookAgain_ = true;
}

void Supervisor::intake(Clock::time_point now) {
    while (!queue_.empty()) {
        Worker* worker = idleWorker();
        if (worker == nullptr) break;
        Queued& next = queue_.front();
        queuedBytes_ -= next.envelope.bodySize();
        if (const char* refusal = unreadRefusal(*next.peer)) {
            // Replies piled up while this one waited.
            next.peer->queued--;
            answer(next.envelope, refusal, next.envelope.bodySize(), now);
        } else {
            dispatch(*worker, next.envelope, std::move(next.peer), now);
        }
        queue_.pop_front();
    }
    if (intakeOpen_) drainFront(now);
}

void Supervisor::wait(Clock::time_point now) {
    Clock::time_point until = now + kWake;
    for (const Worker& worker : workers_) {
        if (worker.state == Worker::State::Busy || worker.state == Worker::State::Collecting) {
            until = std::min(until, worker.signalled ? worker.deadline : worker.softDeadline);
        }
        if (worker.state == Worker::State::Idle && worker.collectDue) {
            until = std::min(until, worker.idleSince + kIdleRelease);
        }
        if (worker.state == Worker::State::Down) until = std::min(until, worker.retryAt);
    }
    if (stopDeadline_) until = std::min(until, *stopDeadline_);
    // Say so before sleeping, then look once more: a worker that replied before it saw
    // the flag has not rung, and its reply is taken without a wait.
    bool replied = false;
    for (Worker& worker : workers_) {
        if (worker.state != Worker::State::Busy && worker.state != Worker::State::Collecting)
            continue;
        worker.control->sleeping.store(1);
        replied = replied || worker.control->state.load() == Control::kReply;
    }
    struct Awake {
        std::vector<Worker>& workers;
        ~Awake() {
            for (Worker& worker : workers) {
                if (worker.control != nullptr)
                    worker.control->sleeping.store(0, std::memory_order_relaxed);
            }
        }
    } awake{workers_};
    // Signals (a worker ended, a stop) are taken in here, for the next round of the loop:
    // when it does not sleep, and when the poll says one came. An interrupted poll
    // (EINTR) is a wake-up like any other.
    if (replied || (intakeOpen_ && lookAgain_)) {
        takeSignals();
        return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    pollfd fds[3] = {
        {doorbell_, POLLIN, 0}, {signalDescriptor(), POLLIN, 0}, {frontFd_, POLLIN, 0}};
    if (poll(fds, intakeOpen_ ? 3 : 2, ms < 1 ? 1 : static_cast<int>(ms)) > 0) {
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t rings = 0;
            (void)!read(doorbell_, &rings, sizeof rings);
        }
        if ((fds[1].revents & POLLIN) != 0) takeSignals();
    }
}

// Every so often the table lets go of the peers that nothing else refers to: no
// request queued or running, no reply held, even an empty one. Once the service has been
// idle a while, what large requests left behind goes back to the system.
void Supervisor::idle(Clock::time_point now) {
    if (now - lastSweep_ >= kIdleRelease) {
        lastSweep_ = now;
        for (auto it = peers_.begin(); it != peers_.end();) {
            // Only this thread makes new references, so a count of one stays one.
            it = it->second.use_count() == 1 ? peers_.erase(it) : std::next(it);
        }
    }
    if (anyBusy() || !queue_.empty()) {
        lastActive_ = now;
        return;
    }
    if (released_ || now - lastActive_ < kIdleRelease) return;
    // An area that ZeroMQ is still sending from (to a slow reader) is looked at again at
    // the next wake-up, until it too has gone back.
    bool held = false;
    for (Worker& worker : workers_) {
        held = held || worker.state == Worker::State::Collecting; // its turn comes later
        if (worker.state != Worker::State::Idle) continue;
        worker.request.release(kAreaKeep);
        for (const std::shared_ptr<ReplyArea>& reply : worker.replies) {
            if (reply->held.load(std::memory_order_acquire)) {
                held = true;
            } else {
                reply->area.release(kAreaKeep);
            }
        }
    }
    malloc_trim(0);
    released_ = !held;
}

void Supervisor::serve() {
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (intakeOpen_ && stopRequested()) {
            // Everything that has reached the socket is taken in and will be answered,
            // within the time one more request may take.
            intakeOpen_ = false;
            Envelope envelope;
            while (envelope.receive(front_, options_.verbose))
                admit(envelope, now);
            if (limit_) stopDeadline_ = now + *limit_ + kGrace;
        }
        reap();
        collect(now);
        if (stopDeadline_ && now >= *stopDeadline_) {
            for (Queued& late : queue_)
                answer(late.envelope, "error: service is stopping", late.envelope.bodySize(), now);
            queue_.clear();
            for (Worker& worker : workers_) {
                if (worker.state == Worker::State::Busy) {
                    replace(worker, "error: service is stopping", now);
                }
            }
            return;
        }
        intake(now);
        if (!intakeOpen_ && queue_.empty() && !anyBusy()) return;
        idle(now);
        wait(now);
    }
}

void Supervisor::shutdown() {
    for (Worker& worker : workers_) {
        if (worker.pid > 0) kill(worker.pid, SIGKILL);
    }
    for (Worker& worker : workers_) {
        if (worker.pid > 0) waitpid(worker.pid, nullptr, 0);
        worker.pid = -1;
    }
}

void configureFront(zmq::socket_t& front, const ServiceOptions& options) {
    front.set(zmq::sockopt::linger, kLingerMs);
    front.set(zmq::sockopt::rcvhwm, kSocketHwm);
    front.set(zmq::sockopt::router_mandatory, true);
    const std::size_t limit = options.limits.maxRequest;
    if (limit != 0 && limit < static_cast<std::size_t>(INT64_MAX) / kPartFactor) {
        front.set(zmq::sockopt::maxmsgsize, static_cast<int64_t>(limit * kPartFactor));
    }
    if (isIpv6Endpoint(options.bind)) front.set(zmq::sockopt::ipv6, true);
    if (!options.allow.empty()) front.set(zmq::sockopt::zap_domain, kZapDomain);
}

} // namespace

int runSupervisor(const ServiceOptions& options) {
    // Before any thread starts, so that the threads ZeroMQ and the access control start
    // inherit the blocked signals too.
    if (!installSignalHandlers()) {
        std::perror("qel-lua-service: cannot take signals");
        return 1;
    }
    prepareDescriptors();
    const int exe = highDescriptor(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    const int doorbell = highDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (exe < 0 || doorbell < 0) {
        std::perror("qel-lua-service: cannot prepare the workers");
        return 1;
    }
    int status = 0;
    try {
        zmq::context_t context;
        std::unique_ptr<ZapHandler> zap;
        if (!options.allow.empty()) {
            zap = std::make_unique<ZapHandler>(context, options.allow, options.verbose);
        } else if (!isLoopbackEndpoint(options.bind)) {
            std::fprintf(stderr,
                         "qel-lua-service: warning: %s is not a loopback address and no --allow "
                         "is given; any peer that reaches it can run Lua here\n",
                         options.bind.c_str());
        }
        {
            zmq::socket_t front(context, zmq::socket_type::router);
            configureFront(front, options);
            try {
                front.bind(options.bind);
            } catch (const zmq::error_t& e) {
                std::fprintf(stderr, "qel-lua-service: cannot bind %s: %s\n", options.bind.c_str(),
                             e.what());
                status = 1;
            }
            if (status == 0) {
                Supervisor supervisor(options, front, doorbell, exe);
                if (supervisor.start()) {
                    std::printf("%s\n", front.get(zmq::sockopt::last_endpoint).c_str());
                    std::fflush(stdout);
                    supervisor.serve();
                } else if (!stopRequested()) {
                    std::fprintf(stderr, "qel-lua-service: the workers did not start\n");
                    status = 1;
                }
                supervisor.shutdown();
            }
        }
        context.shutdown();
        zap.reset();
        context.close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-lua-service: %s\n", e.what());
        status = 1;
    }
    close(doorbell);
    close(exe);
    return status;
}

} // namespace qel
