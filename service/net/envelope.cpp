// envelope.cpp - receiving a whole request from the ROUTER socket and answering it.
// REQ peers send identity, empty delimiter, body; a DEALER peer may leave the
// delimiter out, in which case everything after the identity is body.
#include "envelope.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "retry.h"

namespace qel {

bool Envelope::receive(zmq::socket_t& socket, bool wantPeer) {
    frames_.clear();
    bodySize_ = 0;
    peer_.clear();
    zmq::recv_flags flags = zmq::recv_flags::dontwait;
    try {
        do {
            frames_.emplace_back();
            if (!retried([&] { return socket.recv(frames_.back(), flags); })) {
                frames_.pop_back();
                if (frames_.empty()) return false;
                break; // a message arrives whole, so this does not happen
            }
            flags = zmq::recv_flags::none;
        } while (frames_.back().more());
    } catch (const zmq::error_t& e) {
        // Nothing the loop does leads here (the socket lives as long as the loop); the
        // service carries on without this message rather than end.
        LogLine("error", formatted("cannot receive a request: %s", e.what())).write();
        frames_.clear();
        return false;
    }
    parse();
    // cppzmq's get() throws for a message with no descriptor; the C call says -1.
    sourceFd_ = zmq_msg_get(frames_.front().handle(), ZMQ_SRCFD);
    if (wantPeer) peer_ = address();
    return true;
}

std::string Envelope::address() const {
    // cppzmq's gets() throws where the transport names no address; the C call says null.
    const char* address =
        frames_.empty() ? nullptr : zmq_msg_gets(frames_.back().handle(), "Peer-Address");
    return address != nullptr ? address : "";
}

Envelope::Envelope(std::vector<zmq::message_t> frames, int sourceFd)
    : frames_(std::move(frames)), sourceFd_(sourceFd) {
    parse();
}

void Envelope::parse() {
    bodyStart_ = 1;
    bodySize_ = 0;
    for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
        if (frames_[i].size() == 0) {
            bodyStart_ = i + 1;
            break;
        }
    }
    for (std::size_t i = bodyStart_; i < frames_.size(); ++i)
        bodySize_ += frames_[i].size();
}

void Envelope::takeBody(char* dest) {
    copyBody(dest);
    dropBody();
}

void Envelope::copyBody(char* dest) const {
    for (std::size_t i = bodyStart_; i < frames_.size(); ++i) {
        if (frames_[i].size() != 0) std::memcpy(dest, frames_[i].data(), frames_[i].size());
        dest += frames_[i].size();
    }
}

void Envelope::dropBody() {
    frames_.resize(bodyStart_);
}

bool Envelope::reply(zmq::socket_t& socket, zmq::message_t& message) {
    // The socket is ROUTER_MANDATORY: a peer whose queue of unread replies is full
    // refuses the identity frame before anything is sent. The socket's count of what
    // the peer has read is only brought up to date when it processes its commands, which
    // reading ZMQ_EVENTS makes it do, so one retry after that tells a slow peer from a
    // stale count. An interrupted call is made again, so a signal never costs a reply.
    constexpr auto more = zmq::send_flags::sndmore | zmq::send_flags::dontwait;
    constexpr int kAttempts = 2; // the first, and the one after the count is brought up
    for (int attempt = 0; attempt < kAttempts && !frames_.empty(); ++attempt) {
        try {
            std::size_t i = 0;
            for (; i < bodyStart_ && i < frames_.size(); ++i) {
                if (!retried([&] { return socket.send(frames_[i], more); })) break;
            }
            if (i == bodyStart_ || i == frames_.size()) {
                frames_.clear();
                return retried([&] { return socket.send(message, zmq::send_flags::dontwait); })
                    .has_value();
            }
            if (i != 0) break; // cannot happen: only the first frame is refused
            (void)retried([&] { return socket.get(zmq::sockopt::events); });
        } catch (const zmq::error_t& e) {
            // EHOSTUNREACH: the peer is gone. Anything else is said, not fatal.
            if (e.num() != EHOSTUNREACH)
                LogLine("error", formatted("cannot send a reply: %s", e.what())).write();
            break;
        }
    }
    frames_.clear();
    return false;
}

bool Envelope::reply(zmq::socket_t& socket, std::string_view text) {
    zmq::message_t message;
    try {
        message.rebuild(text.data(), text.size());
    } catch (const zmq::error_t& e) { // no memory for the copy: the peer goes unanswered
        LogLine("error", formatted("cannot send a reply: %s", e.what())).write();
        frames_.clear();
        return false;
    }
    return reply(socket, message);
}

} // namespace qel
