// admission_world.h - admission without processes or sockets, for the admission tests:
// fake workers take what admission hands them, and fake connections say what each peer
// has read; a row of a table is a run of steps, each with what it must lead to.
#pragma once

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "admission.h"
#include "supervisor_replies.h"

namespace admission_world {

using qel::Admission;
using qel::AdmissionLimits;
using qel::Request;

// Each peer comes on its own descriptor, named after it.
inline int fdOf(const std::string& peer) {
    return 100 + peer[0];
}

inline Request makeRequest(const std::string& peer, std::size_t size) {
    std::vector<zmq::message_t> frames;
    frames.emplace_back(peer.data(), peer.size());
    frames.emplace_back();
    frames.emplace_back(std::string(size, 'x'));
    return Request(qel::Envelope(std::move(frames), fdOf(peer)), qel::Clock::now());
}

// Connections that read what a test says they read, and that end when asked, except
// the ones a test has closed already.
class FakeConnections final : public qel::Connections {
  public:
    qel::ConnectionId identify(int fd) override { return {fd, 7}; }
    std::optional<std::uint64_t> taken(const qel::ConnectionId& c) override { return read[c.fd]; }
    bool end(const qel::ConnectionId& c) override { return closed.count(c.fd) == 0; }

    std::map<int, std::uint64_t> read;
    std::set<int> closed;
};

inline std::string identity(const Request& request) {
    return std::string(request.envelope.identity());
}

// Admission and a pool of fake workers, each a slot that holds the request it runs.
class World {
  public:
    World(const AdmissionLimits& limits, int workers)
        : admission_(limits, unreadAll_, connections_),
          workers_(static_cast<std::size_t>(workers)) {}

    // "run", "queued" or the refusal, then " PEER:TEXT" for each request dropped.
    std::string arrive(const std::string& peer, std::size_t size) {
        Request request = makeRequest(peer, size);
        std::string refusal;
        const bool held = admission_.held(now_); // looked at for every request, as the loop does
        const bool free = freeSlot() != nullptr && !held;
        switch (admission_.admit(request, free, refusal)) {
        case Admission::Verdict::Run:
            *freeSlot() = std::move(request);
            return "run" + dropped();
        case Admission::Verdict::Queued:
            return "queued" + dropped();
        case Admission::Verdict::Refused:
            break;
        }
        return refusal + dropped();
    }

    // Watches `ms` after the row began: "cut:PEER" for each peer cut off, then what was
    // dropped.
    std::string watch(std::size_t ms) {
        std::string outcome;
        now_ = start_ + std::chrono::milliseconds(ms);
        for (const Admission::CutOff& cut : admission_.watch(now_))
            outcome += (outcome.empty() ? "cut:" : " cut:") + nameOf(cut.peer);
        return outcome + dropped();
    }

    // "held" while requests may not start, `ms` after the row began.
    std::string held(std::size_t ms) {
        now_ = start_ + std::chrono::milliseconds(ms);
        return admission_.held(now_) ? "held" : "";
    }

    // The peer's connection reports `bytes` more taken, or, with 0, is closed under it.
    std::string read(const std::string& peer, std::size_t bytes) {
        bytes == 0 ? void(connections_.closed.insert(fdOf(peer)))
                   : void(connections_.read[fdOf(peer)] += bytes);
        return "";
    }

    // Ends the request that peer has running, then feeds the free workers as the loop
    // does: "run:PEER" or "PEER:REFUSAL" for each request that left the queue.
    std::string finish(const std::string& peer) {
        for (std::optional<Request>& slot : workers_) {
            if (slot && identity(*slot) == peer) {
                slot.reset();
                break;
            }
        }
        std::string outcome, refusal;
        while (std::optional<Request>* slot = admission_.held(now_) ? nullptr : freeSlot()) {
            std::optional<Request> next = admission_.next(refusal);
            if (!next) break;
            outcome +=
                (outcome.empty() ? "" : " ") +
                (refusal.empty() ? "run:" + identity(*next) : identity(*next) + ":" + refusal);
            if (refusal.empty()) *slot = std::move(next);
        }
        return outcome;
    }

