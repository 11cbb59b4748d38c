// unread_bytes.h - the reply bytes ZeroMQ holds for all peers together, and how many
// peers hold any, which admission bounds (--max-unread) and shares out. The reply sender
// charges a reply on the loop's thread and ZeroMQ's callback releases it on its I/O
// thread, possibly while the context closes, after the supervisor's objects are gone: so
// it is shared by the sender and by every reply in flight, and the last of them frees it.
#pragma once

#include <atomic>
#include <cstddef>

#include "peers.h"

namespace qel {

class UnreadBytes {
  public:
    // A reply of n bytes for `peer` is about to be handed to ZeroMQ. Relaxed: the reply's
    // hand-over, which follows, orders it before ZeroMQ's release (see InFlight in
    // reply_sender.cpp for how ThreadSanitizer is shown that order). The peer's own count
    // says whether it held nothing before: only the one thread that takes it from zero
    // sees zero come back, so the peers are counted once each. Only the loop's thread
    // charges, so the peer's running total of what was charged is a plain count.
    void charge(Peer& peer, std::size_t n) noexcept {
        if (n == 0) return;
        peer.charged += n;
        if (peer.unread.fetch_add(n, std::memory_order_relaxed) == 0)
            peers_.fetch_add(1, std::memory_order_relaxed);
        bytes_.fetch_add(n, std::memory_order_relaxed);
    }
    // ZeroMQ has let go of a reply of n bytes for `peer`; if it was the peer's last, the
    // peer no longer holds any.
    void release(Peer& peer, std::size_t n) noexcept {
        if (n == 0) return;
        if (peer.unread.fetch_sub(n, std::memory_order_release) == n)
            peers_.fetch_sub(1, std::memory_order_release);
        bytes_.fetch_sub(n, std::memory_order_release);
    }
    // What ZeroMQ holds now; acquire, to pair with the callback's release.
    std::size_t load() const noexcept { return bytes_.load(std::memory_order_acquire); }
    // How many peers it holds any bytes for. Read apart from load(), so the two may be a
    // reply apart; admission uses it to share the bound out, never to keep it.
    std::size_t peers() const noexcept { return peers_.load(std::memory_order_acquire); }

  private:
    std::atomic<std::size_t> bytes_{0};
    std::atomic<std::size_t> peers_{0};
};

} // namespace qel
