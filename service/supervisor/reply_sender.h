// reply_sender.h - every answer leaves the service through here: a worker's reply, sent
// straight from the shared area it was built in (or from a copy), and the supervisor's
// own error texts, each with its log line. It keeps count of the reply bytes ZeroMQ
// still holds, per peer and for all peers together, until ZeroMQ lets go of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <zmq.hpp>

#include "channel.h"
#include "request.h"

namespace qel {

// One of a worker's two reply areas. While ZeroMQ sends a reply straight from it, it is
// held, and the worker builds its next reply in the other one.
struct ReplyArea {
    SharedArea area;
    std::atomic<bool> held{false};
};

// A worker's two reply areas. Rule: the area a worker builds its reply in is never one
// that ZeroMQ holds, so at most one of the two is held at any time.
class ReplyAreas {
  public:
    // Both areas, `size` bytes each; throws std::system_error.
    static ReplyAreas create(std::size_t size);

    int fd(int which) const { return areas_[which]->area.fd(); }
    // Chooses the area for the next reply, one ZeroMQ does not hold, and gives back the
    // other's pages beyond `keep` unless ZeroMQ is sending from it. False when both are
    // held, which the rule above rules out.
    bool prepare(std::size_t keep);
    std::uint32_t current() const { return current_; }
    // Gives back the pages beyond `keep` of every area ZeroMQ does not hold; false while
    // one is still held, to be looked at again later.
    bool release(std::size_t keep);

  private:
    friend class ReplySender;
    std::shared_ptr<ReplyArea> areas_[2];
    std::uint32_t current_ = 0;
};

class ReplySender {
  public:
    ReplySender(zmq::socket_t& front, bool verbose) : front_(front), verbose_(verbose) {}

    // Answers with a text of the supervisor's own, always an error.
    void refuse(Request& request, std::string_view text);

    enum class Sent { Sent, Unreadable, NoMemory };
    // Sends the reply a worker left in its current area: `size` bytes, an error reply
    // unless `ok`. It goes out in place unless the other area is still being sent from;
    // then it is copied, so the worker always has an area to build its next reply in.
    // Unreadable and NoMemory leave the request unanswered, for the caller to answer
    // once it has dealt with the worker.
    Sent sendReply(Request& request, ReplyAreas& areas, std::size_t size, bool ok);

    // Reply bytes ZeroMQ holds for all peers together.
    static const std::atomic<std::size_t>& unreadAll();

  private:
    void log(const Request& request, std::size_t out, bool ok) const;

    zmq::socket_t& front_;
    bool verbose_;
};

} // namespace qel