    // Sets the reply bytes a peer leaves unread, charged and released as the reply sender
    // does. The first time, the peer must have a request running; its record is kept, as
    // a reply in flight keeps it, after the request has ended.
    std::string unread(const std::string& peer, std::size_t bytes) {
        qel::PeerPtr& held = held_[peer];
        for (std::optional<Request>& slot : workers_) {
            if (slot && identity(*slot) == peer) held = slot->peer.get();
        }
        const std::size_t was = held->unread;
        bytes >= was ? unreadAll_->charge(*held, bytes - was)
                     : unreadAll_->release(*held, was - bytes);
        return "";
    }

    // Posts the next request ahead, as the loop does to a busy worker: "posted:PEER".
    std::string post() {
        std::string refusal;
        std::optional<Request> next = admission_.next(refusal);
        if (!next) return "";
        admission_.aheadPosted(*next->peer);
        posted_.push_back(std::move(*next));
        return "posted:" + identity(posted_.back());
    }

    // The peer's request posted ahead starts (and is done with), or is taken back.
    std::string settle(const std::string& peer, bool started) {
        for (auto it = posted_.begin(); it != posted_.end(); ++it) {
            if (identity(*it) != peer) continue;
            started ? admission_.aheadStarted(*it->peer)
                    : admission_.aheadWithdrawn(std::move(*it));
            posted_.erase(it);
            return "";
        }
        return "nothing posted";
    }

    Admission& admission() { return admission_; }

  private:
    std::string nameOf(const qel::PeerPtr& peer) const {
        for (const auto& [name, held] : held_) {
            if (held == peer) return name;
        }
        return "?";
    }

    std::string dropped() {
        std::string out;
        for (; !admission_.dropped().empty(); admission_.dropped().pop_front())
            out += " " + identity(admission_.dropped().front().request) + ":" +
                   admission_.dropped().front().text;
        return out;
    }

    std::optional<Request>* freeSlot() {
        for (std::optional<Request>& slot : workers_) {
            if (!slot) return &slot;
        }
        return nullptr;
    }

    std::shared_ptr<qel::UnreadBytes> unreadAll_ = std::make_shared<qel::UnreadBytes>();
    FakeConnections connections_;
    Admission admission_;
    qel::Clock::time_point start_ = qel::Clock::now();
    qel::Clock::time_point now_ = start_;
    std::vector<std::optional<Request>> workers_;
    std::map<std::string, qel::PeerPtr> held_;
    std::vector<Request> posted_;
};

struct Step {
    // a: arrive, f: finish, u: unread, p: post ahead, s: it starts, b: taken back,
    // w: watch at `bytes` ms, r: the peer's connection takes `bytes` (0: it is closed),
    // h: whether requests are held at `bytes` ms
    char op;
    const char* peer;
    std::size_t bytes;
    std::string expect;
};

struct Case {
    const char* name;
    AdmissionLimits limits;
    int workers;
    std::vector<Step> steps;
};

inline AdmissionLimits limits(std::size_t maxRequest, int perPeer, std::size_t unreadPerPeer,
                              std::size_t unreadAll, std::size_t unreadCeiling = SIZE_MAX) {
    AdmissionLimits l;
    l.maxRequest = maxRequest;
    l.queueBytes = maxRequest == 0 ? SIZE_MAX : maxRequest * qel::kQueueRequests;
    l.perPeer = perPeer;
    l.unreadPerPeer = unreadPerPeer;
    l.unreadAll = unreadAll;
    l.unreadCeiling = unreadCeiling;
    return l;
}

constexpr const char* kBusy = qel::reply::kBusy;
constexpr const char* kUnread = qel::reply::kUnread;

// Runs each row of `cases` in a world of its own.
inline void runCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        World world(c.limits, c.workers);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            const std::string got = step.op == 'a'   ? world.arrive(step.peer, step.bytes)
                                    : step.op == 'f' ? world.finish(step.peer)
                                    : step.op == 'p' ? world.post()
                                    : step.op == 's' ? world.settle(step.peer, true)
                                    : step.op == 'b' ? world.settle(step.peer, false)
                                    : step.op == 'w' ? world.watch(step.bytes)
                                    : step.op == 'h' ? world.held(step.bytes)
                                    : step.op == 'r' ? world.read(step.peer, step.bytes)
                                                     : world.unread(step.peer, step.bytes);
            EXPECT_EQ(got, step.expect) << "step " << i;
        }
    }
}

} // namespace admission_world
