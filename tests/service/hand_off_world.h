// hand_off_world.h - one supervisor and one worker sharing a control block, for the
// interleaving test: the worker's steps are the transitions the worker process takes,
// the supervisor's the hand-off calls the pool makes, on real reply areas and a real arena.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hand_off.h"
#include "hand_off_parts.h"
#include "reply_areas.h"

namespace handoff {

// One run from the start: the block, both sides, the supervisor's view of the pool, and
// what each request was answered.
class World {
  public:
    // requests: how many the pool is given, at most kRequests.
    World(Areas& areas, const std::vector<Forgery>& forgeries, int requests)
        : areas_(areas), forgeries_(forgeries), control_(new Control{}),
          supervisor_(control_.get()), worker_(*control_, ring), given_(requests) {
        rings = 0;
        areas_.clear();
        for (int id = 0; id < given_; ++id)
            queue_.push_back(id);
    }

    std::vector<int> enabled() {
        std::vector<int> all;
        std::uint32_t seen = 0;
        // A worker that has forged a word is taken over: what it does next is any other
        // word it writes, which the forgery stands for, so it takes no honest step.
        if (!dead_ && !forged_ && !worker_.idle(seen)) all.push_back(WorkerStep);
        const bool reply = (ahead_ >= 0 && supervisor_.claimed()) || supervisor_.replied();
        if (asleep_) {
            sleeper(all);
            return all;
        }
        // Once the worker has forged a word, what is left to show is what the supervisor
        // reads and answers; its sleep and its choices among idle workers add nothing.
        if ((pool_ == Pool::Busy || pool_ == Pool::Collecting) && !forged_) all.push_back(Sleep);
        if (pool_ == Pool::Idle && !queue_.empty()) all.push_back(Dispatch);
        if (pool_ == Pool::Busy && ahead_ < 0 && !queue_.empty() && !areas_.replies.otherHeld() &&
            supervisor_.slotFree())
            all.push_back(PostAhead);
        if (pool_ == Pool::Idle && !collected_ && !forged_) all.push_back(Collect);
        if ((pool_ == Pool::Busy || pool_ == Pool::Collecting) && reply) {
            all.push_back(TakeReplyCopied);
            if (pool_ == Pool::Busy && !areas_.replies.otherHeld()) all.push_back(TakeReplyInPlace);
        }
        if (pool_ == Pool::Replied) all.push_back(Answered);
        if (pool_ == Pool::Busy && ahead_ >= 0 && !forged_) all.push_back(Withdraw);
        if (areas_.held(0)) all.push_back(ReleaseFirst);
        if (areas_.held(1)) all.push_back(ReleaseSecond);
        if (areas_.replies.arenaHeld()) all.push_back(ReleaseArena);
        others(all);
        return all;
    }

    void apply(int action) {
        switch (action) {
        case WorkerStep:
            return step();
        case Dispatch:
            return dispatch();
        case PostAhead:
            return postAhead();
        case Collect:
            collected_ = true;
            supervisor_.collect(areas_.replies.current(), areas_.replies.arenaHeld());
            pool_ = Pool::Collecting;
            return;
        case TakeReplyInPlace:
        case TakeReplyCopied:
            return takeReply(action == TakeReplyInPlace);
        case Answered:
            return answered();
        case Withdraw:
            if (supervisor_.withdraw()) requeueAhead();
            return;
        case ReleaseFirst:
        case ReleaseSecond:
            return release(action == ReleaseFirst ? 0 : 1);
        case ReleaseArena:
            areas_.replies.arena()->held = false;
            return;
        case Die:
            dead_ = true;
            return;
        case Reap:
        case Deadline:
            asleep_ = false; // a signal or the deadline ends the sleep
            return replace();
        case Sleep:
            return sleep();
        case Wake:
            supervisor_.sleeping(false);
            asleep_ = false;
            return;
        default:
            forged_ = true;
            forgeries_[static_cast<std::size_t>(action - Forge)].write(*control_);
        }
    }

