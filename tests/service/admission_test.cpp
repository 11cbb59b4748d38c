// admission_test.cpp - the admission rules without processes or sockets. Fake workers
// take what admission hands them; each row of the table is a run of arrivals, finishes
// and unread replies, with what each step must lead to.
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admission.h"
#include "supervisor_replies.h"

namespace {

using qel::Admission;
using qel::AdmissionLimits;
using qel::Request;

Request makeRequest(const std::string& peer, std::size_t size) {
    std::vector<zmq::message_t> frames;
    frames.emplace_back(peer.data(), peer.size());
    frames.emplace_back();
    frames.emplace_back(std::string(size, 'x'));
    return Request(qel::Envelope(std::move(frames)), qel::Clock::now());
}

std::string identity(const Request& request) {
    return std::string(request.envelope.identity());
}

// Admission and a pool of fake workers, each a slot that holds the request it runs.
class World {
  public:
    World(const AdmissionLimits& limits, int workers)
        : admission_(limits, unreadAll_), workers_(static_cast<std::size_t>(workers)) {}

    // "run", "queued" or the refusal.
    std::string arrive(const std::string& peer, std::size_t size) {
        Request request = makeRequest(peer, size);
        std::string refusal;
        switch (admission_.admit(request, freeSlot() != nullptr, refusal)) {
        case Admission::Verdict::Run:
            *freeSlot() = std::move(request);
            return "run";
        case Admission::Verdict::Queued:
            return "queued";
        case Admission::Verdict::Refused:
            break;
        }
        return refusal;
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
        while (std::optional<Request>* slot = freeSlot()) {
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
        admission_.postedAhead(*next->peer);
        posted_.push_back(std::move(*next));
        return "posted:" + identity(posted_.back());
    }

    // The peer's request posted ahead starts (and is done with), or is taken back.
    std::string settle(const std::string& peer, bool started) {
        for (auto it = posted_.begin(); it != posted_.end(); ++it) {
            if (identity(*it) != peer) continue;
            started ? admission_.startedAhead(*it->peer) : admission_.putBack(std::move(*it));
            posted_.erase(it);
            return "";
        }
        return "nothing posted";
    }

    Admission& admission() { return admission_; }

  private:
    std::optional<Request>* freeSlot() {
        for (std::optional<Request>& slot : workers_) {
            if (!slot) return &slot;
        }
        return nullptr;
    }

    std::shared_ptr<qel::UnreadBytes> unreadAll_ = std::make_shared<qel::UnreadBytes>();
    Admission admission_;
    std::vector<std::optional<Request>> workers_;
    std::map<std::string, qel::PeerPtr> held_;
    std::vector<Request> posted_;
};

struct Step {
    char op; // a: arrive, f: finish, u: unread, p: post ahead, s: it starts, b: taken back
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

AdmissionLimits limits(std::size_t maxRequest, int perPeer, std::size_t unreadPerPeer,
                       std::size_t unreadAll, std::size_t unreadOver = SIZE_MAX) {
    AdmissionLimits l;
    l.maxRequest = maxRequest;
    l.queueBytes = maxRequest == 0 ? SIZE_MAX : maxRequest * qel::kQueueRequests;
    l.perPeer = perPeer;
    l.unreadPerPeer = unreadPerPeer;
    l.unreadAll = unreadAll;
    l.unreadOver = unreadOver;
    return l;
}

constexpr const char* kBusy = qel::reply::kBusy;
constexpr const char* kUnread = qel::reply::kUnread;

TEST(Admission, FollowsItsRules) {
    const std::vector<Case> cases = {
        {"a free worker runs a request at once, the next waits its turn",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         2,
         {{'a', "A", 1, "run"},
          {'a', "B", 1, "run"},
          {'a', "C", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'f', "B", 0, "run:C"},
          {'f', "A", 0, "run:A"},
          {'f', "C", 0, ""}}},
        {"a peer that keeps its queue full waits one turn, not all its requests, ahead of "
         "another",
         limits(0, 4, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'a', "B", 1, "queued"},
          {'a', "C", 1, "queued"},
          {'f', "A", 0, "run:A"},
          {'a', "A", 1, "queued"},
          {'f', "A", 0, "run:B"},
          {'f', "B", 0, "run:C"},
          {'f', "C", 0, "run:A"},
          {'f', "A", 0, "run:A"},
          {'f', "A", 0, "run:A"},
          {'f', "A", 0, ""}}},
        {"the peer's bound counts its running request, and frees as requests end",
         limits(0, 3, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, kBusy},
          {'a', "B", 1, "queued"},
          {'f', "A", 0, "run:A"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, kBusy}}},
        {"the queue's bytes are bounded by four of the largest request",
         limits(100, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 100, "run"},
          {'a', "B", 100, "queued"},
          {'a', "C", 100, "queued"},
          {'a', "D", 100, "queued"},
          {'a', "E", 100, "queued"},
          {'a', "F", 1, kBusy},
          {'f', "A", 0, "run:B"},
          {'a', "F", 100, "queued"},
          {'a', "G", 101, "error: request too large: 101 bytes, limit 100"}}},
        {"a request too large is refused even when a worker is free",
         limits(10, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 11, "error: request too large: 11 bytes, limit 10"}, {'a', "A", 10, "run"}}},
        {"a peer that leaves replies unread is refused; others are not",
         limits(0, 16, 50, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 51, ""},
          {'a', "A", 1, qel::reply::kUnread},
          {'a', "B", 1, "queued"},
          {'u', "A", 50, ""},
          {'a', "A", 1, "queued"},
          {'f', "A", 0, "run:B"}}},
        {"past the bound a peer with more than its share is refused, one within it is not",
         limits(0, 16, SIZE_MAX, 100),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 90, ""},
          {'f', "A", 0, ""},
          {'a', "B", 1, "run"},
          {'u', "B", 20, ""},
          {'f', "B", 0, ""},
          {'a', "A", 1, kUnread},
          {'a', "B", 1, "run"},
          {'a', "C", 1, "queued"},
          {'u', "A", 40, ""},
          {'a', "A", 1, "queued"},
          {'f', "B", 0, "run:C"}}},
        {"past the bound and its headroom every peer is refused, one with nothing unread too",
         limits(0, 16, SIZE_MAX, 100, 50),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 100, ""},
          {'f', "A", 0, ""},
          {'a', "B", 1, "run"},
          {'u', "B", 60, ""},
          {'f', "B", 0, ""},
          {'a', "C", 1, kBusy},
          {'a', "B", 1, kUnread},
          {'u', "B", 40, ""},
          {'a', "C", 1, "run"}}},
        {"replies that pile up while a request waits refuse it when its turn comes",
         limits(0, 16, SIZE_MAX, 100),
         1,
         {{'a', "B", 1, "run"},
          {'u', "B", 0, ""},
          {'f', "B", 0, ""},
          {'a', "A", 1, "run"},
          {'a', "B", 1, "queued"},
          {'a', "C", 1, "queued"},
          {'u', "B", 150, ""},
          {'a', "D", 1, "queued"},
          {'f', "A", 0, std::string("B:") + kUnread + " run:C"}}},
        {"a peer that starts waiting before a request posted ahead starts goes before its "
         "peer's next one, as if the turn had been taken when the worker came free",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'p', "", 0, "posted:A"},
          {'a', "B", 1, "queued"},
          {'s', "A", 0, ""},
          {'a', "C", 1, "queued"},
          {'f', "A", 0, "run:B"},
          {'f', "B", 0, "run:A"},
          {'f', "A", 0, "run:C"}}},
        {"a request posted ahead and taken back is first in line again",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "B", 1, "queued"},
          {'a', "C", 1, "queued"},
          {'p', "", 0, "posted:B"},
          {'a', "D", 1, "queued"},
          {'b', "B", 0, ""},
          {'f', "A", 0, "run:B"},
          {'f', "B", 0, "run:C"},
          {'f', "C", 0, "run:D"}}},
        {"a request taken back keeps first place while its peer has another posted ahead",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         2,
         {{'a', "A", 1, "run"},
          {'a', "C", 1, "run"},
          {'a', "B", 1, "queued"},
          {'a', "B", 1, "queued"},
          {'p', "", 0, "posted:B"},
          {'p', "", 0, "posted:B"},
          {'b', "B", 0, ""},
          {'a', "E", 1, "queued"},
          {'f', "A", 0, "run:B"}}},
    };
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
                                                     : world.unread(step.peer, step.bytes);
            EXPECT_EQ(got, step.expect) << "step " << i;
        }
    }
}

