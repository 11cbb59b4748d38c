// envelope.cpp - receiving a whole request from the ROUTER socket and answering it.
// REQ peers send identity, empty delimiter, body; a DEALER peer may leave the
// delimiter out, in which case everything after the identity is body.
#include "envelope.h"

#include <cstring>

namespace qel {

bool Envelope::receive(zmq::socket_t& socket, bool wantPeer) {
    frames_.clear();
    bodySize_ = 0;
    peer_.clear();
    zmq::recv_flags flags = zmq::recv_flags::dontwait;
    do {
        frames_.emplace_back();
        if (!socket.recv(frames_.back(), flags)) {
            frames_.pop_back();
            if (frames_.empty()) return false;
            break; // a message arrives whole, so this does not happen
        }
        flags = zmq::recv_flags::none;
    } while (frames_.back().more());

    bodyStart_ = 1;
    for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
        if (frames_[i].size() == 0) {
            bodyStart_ = i + 1;
            break;
        }
    }
    for (std::size_t i = bodyStart_; i < frames_.size(); ++i)
        bodySize_ += frames_[i].size();
    if (wantPeer) {
        const char* address = frames_.back().gets("Peer-Address");
        if (address != nullptr) peer_ = address;
    }
    return true;
}

void Envelope::takeBody(char* dest) {
    for (std::size_t i = bodyStart_; i < frames_.size(); ++i) {
        if (frames_[i].size() != 0) std::memcpy(dest, frames_[i].data(), frames_[i].size());
        dest += frames_[i].size();
    }
    frames_.resize(bodyStart_);
}

bool Envelope::reply(zmq::socket_t& socket, zmq::message_t& message) {
    // The socket is ROUTER_MANDATORY: a peer whose queue of unread replies is full
    // refuses the identity frame before anything is sent. The socket's count of what
    // the peer has read is only brought up to date when it processes its commands, which
    // reading ZMQ_EVENTS makes it do, so one retry after that tells a slow peer from a
    // stale count.
    for (int attempt = 0; attempt < 2 && !frames_.empty(); ++attempt) {
        try {
            std::size_t i = 0;
            for (; i < bodyStart_ && i < frames_.size(); ++i) {
                if (!socket.send(frames_[i], zmq::send_flags::sndmore | zmq::send_flags::dontwait))
                    break;
            }
            if (i == bodyStart_ || i == frames_.size()) {
                frames_.clear();
                return socket.send(message, zmq::send_flags::dontwait).has_value();
            }
            if (i != 0) break; // cannot happen: only the first frame is refused
            (void)socket.get(zmq::sockopt::events);
        } catch (const zmq::error_t&) {
            break; // EHOSTUNREACH: the peer is gone
        }
    }
    frames_.clear();
    return false;
}

bool Envelope::reply(zmq::socket_t& socket, std::string_view text) {
    zmq::message_t message(text.data(), text.size());
    return reply(socket, message);
}

} // namespace qel
