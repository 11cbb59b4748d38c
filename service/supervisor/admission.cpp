// admission.cpp - the rules of admission.h, checked in the order a client can act on:
// a request that can never run, then replies left unread, then room to wait. Waiting
// requests are served by turns over their peers, so a peer's place in line does not
// depend on how many requests another peer keeps waiting.
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
    limits.unreadOver =
        unread == 0 ? SIZE_MAX : times(reply, static_cast<std::size_t>(options.workers));
    return limits;
}

Admission::Admission(const AdmissionLimits& limits, std::shared_ptr<const UnreadBytes> unreadAll)
    : limits_(limits), unreadAll_(std::move(unreadAll)) {}

Admission::Entry& Admission::entryOf(std::string_view identity) {
    Entry& entry = peers_[std::string(identity)];
    if (!entry.peer) entry.peer = std::make_shared<Peer>();
    return entry;
}

// Checked before a request runs, so each worker may add one more reply beyond what the
// check saw. Past the bound a peer is refused when it holds more than its share of it,
// and every peer once the total is past the headroom as well: peers within their share,
// a new one with nothing unread among them, could otherwise add a reply each, as many
// as connections can be opened.
const char* Admission::unreadRefusal(const Peer& peer) const {
    const std::size_t own = peer.unread.load(std::memory_order_acquire);
    if (own > std::min(limits_.unreadPerPeer, limits_.unreadAll)) return kUnread;
    const std::size_t all = unreadAll_->load();
    if (all <= limits_.unreadAll) return nullptr;
    const std::size_t holders = std::max<std::size_t>(unreadAll_->peers(), 1);
    if (own > limits_.unreadAll / holders) return kUnread;
    return all - limits_.unreadAll > limits_.unreadOver ? kBusy : nullptr;
}

Admission::Verdict Admission::admit(Request& request, bool workerFree, std::string& refusal) {
    if (limits_.maxRequest != 0 && request.size > limits_.maxRequest) {
        refusal = reply::tooLarge(request.size, limits_.maxRequest);
        return Verdict::Refused;
    }
    Entry& entry = entryOf(request.envelope.identity());
    if (const char* text = unreadRefusal(*entry.peer)) {
        refusal = text;
        return Verdict::Refused;
    }
    // A free worker takes a new request only when none waits, whoever's it is.
    if (workerFree && turns_.empty()) {
        request.peer = PeerSlot(entry.peer);
        return Verdict::Run;
    }
    if (entry.peer->queued >= limits_.perPeer || request.size > limits_.queueBytes - queuedBytes_) {
        refusal = kBusy;
        return Verdict::Refused;
    }
    request.peer = PeerSlot(entry.peer);
    queuedBytes_ += request.size;
    ++queuedCount_;
    entry.waiting.push_back(std::move(request));
    // A peer that had nothing waiting takes its turn after every peer that has.
    if (entry.waiting.size() == 1) join(entry);
    return Verdict::Queued;
}

// To the end of the turns, but before a peer whose turn was taken early for a request
// posted ahead that has not started (whose turn, taken now, would have come later).
void Admission::join(Entry& entry) {
    if (ahead_ == 0 || entry.peer->ahead > 0) {
        turns_.push_back(&entry);
        return;
    }
    const auto early = std::find_if(turns_.begin(), turns_.end(), [](const Entry* e) {
        return !e->putBack && e->peer->ahead > 0;
    });
    turns_.insert(early, &entry);
}

void Admission::postedAhead(Peer& peer) {
    ++peer.ahead;
    ++ahead_;
}

void Admission::startedAhead(Peer& peer) {
    if (!check(peer.ahead > 0 && ahead_ > 0, "a request starts ahead only once it is posted ahead"))
        return;
    --peer.ahead;
    --ahead_;
}

void Admission::putBack(Request&& request) {
    Entry& entry = entryOf(request.envelope.identity());
    startedAhead(*entry.peer);
    queuedBytes_ += request.size;
    ++queuedCount_;
    if (!entry.waiting.empty()) turns_.erase(std::find(turns_.begin(), turns_.end(), &entry));
    entry.waiting.push_front(std::move(request));
    entry.putBack = true;
    turns_.push_front(&entry);
}

std::optional<Request> Admission::takeTurn() {
    while (!turns_.empty()) {
        Entry& entry = *turns_.front();
        turns_.pop_front();
        entry.putBack = false;
        if (!check(!entry.waiting.empty(), "a peer has a turn only while a request of its waits"))
            continue;
        Request request = std::move(entry.waiting.front());
        entry.waiting.pop_front();
        if (!entry.waiting.empty()) join(entry);
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
    for (Entry* entry : turns_)
        all.splice(all.end(), entry->waiting);
    turns_.clear();
    queuedBytes_ = 0;
    queuedCount_ = 0;
    return all;
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