// The bounds on unread replies as the command line sets them: the headroom past the bound
// is one reply's worth per worker, a reply being at most --max-memory.
TEST(Admission, TakesItsUnreadBoundsFromTheOptions) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const struct {
        int workers;
        std::size_t maxMemory;
        std::optional<std::size_t> maxUnread;
        std::size_t all, over;
    } rows[] = {
        {1, 256 * kMiB, std::nullopt, 256 * kMiB, 256 * kMiB},
        {4, 256 * kMiB, 8 * kMiB, 8 * kMiB, 1024 * kMiB},
        {2, 0, 8 * kMiB, 8 * kMiB, 16 * kMiB},  // no largest reply: the bound stands in
        {2, 256 * kMiB, 0, SIZE_MAX, SIZE_MAX}, // no bound
        {1024, SIZE_MAX / 2, std::nullopt, SIZE_MAX / 2, SIZE_MAX}, // saturates
    };
    for (const auto& row : rows) {
        qel::ServiceOptions options;
        options.workers = row.workers;
        options.limits.maxMemory = row.maxMemory;
        options.maxUnread = row.maxUnread;
        const AdmissionLimits got = AdmissionLimits::from(options);
        EXPECT_EQ(got.unreadAll, row.all) << row.workers << " " << row.maxMemory;
        EXPECT_EQ(got.unreadOver, row.over) << row.workers << " " << row.maxMemory;
    }
}

