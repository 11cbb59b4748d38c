// envelope.h - one request as the public ROUTER socket delivers it: the routing envelope
// (peer identity up to the empty delimiter) and the body parts, which are joined into
// one chunk only when they are copied to a worker. The reply goes back behind the same
// envelope, as a single part.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <zmq.hpp>

namespace qel {

class Envelope {
  public:
    Envelope() = default;
    // A message already taken in, its parts in order (as receive() would have them), and
    // the descriptor ZeroMQ named for it.
    explicit Envelope(std::vector<zmq::message_t> frames, int sourceFd = -1);

    // Takes in one whole message without waiting; false when none is there. wantPeer
    // keeps the peer's address for the log.
    bool receive(zmq::socket_t& socket, bool wantPeer);

    std::size_t bodySize() const { return bodySize_; }
    // The routing identity ZeroMQ gave the peer's connection.
    std::string_view identity() const {
        return frames_.empty() ? std::string_view() : frames_.front().to_string_view();
    }
    // Copies the body parts, in order, to dest (bodySize() bytes), then drops them.
    void takeBody(char* dest);
    // The same, keeping them (a request posted ahead may be withdrawn), and dropping them later.
    void copyBody(char* dest) const;
    void dropBody();
    // The peer's address, or "unknown" when the transport does not say (or it was not
    // asked for).
    const char* peer() const { return peer_.empty() ? "unknown" : peer_.c_str(); }
    // The descriptor of the connection it came on, as ZeroMQ names it; -1 for none.
    int sourceFd() const { return sourceFd_; }
    // The peer's address, asked of ZeroMQ now, while the message is whole.
    std::string address() const;

    // Sends text behind this request's envelope; consumes the envelope. False when
    // ZeroMQ refused it (the peer is gone, or has too many replies unread).
    bool reply(zmq::socket_t& socket, std::string_view text);
    // The same with a message that already holds the reply.
    bool reply(zmq::socket_t& socket, zmq::message_t& message);

  private:
    void parse();

    std::vector<zmq::message_t> frames_;
    std::size_t bodyStart_ = 0;
    std::size_t bodySize_ = 0;
    int sourceFd_ = -1;
    std::string peer_;
};

} // namespace qel
