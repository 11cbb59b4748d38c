// unread_bytes.h - the count of reply bytes ZeroMQ holds for all peers together, which
// admission bounds (--max-unread). The reply sender adds to it on the loop's thread and
// ZeroMQ's callback takes away on its I/O thread, possibly while the context closes,
// after the supervisor's objects are gone: so it is shared by the sender and by every
// reply in flight, and the last of them frees it.
#pragma once

#include <atomic>
#include <cstddef>

namespace qel {

class UnreadBytes {
  public:
    // A reply of n bytes is about to be handed to ZeroMQ. Relaxed: the reply's hand-over,
    // which follows, orders it before ZeroMQ's subtraction (see InFlight in
    // reply_sender.cpp for how ThreadSanitizer is shown that order).
    void add(std::size_t n) noexcept { bytes_.fetch_add(n, std::memory_order_relaxed); }
    // ZeroMQ has let go of a reply of n bytes.
    void subtract(std::size_t n) noexcept { bytes_.fetch_sub(n, std::memory_order_release); }
    // What ZeroMQ holds now; acquire, to pair with the callback's release.
    std::size_t load() const noexcept { return bytes_.load(std::memory_order_acquire); }

  private:
    std::atomic<std::size_t> bytes_{0};
};

} // namespace qel
