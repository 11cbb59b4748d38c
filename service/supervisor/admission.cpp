// admission.cpp - the rules of admission.h, checked in the order a client can act on:
// a request that can never run, then replies left unread, then room to wait.
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

AdmissionLimits AdmissionLimits::from(const ServiceOptions& options) {
    AdmissionLimits limits;
    const std::size_t largest = options.limits.maxRequest;
    limits.maxRequest = largest;
    limits.queueBytes =
        largest == 0 || largest > SIZE_MAX / kQueueRequests ? SIZE_MAX : largest * kQueueRequests;
    const std::size_t unread = options.maxUnread.value_or(options.limits.maxMemory);
    limits.unreadAll = unread == 0 ? SIZE_MAX : unread;
    return limits;
}

Admission::Admission(const AdmissionLimits& limits, std::shared_ptr<const UnreadBytes> unreadAll)
    : limits_(limits), unreadAll_(std::move(unreadAll)) {}

PeerPtr Admission::peerOf(std::string_view identity) {
    PeerPtr& peer = peers_[std::string(identity)];
    if (!peer) peer = std::make_shared<Peer>();
    return peer;
}

// Checked before a request runs, so each worker may add one more reply beyond the bound.
const char* Admission::unreadRefusal(const Peer& peer) const {
    const std::size_t own = std::min(limits_.unreadPerPeer, limits_.unreadAll);
    if (peer.unread.load(std::memory_order_acquire) > own) return kUnread;
    return unreadAll_->load() > limits_.unreadAll ? kBusy : nullptr;
}

Admission::Verdict Admission::admit(Request& request, bool workerFree, std::string& refusal) {
    if (limits_.maxRequest != 0 && request.size > limits_.maxRequest) {
        refusal = reply::tooLarge(request.size, limits_.maxRequest);
        return Verdict::Refused;
    }
    PeerPtr peer = peerOf(request.envelope.identity());
    if (const char* text = unreadRefusal(*peer)) {
        refusal = text;
        return Verdict::Refused;
    }
    // First come, first served: a free worker takes a new request only when none waits.
    if (workerFree && queue_.empty()) {
        request.peer = PeerSlot(std::move(peer));
        return Verdict::Run;
    }
    if (peer->queued >= limits_.perPeer || request.size > limits_.queueBytes - queuedBytes_) {
        refusal = kBusy;
        return Verdict::Refused;
    }
    request.peer = PeerSlot(std::move(peer));
    queuedBytes_ += request.size;
    queue_.push_back(std::move(request));
    return Verdict::Queued;
}

std::optional<Request> Admission::next(std::string& refusal) {
    if (queue_.empty()) return std::nullopt;
    Request request = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= request.size;
    check(!queue_.empty() || queuedBytes_ == 0, "the queue's byte count is its bodies' sum");
    // Replies may have piled up while it waited.
    const char* text = unreadRefusal(*request.peer);
    refusal = text != nullptr ? text : "";
    return request;
}

std::deque<Request> Admission::takeAll() {
    queuedBytes_ = 0;
    return std::exchange(queue_, {});
}

std::size_t Admission::sweep() {
    const std::size_t before = peers_.size();
    for (auto it = peers_.begin(); it != peers_.end();) {
        // Only the loop's thread makes new references, so a count of one stays one.
        const bool unused = it->second.use_count() == 1;
        check(!unused || it->second->queued == 0,
              "a peer's count is the number of its requests queued or running");
        it = unused ? peers_.erase(it) : std::next(it);
    }
    return before - peers_.size();
}

} // namespace qel
