// worker_pool.h - the workers and every change of their state, as one table whose only
// state-change point is enter(). A worker is Down (no process), Starting, Idle, Busy with
// one request, Replied (its reply waits to be sent) or Collecting (its idle collection,
// timed like a request). Its members are defined by concern: the table and dispatch
// (worker_pool.cpp), processes (worker_lifecycle.cpp), deadlines (worker_deadlines.cpp),
// posting ahead (worker_ahead.cpp), reloads (worker_reload.cpp) and replies
// (worker_replies.cpp). The pool sends nothing: its answers go to an Outbox for the loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "generations.h"
#include "metrics.h"
#include "options.h"
#include "outbox.h"
#include "preload_snapshot.h"
#include "reply_sender.h"
#include "request.h"
#include "worker.h"

namespace qel {

// How far past --max-seconds a run may go before its worker is killed: the signalled
// deadline normally stops it within microseconds.
inline constexpr auto kGrace = std::chrono::milliseconds(500);
// Idle this long, a worker runs its full collection and the service gives back the
// memory that large requests left; also how often unused peers are forgotten.
inline constexpr auto kIdleRelease = std::chrono::seconds(1);

// How a reload ended, for the loop to say.
struct ReloadOutcome {
    bool ok = false;
    std::string error; // why not, when not ok
};

// The most worker slots a pool of `workers` has: the serving generation, a reload's new
// one, and the workers of older ones still finishing what they run (at most `workers`
// run at once). A reload that would need more fails.
constexpr std::size_t maxWorkerSlots(int workers) {
    return 3 * static_cast<std::size_t>(workers);
}

class WorkerPool {
  public:
    // doorbell is the eventfd workers ring; exe a descriptor of the service's executable;
    // metrics counts the workers by state and those lost.
    WorkerPool(const ServiceOptions& options, int doorbell, int exe, MetricsWriter& metrics);
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
    bool reloading() const { return generations_.reloading(); }
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
    Answer* nextAnswer() { return outbox_.next(); }
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
    // cannot wait longer); so too every request posted ahead or withdrawn.
    void abandon(std::string_view text, Clock::time_point now);

    // Requests posted ahead. While requests wait and no worker is idle, the next one may
    // be posted to a busy worker with none yet, whose other reply area ZeroMQ does not
    // hold (canPostAhead()); the worker claims it when its run ends and starts it at
    // once. False when it was answered instead. The peers of those that have started
    // since the caller last looked are in startedAhead(), for the caller to empty.
    bool canPostAhead() const;
    bool postAhead(Request&& request);
    std::vector<PeerPtr>& startedAhead() { return startedAhead_; }
    // One not yet claimed is withdrawn when another worker comes idle (the caller asks,
    // withdrawOne()) or its own worker goes; withdrawn() holds them, oldest first, for
    // the caller to put first in line again, whose turn they had already had.
    bool withdrawOne();
    std::deque<Request>& withdrawn() { return withdrawn_; }
    const std::deque<Request>& withdrawn() const { return withdrawn_; }
    // The requests that wait in the pool for a worker: posted ahead, or withdrawn.
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
    // The table.
    void enter(Worker& worker, Worker::State state);
    Series& countOf(Worker::State state) {
        return metrics_.series().workers[static_cast<std::size_t>(state)];
    }
    void noteHeap(const Worker& worker, Worker::State state);
    void vacate(Worker& worker);
    Worker* vacantSlot();
    bool serving(const Worker& worker) const { return generations_.serves(worker.generation); }
    bool pending(const Worker& worker) const { return generations_.starting(worker.generation); }
    // Processes.
    bool spawn(Worker& worker, Clock::time_point now);
    bool openChannel(Worker& worker);
    void settleStart(Worker& worker, Clock::time_point now);
    void down(Worker& worker, Clock::time_point retryAt);
    void reap();
    void ended(Worker& worker, int status);
    void lost(const Worker& worker, LossCause cause, const std::string& text, int status = -1);
    void replace(Worker& worker, Clock::time_point now);
    void waitForDoorbell(int signals, Clock::duration limit);
    // Deadlines.
    Deadlines& deadlines(Worker& worker);
    void enforce(Worker& worker, Clock::time_point now);
    void cutShort(Worker& worker, std::string text, LossCause cause, Clock::time_point now);
    void startCollection(Worker& worker, Clock::time_point now);
    // Posting ahead.
    bool roomAhead(const Worker& worker) const;
    bool claimed(const Worker& worker) const;
    bool startAhead(Worker& worker, Clock::time_point now);
    bool withdraw(Worker& worker);
    void settleAhead(Worker& worker, const std::string& text);
    // Reloads.
    void failReload(std::string error);
    void settleReload(Clock::time_point now);
    void retireIdle(Worker& worker, Clock::time_point now);
    // Replies.
    void finishRun(Worker& worker);
    void takeReply(Worker& worker);
    void becomeIdle(Worker& worker, Clock::time_point now);

    const ServiceOptions& options_;
    MetricsWriter& metrics_;
    int doorbell_;
    int exe_;
    std::optional<Clock::duration> limit_; // --max-seconds, if any
    // Slots are never removed, so an answer's slot number stays good; a reload reuses
    // vacant ones, and adds some only while retiring workers still hold theirs, up to
    // maxWorkerSlots().
    std::deque<Worker> workers_;
    Generations generations_;
    std::optional<ReloadOutcome> outcome_;
    std::size_t nextWorker_ = 0;
    Outbox outbox_;
    std::deque<Request> withdrawn_;     // before they were claimed, oldest first
    std::vector<PeerPtr> startedAhead_; // the peers of requests posted ahead that started
    bool childEnded_ = false;           // since the last reap()
};

} // namespace qel
