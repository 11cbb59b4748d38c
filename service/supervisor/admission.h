// admission.h - which requests run, wait or are refused, and which peers are cut off.
// It owns the table of peers, the requests waiting for a worker, served by turns over
// the peers, each peer's share of the queue, and the watch on the reply bytes peers
// leave unread. It knows nothing of workers, and reaches connections only through
// Connections: the caller says whether a worker is free, so the rules are tested
// without processes.
#pragma once

#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "connections.h"
#include "options.h"
#include "request.h"
#include "unread_bytes.h"
#include "unread_watch.h"

namespace qel {

// Requests each peer may have queued or running; beyond, it is answered busy. Enough
// for a client that pipelines, small enough that one peer cannot fill the queue.
inline constexpr int kQueuedPerPeer = 16;
// The queue's bytes, all peers together, are bounded by this many of the largest
// request allowed, or by one of them per peer waiting when more wait: each peer's share
// is the bound over the peers waiting, and never less than one request.
inline constexpr std::size_t kQueueRequests = 4;
// Reply bytes a single peer may leave unread before its new requests are refused (or
// the bound on all peers together, when that is lower).
inline constexpr std::size_t kUnreadPerPeer = std::size_t{64} << 20;

struct AdmissionLimits {
    std::size_t maxRequest = 0; // 0 for none
    int perPeer = kQueuedPerPeer;
    std::size_t queueBytes = SIZE_MAX;
    std::size_t unreadPerPeer = kUnreadPerPeer;
    std::size_t unreadAll = SIZE_MAX;
    // unreadAll and one reply's worth per worker: past it, peers that stall are cut off
    // sooner (unread_watch.h).
    std::size_t unreadCeiling = SIZE_MAX;

    static AdmissionLimits from(const ServiceOptions& options);
};

class Admission {
  public:
    // unreadAll counts the reply bytes ZeroMQ holds for all peers together, and the peers
    // holding any; connections is where peers' connections are looked at and ended, and
    // outlives the admission.
    Admission(const AdmissionLimits& limits, std::shared_ptr<const UnreadBytes> unreadAll,
              Connections& connections);

    // A request that admission took out of the queue, or that came from a peer cut off,
    // to be answered with `text`.
    struct Dropped {
        Request request;
        const char* text;
    };
    // A peer cut off, for the log and the counts.
    struct CutOff {
        PeerPtr peer;
        std::size_t unread;
        double stalledSeconds;
        CutCause cause;
    };

    enum class Verdict { Run, Queued, Refused };
    // Takes in a request just read. Run: hand it to the free worker now (there is one and
    // nothing waits). Queued: it waits behind its peer's earlier ones. Refused: answer it
    // with `refusal` (supervisor_replies.h). The request keeps its place in its peer's
    // count until it is dropped.
    Verdict admit(Request& request, bool workerFree, std::string& refusal);
    // The request whose turn it is, for a worker that came free: the oldest of the peer
    // first in turn, which then goes behind every other peer with a request waiting. When
    // its peer has left too many replies unread since it came, `refusal` is set and it is
    // answered instead.
    std::optional<Request> next(std::string& refusal);
    // Every waiting request, peer by peer, taken out (when the service stops).
    std::list<Request> takeAll();
    // The requests admit() and watch() took out, for the caller to answer.
    std::deque<Dropped>& dropped() { return dropped_; }
    // Samples how the peers holding unread replies read, and cuts off those that
    // unread_watch.h chooses; their waiting requests join dropped(). Called every
    // kWatchInterval.
    std::vector<CutOff> watch(Clock::time_point now);

    // Whether no request may start now, so that no more replies pile up while the watch
    // cuts off the peers stalled past the ceiling: the unread total has just passed it.
    // Each crossing holds requests for kUnreadHold at most, so peers that keep the total
    // up by reading, however slowly, stop nobody for long.
    bool held(Clock::time_point now);

    // A request next() gave out was posted ahead to a busy worker, to start when that
    // worker's run ends. Its peer took its turn early: until the request starts, a peer
    // that starts waiting (or waits again) goes before it, as it would had the turn been
    // taken when the worker came free, so turns come as if nothing were posted ahead.
    void aheadPosted(Peer& peer);
    void aheadStarted(Peer& peer);
    // A request posted ahead withdrawn before it was claimed: it is the first to run again,
    // its peer first in turn.
    void aheadWithdrawn(Request&& request);

    bool waiting() const { return !turns_.empty(); }
    std::size_t waitingBytes() const { return queuedBytes_; }
    std::size_t waitingCount() const { return queuedCount_; }
    // The most reply bytes ZeroMQ holds for any one peer; it looks at every peer.
    std::size_t largestUnread() const;
    std::size_t peerCount() const { return peers_.size(); }
    // Forgets the peers that nothing refers to any more: no request, no reply held.
    // Returns how many it forgot.
    std::size_t sweep();

  private:
    // One peer and its requests waiting, oldest first. An empty list allocates nothing,
    // so a request that runs at once costs no more than the peer's record.
    struct Entry {
        PeerPtr peer;
        std::list<Request> waiting;
        std::size_t bytes = 0; // the bodies of `waiting`
        // Its turn is first because a request of its was withdrawn from behind a run,
        // which has had its turn already: no peer that starts waiting later goes before it.
        bool withdrawn = false;
    };

    Entry& entryOf(std::string_view identity);
    void noteConnection(Peer& peer, const Envelope& envelope);
    const char* unreadRefusal(const Peer& peer) const;
    bool makeRoom(const Entry& entry, std::size_t size);
    void dropNewest(Entry& entry, const char* text);
    std::optional<Request> takeTurn();
    void join(Entry& entry);
    void cutOff(Entry& entry, CutCause cause, Clock::time_point now, std::vector<CutOff>& out);

    AdmissionLimits limits_;
    std::shared_ptr<const UnreadBytes> unreadAll_;
    Connections& connections_;
    std::deque<Dropped> dropped_;
    // An entry stays where it is while the table grows, so turns_ can point at it; it is
    // erased only once nothing refers to its peer, and a waiting request does.
    std::unordered_map<std::string, Entry> peers_;
    // The peers with a request waiting, each once, in the order of their turns.
    std::deque<Entry*> turns_;
    std::size_t queuedBytes_ = 0; // the bodies of all waiting requests together
    std::size_t queuedCount_ = 0; // the waiting requests
    std::size_t ahead_ = 0;       // requests posted ahead and not started, all peers'
    // Whether held() last saw the total past the ceiling, and since when.
    bool overCeiling_ = false;
    Clock::time_point heldSince_{};
};

} // namespace qel
