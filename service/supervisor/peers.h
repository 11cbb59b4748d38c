// peers.h - what the supervisor knows of one peer (one routing identity): how many of
// its requests are queued or running, and how many reply bytes ZeroMQ still holds for
// it. Every request, queued or running, and every reply ZeroMQ holds shares ownership
// of the record, so a reply that ZeroMQ lets go of late still finds it alive.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace qel {

struct Peer {
    int queued = 0; // requests queued or running; see PeerSlot
    int ahead = 0;  // requests posted ahead to a worker and not yet started (admission.h)
    std::atomic<std::size_t> unread{0}; // reply bytes ZeroMQ holds for it
};
using PeerPtr = std::shared_ptr<Peer>;

// A request's place in its peer's count. The count is kept by this one type: it goes up
// when a request is admitted and down when the request is answered, whichever way, so
// no path can forget it.
class PeerSlot {
  public:
    PeerSlot() = default;
    explicit PeerSlot(PeerPtr peer) : peer_(std::move(peer)) {
        if (peer_) ++peer_->queued;
    }
    ~PeerSlot() { reset(); }
    PeerSlot(PeerSlot&& other) noexcept : peer_(std::move(other.peer_)) {}
    PeerSlot& operator=(PeerSlot&& other) noexcept {
        if (this != &other) {
            reset();
            peer_ = std::move(other.peer_);
        }
        return *this;
    }
    PeerSlot(const PeerSlot&) = delete;
    PeerSlot& operator=(const PeerSlot&) = delete;

    void reset() {
        if (peer_) --peer_->queued;
        peer_.reset();
    }
    const PeerPtr& get() const { return peer_; }
    Peer& operator*() const { return *peer_; }
    Peer* operator->() const { return peer_.get(); }

  private:
    PeerPtr peer_;
};

} // namespace qel