    // Everything that tells one state from another, for the search to visit each once.
    std::string key() const {
        const Control& c = *control_;
        std::string key;
        const auto add = [&key](std::uint64_t value) { key.append(std::to_string(value) + ','); };
        for (std::uint64_t v :
             {std::uint64_t{c.state.load()}, std::uint64_t{c.next.load()},
              std::uint64_t{c.sequence}, std::uint64_t{c.requestArea}, std::uint64_t{c.replyArea},
              c.requestSize, std::uint64_t{c.aheadSequence}, std::uint64_t{c.aheadRequestArea},
              std::uint64_t{c.aheadReplyArea}, c.aheadSize, std::uint64_t{c.arenaHeld}})
            add(v);
        for (int i = 0; i < 2; ++i) {
            for (std::uint64_t v : {c.replySize[i], std::uint64_t{c.replyOk[i]},
                                    std::uint64_t{c.replyInArena[i]}, c.replyOffset[i]})
                add(v);
            add(record(areas_.mine[i]).id * 1000ull + record(areas_.mine[i]).sequence);
            add(requests_[i]);
        }
        add(record(areas_.arena + kArenaOffset).id * 1000ull +
            record(areas_.arena + kArenaOffset).sequence);
        for (std::uint64_t v :
             {std::uint64_t(worker_.at()), std::uint64_t{worker_.postedAhead()},
              std::uint64_t{pinned_}, std::uint64_t(pool_), std::uint64_t(running_ + 1),
              std::uint64_t(ahead_ + 1), std::uint64_t{expected_}, std::uint64_t{dead_},
              std::uint64_t{forged_}, std::uint64_t{collected_},
              std::uint64_t{supervisor_.sequence()}, std::uint64_t{supervisor_.requestArea()},
              std::uint64_t{supervisor_.toldArenaHeld()}, std::uint64_t{areas_.replies.current()},
              std::uint64_t{areas_.held(0)}, std::uint64_t{areas_.held(1)},
              std::uint64_t{areas_.replies.arenaHeld()}, std::uint64_t{asleep_},
              std::uint64_t{rings > ringsAtSleep_}})
            add(v);
        for (int id : queue_)
            add(static_cast<std::uint64_t>(id));
        key += '|';
        for (int count : answers_)
            add(static_cast<std::uint64_t>(count));
        return key;
    }

    // At the end of a run: each request answered once, or still waiting for another
    // worker once this one is gone.
    void finish() {
        for (int id = 0; id < given_; ++id) {
            const bool waits =
                pool_ == Pool::Down && std::find(queue_.begin(), queue_.end(), id) != queue_.end();
            if (answers_[id] != 1 && !(answers_[id] == 0 && waits))
                fault("request " + std::to_string(id) + " answered " +
                      std::to_string(answers_[id]) + " times");
        }
    }

    std::vector<std::string> faults;

  private:
    // While the supervisor sleeps it waits for the doorbell, a signal or a deadline; the
    // worker and ZeroMQ's thread go on.
    void sleeper(std::vector<int>& all) {
        if (rings > ringsAtSleep_) all.push_back(Wake);
        others(all);
        lostWake();
    }
    void others(std::vector<int>& all) const {
        if (areas_.held(0)) all.push_back(ReleaseFirst);
        if (areas_.held(1)) all.push_back(ReleaseSecond);
        if (areas_.replies.arenaHeld()) all.push_back(ReleaseArena);
        if (!dead_) all.push_back(Die);
        if (dead_ && pool_ != Pool::Down) all.push_back(Reap);
        if (pool_ == Pool::Busy) all.push_back(Deadline);
        for (std::size_t i = 0; !dead_ && !forged_ && i < forgeries_.size(); ++i)
            all.push_back(Forge + static_cast<int>(i));
    }
    // The loop says it sleeps, then looks once more: a worker that replied or claimed
    // before it saw that may not ring, so the loop goes on instead.
    void sleep() {
        supervisor_.sleeping(true);
        if (supervisor_.doneOrClaimed(ahead_ >= 0)) {
            supervisor_.sleeping(false);
            return;
        }
        asleep_ = true;
        ringsAtSleep_ = rings;
    }
    // An honest worker that has replied, or claimed, and waits, has rung if the
    // supervisor sleeps.
    void lostWake() {
        std::uint32_t seen = 0;
        const bool waits = worker_.idle(seen);
        const bool done = supervisor_.replied() || (ahead_ >= 0 && supervisor_.claimed());
        if (!forged_ && !dead_ && waits && done && rings == ringsAtSleep_)
            fault("the worker replied while the supervisor slept, and did not ring");
    }

    static Record record(const char* at) {
        Record r;
        std::memcpy(&r, at, sizeof r);
        return r;
    }
    void fault(const std::string& what) { faults.push_back(what); }
    void answer(int id) {
        if (id >= 0 && ++answers_[id] > 1)
            fault("request " + std::to_string(id) + " answered twice");
    }

    // The worker's transition; its run reads the request and builds the reply where its
    // job says, in the arena for the large one unless an arena reply is still pinned.
    void step() {
        const auto run = [this](const qel::Job& job, bool postedAhead) {
            if (worker_.arenaReleased(postedAhead)) pinned_ = false;
            const Record built{requests_[job.requestArea], job.sequence};
            if (built.id >= kFirstArenaRequest && !pinned_) {
                if (!forged_ && areas_.replies.arenaHeld()) fault("arena rebuilt while sent");
                std::memcpy(areas_.arena + kArenaOffset, &built, sizeof built);
                pinned_ = true;
                worker_.leave(job.replyArea, {sizeof built, true, true, kArenaOffset}, 0);
                return;
            }
            if (!forged_ && areas_.held(job.replyArea)) fault("reply built in an area being sent");
            std::memcpy(areas_.mine[job.replyArea], &built, sizeof built);
            worker_.leave(job.replyArea, {sizeof built, true, false, 0}, 0);
        };
        const auto collect = [this](const qel::Job& job) {
            if (worker_.arenaReleased(false)) pinned_ = false;
            worker_.leave(job.replyArea, {0, true, false, 0}, 0);
        };
        worker_.step(run, collect);
    }

