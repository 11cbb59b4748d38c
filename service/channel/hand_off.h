// hand_off.h - the protocol of a worker's control block (channel.h) as the steps each side
// takes, and the only code that touches the block's words: the supervisor posts a job or
// one ahead, takes one back, sees a reply or a claim; the worker reads its job, leaves
// its reply's figures, claims the job posted ahead and says it is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "channel.h"

namespace qel {

// One job as the supervisor posts it: which run, which request area, which reply area.
struct Job {
    std::uint32_t sequence = 0;
    std::uint32_t requestArea = 0;
    std::uint32_t replyArea = 0;
    std::uint64_t requestSize = 0;
};

// What a worker says of the reply it left in one area. Only figures, which the supervisor
// checks against what it maps before it reads a byte.
struct ReplyFigures {
    std::uint64_t size = 0;
    bool ok = false;
    bool inArena = false;
    std::uint64_t offset = 0;
};

// The supervisor's side, as the steps it takes on one worker's block. What it posts (the
// run's number and request area) it keeps itself; from the block it reads only the words
// the worker may write, and trusts none of them beyond the choice between two outcomes.
class SupervisorHandOff {
  public:
    SupervisorHandOff() = default;
    explicit SupervisorHandOff(Control* control) : control_(control) {}

    bool attached() const { return control_ != nullptr; }
    bool ready() const { return control_->ready.load(std::memory_order_acquire) != 0; }
    // A request in the first request area, its reply to be built in replyArea; a
    // collection. arenaHeld: ZeroMQ still sends the worker's last reply from its arena.
    void dispatch(std::uint64_t size, std::uint32_t replyArea, bool arenaHeld);
    void collect(std::uint32_t replyArea, bool arenaHeld);
    // The worker is done with its run, or with the collection.
    bool replied() const {
        return control_->state.load(std::memory_order_acquire) == Control::kReply;
    }
    ReplyFigures reply(std::uint32_t area) const;
    // Sets the worker idle after its reply is taken, so it sleeps until the next post.
    void idle() { control_->state.store(Control::kIdle, std::memory_order_release); }

    // The slot for a job posted ahead is free once the worker has copied out the last one
    // posted there (it stores kEmpty after its claim); until then a new one would
    // overwrite what it copies.
    bool slotFree() const {
        return control_->next.load(std::memory_order_acquire) == Control::kEmpty;
    }
    // The request area a job posted ahead goes in: the one the run does not use.
    std::uint32_t aheadArea() const { return 1 - requestArea_; }
    void postAhead(std::uint64_t size, std::uint32_t replyArea);
    // With one posted: anything but kPosted says the worker has claimed it.
    bool claimed() const {
        return control_->next.load(std::memory_order_acquire) != Control::kPosted;
    }
    // Withdraws the job posted ahead, unless the worker has claimed it.
    bool withdraw();
    // The reply before has gone out, and the job posted ahead becomes the run, in the
    // other request area: true when the worker had claimed it and runs it already;
    // otherwise it is to be posted again, with repost().
    bool startAhead();
    void repost(std::uint64_t size, std::uint32_t replyArea, bool arenaHeld);
    // When the worker last tried to claim, which is when a claimed job started, or later.
    std::int64_t claimedAt() const { return control_->takenAt.load(std::memory_order_relaxed); }

    std::uint32_t sequence() const { return sequence_; }
    std::uint32_t requestArea() const { return requestArea_; }
    // The last job said ZeroMQ still sent the arena reply, so the worker keeps its bytes.
    bool toldArenaHeld() const { return toldArenaHeld_; }
    std::uint64_t heapBytes() const { return control_->heapBytes.load(std::memory_order_relaxed); }
    // Why the worker could not start, as it left it.
    std::string failure() const;

    // The sleep protocol: set before the loop sleeps, with a look at whether the worker
    // replied or claimed first (then it may not ring).
    void sleeping(bool asleep) {
        if (asleep) {
            control_->sleeping.store(1);
        } else {
            control_->sleeping.store(0, std::memory_order_relaxed);
        }
    }
    bool doneOrClaimed(bool aheadPosted) const {
        return control_->state.load() == Control::kReply ||
               (aheadPosted && control_->next.load() != Control::kPosted);
    }

