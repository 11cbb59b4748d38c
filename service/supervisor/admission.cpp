// admission.cpp - the rules of admission.h, checked in the order a client can act on:
// a request that can never run, then replies left unread, then room to wait. Waiting
// requests are served by turns over their peers, and room in the queue is taken from the
// peer holding most of it, so neither depends on what another peer keeps waiting.
#include "admission.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "invariants.h"
#include "supervisor_replies.h"

namespace qel {

// Admission's refusals, from the catalogue of the supervisor's replies.
using reply::kBusy;
using reply::kUnread;

namespace {

std::size_t times(std::size_t a, std::size_t b) {
    return b != 0 && a > SIZE_MAX / b ? SIZE_MAX : a * b;
}

} // namespace

AdmissionLimits AdmissionLimits::from(const ServiceOptions& options) {
    AdmissionLimits limits;
    const std::size_t largest = options.limits.maxRequest;
    limits.maxRequest = largest;
    limits.queueBytes = largest == 0 ? SIZE_MAX : times(largest, kQueueRequests);
    const std::size_t unread = options.maxUnread.value_or(options.limits.maxMemory);
    limits.unreadAll = unread == 0 ? SIZE_MAX : unread;
    // A reply counts against its Lua state's memory, so --max-memory is the largest one;
    // without that limit, the bound itself stands in for it.
    const std::size_t reply = options.limits.maxMemory != 0 ? options.limits.maxMemory : unread;
    const std::size_t headroom = times(reply, static_cast<std::size_t>(options.workers));
    limits.unreadCeiling =
        unread == 0 ? SIZE_MAX : limits.unreadAll + std::min(headroom, SIZE_MAX - limits.unreadAll);
    return limits;
}

Admission::Admission(const AdmissionLimits& limits, std::shared_ptr<const UnreadBytes> unreadAll,
                     Connections& connections)
    : limits_(limits), unreadAll_(std::move(unreadAll)), connections_(connections) {}

Admission::Entry& Admission::entryOf(std::string_view identity) {
    Entry& entry = peers_[std::string(identity)];
    if (!entry.peer) entry.peer = std::make_shared<Peer>();
    return entry;
}

// Only what the peer itself holds is held against it: the unread total is brought back
// by cutting off the peers that hold it without reading (watch()), never by refusing
// the others. A peer already cut off gets nothing more run.
const char* Admission::unreadRefusal(const Peer& peer) const {
    const std::size_t own = peer.unread.load(std::memory_order_acquire);
    if (peer.cut || own > std::min(limits_.unreadPerPeer, limits_.unreadAll)) return kUnread;
    return nullptr;
}

// Looked up again only when the descriptor differs from the one recorded, so a peer's
// requests cost no system call after its first.
void Admission::noteConnection(Peer& peer, const Envelope& envelope) {
    const int fd = envelope.sourceFd();
    if (fd == peer.connection.fd && !peer.cut) return;
    const ConnectionId now = connections_.identify(fd);
    if (now == peer.connection) return;
    // A new connection under the same identity: its counts start again.
    peer.connection = now;
    peer.address = envelope.address();
    peer.reading = Reading{};
    peer.cut = false;
}

Admission::Verdict Admission::admit(Request& request, bool workerFree, std::string& refusal) {
    if (limits_.maxRequest != 0 && request.size > limits_.maxRequest) {
        refusal = reply::tooLarge(request.size, limits_.maxRequest);
        return Verdict::Refused;
    }
    Entry& entry = entryOf(request.envelope.identity());
    noteConnection(*entry.peer, request.envelope);
    if (const char* text = unreadRefusal(*entry.peer)) {
        refusal = text;
        return Verdict::Refused;
    }
    // A free worker takes a new request only when none waits, whoever's it is.
    if (workerFree && turns_.empty()) {
        request.peer = PeerSlot(entry.peer);
        return Verdict::Run;
    }
    if (entry.peer->queued >= limits_.perPeer || !makeRoom(entry, request.size)) {
        refusal = kBusy;
        return Verdict::Refused;
    }
    request.peer = PeerSlot(entry.peer);
    queuedBytes_ += request.size;
    entry.bytes += request.size;
    ++queuedCount_;
    entry.waiting.push_back(std::move(request));
    // A peer that had nothing waiting takes its turn after every peer that has.
    if (entry.waiting.size() == 1) join(entry);
    return Verdict::Queued;
}

// Room for `size` more bytes from `entry`'s peer. Each peer's share is the bound over the
// peers waiting, this one among them, and never less than one request: a peer past its
// own share is refused, and otherwise the newest requests of the peer holding most are
// dropped while it holds more than its share. Only when no peer does is the bound passed,
// so the queue never holds more than the bound or one request per peer waiting.
bool Admission::makeRoom(const Entry& entry, std::size_t size) {
    const std::size_t bound = limits_.queueBytes;
    while (size > bound || queuedBytes_ > bound - size) {
        const std::size_t waiting = turns_.size() + (entry.waiting.empty() ? 1 : 0);
        const std::size_t share = std::max(bound / waiting, limits_.maxRequest);
        if (entry.bytes + size > share) return false;
        Entry* largest = nullptr;
        for (Entry* other : turns_) {
            if (other != &entry && (largest == nullptr || other->bytes > largest->bytes))
                largest = other;
        }
        if (largest == nullptr || largest->bytes <= share) return true;
        dropNewest(*largest, kBusy);
    }
    return true;
}

// The request is answered with `text` by the caller, through dropped().
void Admission::dropNewest(Entry& entry, const char* text) {
    Request request = std::move(entry.waiting.back());
    entry.waiting.pop_back();
    entry.bytes -= request.size;
    queuedBytes_ -= request.size;
    --queuedCount_;
    if (entry.waiting.empty()) {
        turns_.erase(std::find(turns_.begin(), turns_.end(), &entry));
        entry.withdrawn = false;
    }
    dropped_.push_back({std::move(request), text});
}

// To the end of the turns, but before a peer whose turn was taken early for a request
// posted ahead that has not started (whose turn, taken now, would have come later).
void Admission::join(Entry& entry) {
    if (ahead_ == 0 || entry.peer->ahead > 0) {
        turns_.push_back(&entry);
        return;
    }
    const auto early = std::find_if(turns_.begin(), turns_.end(), [](const Entry* e) {
        return !e->withdrawn && e->peer->ahead > 0;
    });
    turns_.insert(early, &entry);
}

void Admission::aheadPosted(Peer& peer) {
    ++peer.ahead;
    ++ahead_;
}

void Admission::aheadStarted(Peer& peer) {
    if (!check(peer.ahead > 0 && ahead_ > 0, "a request starts ahead only once it is posted ahead"))
        return;
    --peer.ahead;
    --ahead_;
}

void Admission::aheadWithdrawn(Request&& request) {
    Entry& entry = entryOf(request.envelope.identity());
    aheadStarted(*entry.peer);
    queuedBytes_ += request.size;
    entry.bytes += request.size;
    ++queuedCount_;
    if (!entry.waiting.empty()) turns_.erase(std::find(turns_.begin(), turns_.end(), &entry));
    entry.waiting.push_front(std::move(request));
    entry.withdrawn = true;
    turns_.push_front(&entry);
}

std::optional<Request> Admission::takeTurn() {
    while (!turns_.empty()) {
        Entry& entry = *turns_.front();
        turns_.pop_front();
        entry.withdrawn = false;
        if (!check(!entry.waiting.empty(), "a peer has a turn only while a request of its waits"))
            continue;
        Request request = std::move(entry.waiting.front());
        entry.waiting.pop_front();
        if (!entry.waiting.empty()) join(entry);
        entry.bytes -= request.size;
        queuedBytes_ -= request.size;
        --queuedCount_;
        check(!turns_.empty() || queuedBytes_ == 0, "the queue's byte count is its bodies' sum");
        return request;
    }
    return std::nullopt;
}

std::optional<Request> Admission::next(std::string& refusal) {
    std::optional<Request> request = takeTurn();
    if (!request) return request;
    // Replies may have piled up while it waited.
    const char* text = unreadRefusal(*request->peer);
    refusal = text != nullptr ? text : "";
    return request;
}

// Spliced, not copied: a stop answers every request without needing memory to do it.
std::list<Request> Admission::takeAll() {
    std::list<Request> all;
    for (Entry* entry : turns_) {
        all.splice(all.end(), entry->waiting);
        entry->bytes = 0;
    }
    turns_.clear();
    queuedBytes_ = 0;
    queuedCount_ = 0;
    return all;
}

// Every peer holding replies is sampled, those already cut among them: their bytes are
// still held until ZeroMQ has dropped them, which the share of the others counts on.
std::vector<Admission::CutOff> Admission::watch(Clock::time_point now) {
    std::vector<Peer*> holders;
    std::vector<Entry*> entries;
    for (auto& [identity, entry] : peers_) {
        Peer& peer = *entry.peer;
        const std::size_t unread = peer.unread.load(std::memory_order_acquire);
        if (unread == 0 && !peer.reading.holding) continue;
        const std::uint64_t taken =
            (peer.charged - unread) + connections_.taken(peer.connection).value_or(0);
        noteReading(peer.reading, unread, taken, now);
        if (unread == 0) continue;
        holders.push_back(&peer);
        entries.push_back(&entry);
    }
    std::vector<CutOff> cut;
    for (const Cut& c : chooseCuts(holders, {limits_.unreadAll, limits_.unreadCeiling}, now))
        cutOff(*entries[c.holder], c.cause, now, cut);
    return cut;
}

// A connection that cannot be ended (its descriptor closed or given to another) is not
// chosen again; its peer stays as it is.
void Admission::cutOff(Entry& entry, CutCause cause, Clock::time_point now,
                       std::vector<CutOff>& out) {
    Peer& peer = *entry.peer;
    const std::size_t unread = peer.unread.load(std::memory_order_relaxed);
    if (!connections_.end(peer.connection)) {
        peer.connection.fd = -1;
        return;
    }
    peer.cut = true;
    while (!entry.waiting.empty())
        dropNewest(entry, kUnread);
    const std::chrono::duration<double> stalled = now - peer.reading.stalledSince;
    out.push_back({entry.peer, unread, stalled.count(), cause});
}

// Past the bound alone, nothing is held: the peers stalled there are cut off within a
// second, and holding every request for each reply that crosses it would charge the
// silent peers' pause to everyone. Falling back within the ceiling lets a later
// crossing hold them again.
bool Admission::held(Clock::time_point now) {
    const bool over = unreadAll_->load() > limits_.unreadCeiling;
    if (over && !overCeiling_) heldSince_ = now;
    overCeiling_ = over;
    return over && now - heldSince_ < kUnreadHold;
}

std::size_t Admission::largestUnread() const {
    std::size_t largest = 0;
    for (const auto& [identity, entry] : peers_)
        largest = std::max(largest, entry.peer->unread.load(std::memory_order_relaxed));
    return largest;
}

std::size_t Admission::sweep() {
    const std::size_t before = peers_.size();
    for (auto it = peers_.begin(); it != peers_.end();) {
        // Only the loop's thread makes new references, so a count of one stays one; a
        // waiting request holds one, so no peer that has a turn is forgotten.
        const Entry& entry = it->second;
        const bool unused = entry.peer.use_count() == 1;
        check(!unused || (entry.peer->queued == 0 && entry.waiting.empty()),
              "a peer's count is the number of its requests queued or running");
        it = unused ? peers_.erase(it) : std::next(it);
    }
    return before - peers_.size();
}

} // namespace qel
