// reply_sender.h - every answer leaves the service through here: a worker's reply, sent
// straight from the shared area it was built in (or from a copy), and the supervisor's
// own error texts, each with its log line. It keeps count of the reply bytes ZeroMQ
// still holds, per peer and for all peers together (UnreadBytes), until ZeroMQ lets go
// of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <zmq.hpp>

#include "metrics.h"
#include "outcome.h"
#include "reply_areas.h"
#include "request.h"
#include "unread_bytes.h"

namespace qel {

class ReplySender {
  public:
    // Every answer is counted in `metrics`, and timed for its histogram when `timed`.
    // Throws std::bad_alloc.
    ReplySender(zmq::socket_t& front, bool verbose, MetricsWriter& metrics, bool timed)
        : front_(front), verbose_(verbose), timed_(timed), metrics_(metrics),
          unread_(std::make_shared<UnreadBytes>()) {}

    // Answers with a text of the supervisor's own, always an error.
    void refuse(Request& request, std::string_view text);

    enum class Sent { Sent, Unreadable, NoMemory };
    // Sends the reply the worker at `worker` (its place in the pool) left in its current
    // area: `size` bytes, an error reply unless `ok`. It goes out in place unless the other area is
    // still being sent from; then it is copied, so the worker always has an area to build its next
    // reply in. Unreadable and NoMemory leave the request unanswered, for the caller to answer once
    // it has dealt with the worker. With arenaOffset, the reply lies at that offset in the
    // worker's arena instead, and goes out in place; one that does not lie wholly within
    // the arena, or comes while ZeroMQ still sends from it, is Unreadable. With keepArea (a
    // request posted ahead wants the area next), a small reply is copied, so the area is
    // free at once.
    Sent sendReply(Request& request, ReplyAreas& areas, std::size_t size, bool ok,
                   std::size_t worker, const std::uint64_t* arenaOffset = nullptr,
                   bool keepArea = false);

    // Reply bytes ZeroMQ holds for all peers together, to be read; it lives on as long
    // as the handle, or a reply ZeroMQ holds, does.
    std::shared_ptr<const UnreadBytes> unread() const { return unread_; }

  private:
    // Every answer is counted just before it is handed to ZeroMQ, so that a client that
    // has it finds it counted; the time it took, when anything uses it.
    double count(const Request& request, Outcome outcome) const;
    // Then its log line; one ZeroMQ could not hand over moves to Outcome::Undelivered.
    void record(const Request& request, std::size_t out, Outcome outcome, bool sent, double seconds,
                const std::size_t* worker) const;

    zmq::socket_t& front_;
    bool verbose_;
    bool timed_;
    MetricsWriter& metrics_;
    std::shared_ptr<UnreadBytes> unread_;
};

} // namespace qel