    void dispatch() {
        const int id = queue_.front();
        queue_.pop_front();
        if (!areas_.replies.prepare(kAreaSize)) fault("no reply area to build in");
        requests_[0] = static_cast<std::uint32_t>(id);
        supervisor_.dispatch(sizeof(Record), areas_.replies.current(), areas_.replies.arenaHeld());
        expected_ = supervisor_.sequence();
        running_ = id;
        pool_ = Pool::Busy;
    }

    void postAhead() {
        const int id = queue_.front();
        queue_.pop_front();
        if (!areas_.replies.prepareSpare(kAreaSize)) fault("no spare reply area");
        requests_[supervisor_.aheadArea()] = static_cast<std::uint32_t>(id);
        supervisor_.postAhead(sizeof(Record), 1 - areas_.replies.current());
        ahead_ = id;
    }

    void takeReply(bool inPlace) {
        if (pool_ == Pool::Collecting) {
            supervisor_.idle();
            pool_ = Pool::Idle;
            return;
        }
        const qel::ReplyFigures figures = supervisor_.reply(areas_.replies.current());
        const std::uint64_t* offset = figures.inArena ? &figures.offset : nullptr;
        const char* bytes = areas_.replies.find(figures.size, offset);
        if (bytes == nullptr) {
            if (!forged_) fault("an honest reply was unreadable");
            return replace(); // answered that it could not be read
        }
        const qel::SharedArea& area =
            offset != nullptr ? areas_.replies.arena()->area : areas_.replies.built()->area;
        if (bytes < area.data() || figures.size > area.mapped() ||
            bytes + figures.size > area.data() + area.mapped())
            fault("a reply read outside its area");
        const Record got = figures.size >= sizeof(Record) ? record(bytes) : Record{};
        if (!forged_ &&
            (got.id != static_cast<std::uint32_t>(running_) || got.sequence != expected_))
            fault("request " + std::to_string(running_) + " answered from another reply");
        answer(running_);
        running_ = -1;
        if (offset != nullptr) {
            areas_.replies.arena()->held = true;
        } else if (inPlace) {
            areas_.replies.built()->held = true;
        }
        pool_ = Pool::Replied;
    }

    void answered() {
        if (ahead_ < 0) {
            supervisor_.idle();
            pool_ = Pool::Idle;
            return;
        }
        const bool started = supervisor_.startAhead();
        areas_.replies.advance();
        if (!started)
            supervisor_.repost(sizeof(Record), areas_.replies.current(),
                               areas_.replies.arenaHeld());
        expected_ = supervisor_.sequence();
        running_ = std::exchange(ahead_, -1);
        pool_ = Pool::Busy;
    }

    void release(std::uint32_t area) {
        if (areas_.replies.current() == area) {
            areas_.replies.built()->held = false;
        } else {
            areas_.replies.advance();
            areas_.replies.built()->held = false;
            areas_.replies.advance();
        }
    }

    void requeueAhead() { queue_.push_front(std::exchange(ahead_, -1)); }

    // The worker is replaced: what it ran is answered, and the request posted ahead is
    // withdrawn if it was never claimed, or else answered too.
    void replace() {
        if (ahead_ >= 0) {
            if (supervisor_.withdraw()) {
                requeueAhead();
            } else {
                answer(std::exchange(ahead_, -1));
            }
        }
        answer(std::exchange(running_, -1));
        dead_ = true;
        pool_ = Pool::Down;
    }

    Areas& areas_;
    const std::vector<Forgery>& forgeries_;
    std::unique_ptr<Control> control_;
    qel::SupervisorHandOff supervisor_;
    qel::WorkerHandOff worker_;
    std::uint32_t requests_[2] = {};
    std::deque<int> queue_;
    int given_; // requests in all
    int answers_[kRequests] = {};
    Pool pool_ = Pool::Idle;
    int running_ = -1;
    int ahead_ = -1;
    std::uint32_t expected_ = 0; // the sequence of the running request's run
    bool pinned_ = false;        // the worker keeps its last arena reply
    bool dead_ = false;
    bool forged_ = false;
    bool collected_ = false;
    bool asleep_ = false;
    int ringsAtSleep_ = 0;
};

} // namespace handoff
