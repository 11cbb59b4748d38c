// worker_pool.h - the worker processes and every change of their state. A worker is
// Down (no process), Starting, Idle, Busy with one request, Replied (its reply waits to be
// sent) or Collecting (its idle collection, timed like a request). Spawning, start-up,
// deadlines, reaping, replacement and what a worker's request is answered are decided
// here; the pool sends nothing, it lists its answers for the loop to hand to the sender,
// and the loop says when a child process has ended. A reload starts a second generation
// beside the serving one: requests go to one generation only, the serving one, which the
// new one becomes once every worker of it is ready. Under load a busy worker may hold one
// more request posted ahead (channel.h), which it starts as soon as it is done, or which
// the pool takes back for a worker that is idle sooner.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <variant>
#include <vector>

#include "channel.h"
#include "metrics.h"
#include "options.h"
#include "preload_snapshot.h"
#include "reply_sender.h"
#include "request.h"

namespace qel {

// How far past --max-seconds a run may go before its worker is killed: the signalled
// deadline normally stops it within microseconds.
inline constexpr auto kGrace = std::chrono::milliseconds(500);
// Idle this long, a worker runs its full collection and the service gives back the
// memory that large requests left; also how often unused peers are forgotten.
inline constexpr auto kIdleRelease = std::chrono::seconds(1);

struct Worker {
    enum class State { Down, Starting, Idle, Busy, Replied, Collecting };
    State state = State::Down;
    pid_t pid = -1;
    SharedArea controlArea;
    Control* control = nullptr;
    SharedArea requests[2]; // the running request's and the one posted ahead
    ReplyAreas replies;
    std::optional<Request> running; // while Busy
    // Posted ahead, behind the run (Busy) or behind the reply being sent (Replied).
    std::optional<Request> ahead;
    std::uint32_t requestArea = 0; // the running request's area; one posted ahead uses the other
    Clock::time_point runStart{};  // when the running request started
    Deadlines collection;          // while Collecting
    std::uint32_t sequence = 0;    // of its last run; the deadline signal names it
    bool collectDue = false;       // it has served a request since its last collection
    // Its last job said ZeroMQ still sent its arena reply, so it keeps that reply's bytes
    // until a job says otherwise.
    bool toldArenaHeld = false;
    Clock::time_point idleSince{};
    Clock::time_point started{};
    Clock::time_point retryAt{};  // while Down: when to start a new process
    std::size_t slot = 0;         // its place in the pool, which answers name it by
    std::uint64_t generation = 0; // of the --preload files it runs
    bool vacant = false;          // no worker of any generation: Down, and not counted
};

// How a reload ended, for the loop to say.
struct ReloadOutcome {
    bool ok = false;
    std::string error; // why not, when not ok
};

// What the pool decided to answer a request with.
struct Answer {
    // The reply a worker left in its current reply area (or its arena): `size` bytes, an
    // error reply unless `ok`. Until the loop reports it handed to ZeroMQ, that worker is Replied,
    // so it takes no request and no area is chosen for its next reply.
    struct FromWorker {
        std::size_t worker; // its place in the pool
        ReplyAreas* areas;
        std::size_t size;
        bool ok;
        bool inArena; // the reply lies in the worker's arena, at offset
        std::uint64_t offset;
        // A request posted ahead waits for the area: a small reply is better copied
        // than sent from it, which leaves the area to ZeroMQ until its thread lets go.
        bool keepArea;
    };

    Answer(Request&& to, std::string text) : request(std::move(to)), reply(std::move(text)) {}
    Answer(Request&& to, const FromWorker& from) : request(std::move(to)), reply(from) {}

    Request request;
    std::variant<std::string, FromWorker> reply; // a text of supervisor_replies.h, or the worker's
};

class WorkerPool {
  public:
    // doorbell is the eventfd workers ring; exe a descriptor of the service's executable;
    // metrics counts the workers by state and those lost.
    WorkerPool(const ServiceOptions& options, int doorbell, int exe, Metrics& metrics);
    // Kills every worker process and waits for it.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts every worker and waits until all can serve, waking also when `signals` (a
    // descriptor) is readable; then `stopped` takes what arrived and says whether a stop
    // has come. False when one came first; throws std::runtime_error when they cannot start.
    // The workers run `files`, as every worker of the first generation does.
    bool start(PreloadSnapshot files, int signals, const std::function<bool()>& stopped);
    // Starts a new generation of workers, as many as --workers, that run `files`; the
    // serving one keeps every request until the new one is ready. Only when !reloading().
    void reload(PreloadSnapshot files, Clock::time_point now);
    bool reloading() const { return pending_.has_value(); }
    // Ends the new generation, if one is starting (a stop has come).
    void cancelReload();
    // How the last reload ended, once, when it has.
    std::optional<ReloadOutcome> takeReloadOutcome() { return std::exchange(outcome_, {}); }
    std::size_t size() const { return static_cast<std::size_t>(options_.workers); }
    // A child process has ended (SIGCHLD, which may stand for several): the next tick(),
    // or start()'s next look, reaps every one that has.
    void childEnded() { childEnded_ = true; }
    // Does what is due by now: takes replies, reaps ended workers, enforces deadlines,
    // starts replacements and idle collections.
    void tick(Clock::time_point now);

