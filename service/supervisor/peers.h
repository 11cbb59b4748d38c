// peers.h - what the supervisor knows of one peer (one routing identity): how many of
// its requests are queued or running, and how many reply bytes ZeroMQ still holds for
// it, the connection it came on and how it reads. Every request, queued or running, and
// every reply ZeroMQ holds shares ownership of the record, so a reply that ZeroMQ lets go
// of late still finds it alive.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qel {

// The connection a peer's requests came on, as the kernel names it: the descriptor,
// and the socket's inode, which tells that descriptor apart from a later connection
// given the same number. fd is -1 for a transport without one (inproc).
struct ConnectionId {
    int fd = -1;
    std::uint64_t inode = 0;
    bool operator==(const ConnectionId& o) const { return fd == o.fd && inode == o.inode; }
};

// How a peer holding unread replies takes them, as the unread watch samples it: since
// when it has held bytes without taking a step of them, and what it had taken then.
struct Reading {
    bool holding = false;
    std::chrono::steady_clock::time_point stalledSince{};
    std::uint64_t taken = 0; // the progress count at stalledSince
};

struct Peer {
    int queued = 0; // requests queued or running; see PeerSlot
    int ahead = 0;  // requests posted ahead to a worker and not yet started (admission.h)
    std::atomic<std::size_t> unread{0}; // reply bytes ZeroMQ holds for it
    // The rest belongs to the loop's thread alone.
    std::uint64_t charged = 0; // reply bytes ever handed to ZeroMQ for it
    ConnectionId connection;
    std::string address; // for the log line that says it was cut off
    Reading reading;
    bool cut = false; // its connection was ended; nothing more is taken from it
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