// A peer is counted among those holding unread bytes from its first byte to its last,
// once, however its replies overlap.
TEST(Admission, CountsEachPeerHoldingUnreadBytesOnce) {
    qel::UnreadBytes unread;
    qel::Peer a, b;
    const struct {
        qel::Peer* peer;
        long bytes; // charged when positive, released when negative
        std::size_t total, peers;
    } rows[] = {{&a, 5, 5, 1},   {&a, 7, 12, 1}, {&b, 0, 12, 1}, {&b, 3, 15, 2},
                {&a, -5, 10, 2}, {&a, -7, 3, 1}, {&b, -3, 0, 0}, {&a, 1, 1, 1}};
    for (const auto& row : rows) {
        if (row.bytes >= 0) {
            unread.charge(*row.peer, static_cast<std::size_t>(row.bytes));
        } else {
            unread.release(*row.peer, static_cast<std::size_t>(-row.bytes));
        }
        EXPECT_EQ(unread.load(), row.total);
        EXPECT_EQ(unread.peers(), row.peers);
    }
}

// The table of peers lets go of a peer only once none of its requests is left.
TEST(Admission, ForgetsPeersOnlyWhenNothingIsLeft) {
    World world(limits(0, 16, SIZE_MAX, SIZE_MAX), 1);
    EXPECT_EQ(world.arrive("A", 1), "run");
    EXPECT_EQ(world.arrive("B", 1), "queued");
    world.admission().sweep();
    EXPECT_EQ(world.admission().peerCount(), 2u);
    EXPECT_EQ(world.finish("A"), "run:B");
    world.admission().sweep();
    EXPECT_EQ(world.admission().peerCount(), 1u);
    EXPECT_EQ(world.finish("B"), "");
    world.admission().sweep();
    EXPECT_EQ(world.admission().peerCount(), 0u);
    EXPECT_EQ(world.admission().waitingBytes(), 0u);
}

} // namespace