    // The answers decided by tick(), dispatch() and abandon(), first to last: the loop
    // hands the first to the ReplySender, then reports how that went with answered(),
    // which takes it off the list (or, when a worker's reply could not go out, replaces
    // the worker and makes it the catalogue's text, so it is answered next).
    Answer* nextAnswer() { return sent_ < answers_.size() ? &answers_[sent_] : nullptr; }
    void answered(ReplySender::Sent sent, Clock::time_point now);
    // The earliest moment tick() has something to do, or `until` if that is sooner.
    Clock::time_point nextDue(Clock::time_point until) const;

    // The longest a run may take before its worker is killed; none without --max-seconds.
    std::optional<Clock::duration> longestRun() const {
        return limit_ ? std::optional<Clock::duration>(*limit_ + kGrace) : std::nullopt;
    }
    bool hasIdle() const;
    bool anyBusy() const;
    // Hands the request to the next idle worker, round robin, so sequential requests
    // from one client visit every worker in turn. There must be one (hasIdle()).
    void dispatch(Request&& request, Clock::time_point now);
    // Answers every running request with `text` and kills its worker (a stop that
    // cannot wait longer); so too every request posted ahead or taken back.
    void abandon(std::string_view text, Clock::time_point now);

    // Requests posted ahead. While requests wait and no worker is idle, the next one may
    // be posted to a busy worker with none yet, whose other reply area ZeroMQ does not
    // hold (canPostAhead()); it starts there when the run before ends. False when it was
    // answered instead. The peers of those that have started since the caller last
    // looked are in startedAhead(), for the caller to empty.
    bool canPostAhead() const;
    bool postAhead(Request&& request);
    std::vector<PeerPtr>& startedAhead() { return startedAhead_; }
    // One that has not started is taken back when another worker comes idle (the caller
    // asks, takeBackOne()) or its own worker goes; takenBack() holds them, oldest first,
    // for the caller to put first in line again, whose turn they had already had.
    bool takeBackOne();
    std::deque<Request>& takenBack() { return takenBack_; }
    bool hasTakenBack() const { return !takenBack_.empty(); }
    // The requests that wait in the pool for a worker: posted ahead, or taken back.
    std::size_t waitingCount() const;

    // The sleep/wake protocol: before the loop sleeps it says so to every running
    // worker, which then rings the doorbell when it replies. True when one replied
    // before it saw that, so the loop must not sleep.
    bool announceSleep();
    void awake();

    // Gives back the pages idle workers' areas keep beyond what serving small requests
    // needs. False while an area is still held by ZeroMQ or a collection is running,
    // so the caller comes back later.
    bool releaseMemory();

  private:
    void enter(Worker& worker, Worker::State state);
    bool spawn(Worker& worker, Clock::time_point now);
    void settleStart(Worker& worker, Clock::time_point now);
    void down(Worker& worker, Clock::time_point retryAt);
    void reap();
    void ended(Worker& worker, int status);
    void finishRun(Worker& worker);
    void takeReply(Worker& worker);
    void enforce(Worker& worker, Clock::time_point now);
    void cutShort(Worker& worker, std::string text, LossCause cause, Clock::time_point now);
    void lost(const Worker& worker, LossCause cause, const std::string& text, int status = -1);
    void replace(Worker& worker, Clock::time_point now);
    void startCollection(Worker& worker, Clock::time_point now);
    void post(Worker& worker, std::uint32_t state);
    bool takeBack(Worker& worker);
    void settleAhead(Worker& worker, const std::string& text);
    bool startAhead(Worker& worker, Clock::time_point now);
    Deadlines& deadlines(Worker& worker);
    void dropAnswer();
    void waitForDoorbell(int signals, Clock::duration limit);
    void vacate(Worker& worker);
    bool serving(const Worker& worker) const { return worker.generation == serving_; }
    bool roomAhead(const Worker& worker) const;
    bool claimed(const Worker& worker) const;
    bool pending(const Worker& worker) const { return pending_ && worker.generation == *pending_; }
    const PreloadSnapshot& filesOf(const Worker& worker) const {
        return pending(worker) ? pendingFiles_ : servingFiles_;
    }
    void failReload(std::string error);
    void settleReload(Clock::time_point now);
    void retireIdle(Worker& worker, Clock::time_point now);

    const ServiceOptions& options_;
    Metrics& metrics_;
    int doorbell_;
    int exe_;
    std::optional<Clock::duration> limit_; // --max-seconds, if any
    // Slots are never removed, so an answer's slot number stays good; a reload reuses
    // vacant ones, and adds some only while retiring workers still hold theirs.
    std::deque<Worker> workers_;
    std::uint64_t serving_ = 1;
    std::uint64_t lastGeneration_ = 1;
    std::optional<std::uint64_t> pending_;
    PreloadSnapshot servingFiles_;
    PreloadSnapshot pendingFiles_;
    std::optional<ReloadOutcome> outcome_;
    std::size_t nextWorker_ = 0;
    // A vector read from sent_ on, emptied once all is sent: it keeps its capacity, so
    // an answer per request costs no allocation (a deque would take a block every few).
    std::vector<Answer> answers_;
    std::size_t sent_ = 0;
    std::deque<Request> takenBack_;     // before they started, oldest first
    std::vector<PeerPtr> startedAhead_; // the peers of requests posted ahead that started
    bool childEnded_ = false;           // since the last reap()
};

} // namespace qel