  private:
    void post(std::uint32_t kind, std::uint64_t size, std::uint32_t replyArea, bool arenaHeld);

    Control* control_ = nullptr;
    std::uint32_t sequence_ = 0;    // of the last job; the deadline signal names it
    std::uint32_t requestArea_ = 0; // the run's; a job posted ahead uses the other
    bool toldArenaHeld_ = false;
};

// The worker's side, as the transitions it takes one at a time. Each touches the block
// once (a load, a store, a compare-and-swap or one copy between fields), so any order of
// them and the supervisor's steps is an order the two processes can take; the worker
// runs them in a loop, and the interleaving test in every order it can.
class WorkerHandOff {
  public:
    enum class Step : std::uint8_t {
        Wait,    // for a job: loads `state`
        Run,     // the request, into the reply area its job names
        Collect, // the full collection
        Look,    // whether a job is posted ahead; if so, the time of the claim
        Claim,   // kPosted -> kTaken
        Copy,    // the job posted ahead becomes the run's
        Free,    // kEmpty: the slot is the supervisor's again
        Finish,  // kReply: the supervisor takes the reply
    };

    // ring wakes the supervisor when it has said it sleeps.
    WorkerHandOff(Control& control, void (*ring)()) : control_(control), ring_(ring) {}

    // Says the worker can serve, with the heap its state starts from.
    void ready(std::uint64_t heapBytes);
    Step at() const { return at_; }
    bool postedAhead() const { return postedAhead_; }
    // Waiting, with nothing posted: the caller may sleep on `state` while it holds `seen`.
    // Only Wait looks at the word, so a run's steps do not read a line the supervisor
    // may be writing.
    bool idle(std::uint32_t& seen) const {
        if (at_ != Step::Wait) return false;
        seen = control_.state.load(std::memory_order_acquire);
        return seen != Control::kRequest && seen != Control::kCollect;
    }
    // Sleeps on the futex, at most `limit`, while idle(); false, at once, when not.
    bool sleepUntilPosted(std::chrono::nanoseconds limit) {
        std::uint32_t seen = 0;
        if (!idle(seen)) return false;
        futexWait(control_.state, seen, limit);
        return true;
    }
    // Takes the next transition: run(job, postedAhead) serves a request and leave()s its
    // reply; collect(job) the collection.
    template <class Run, class Collect> void step(Run&& run, Collect&& collect);

    // Whether the reply last sent from the arena may go: only a job the supervisor posted
    // after sending that reply says whether ZeroMQ still reads it; one posted ahead was
    // posted before that reply even existed.
    bool arenaReleased(bool postedAhead) const { return !postedAhead && control_.arenaHeld == 0; }
    // Leaves the figures of the reply just built in `area`, and the heap it left.
    void leave(std::uint32_t area, const ReplyFigures& reply, std::uint64_t heapBytes);
    void failed(const std::string& error);

  private:
    // The run's job, its areas read as one of the two whatever the words hold.
    Job current() const;
    void wait();
    bool look();
    bool claim();
    void copyAhead();
    void free();
    void finish();
    void ringIfAsleep() {
        if (control_.sleeping.load() != 0) ring_();
    }

    Control& control_;
    void (*ring_)();
    Step at_ = Step::Wait;
    bool postedAhead_ = false; // the run's job was claimed ahead, not posted
};

template <class Run, class Collect> void WorkerHandOff::step(Run&& run, Collect&& collect) {
    switch (at_) {
    case Step::Wait:
        return wait();
    case Step::Run:
        run(current(), postedAhead_);
        at_ = Step::Look;
        return;
    case Step::Collect:
        collect(current());
        at_ = Step::Finish;
        return;
    case Step::Look:
        at_ = look() ? Step::Claim : Step::Finish;
        return;
    case Step::Claim:
        at_ = claim() ? Step::Copy : Step::Finish;
        return;
    case Step::Copy:
        copyAhead();
        at_ = Step::Free;
        return;
    case Step::Free:
        return free();
    case Step::Finish:
        return finish();
    }
}

} // namespace qel
