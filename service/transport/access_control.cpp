// access_control.cpp - the ZAP handler thread: one request per connection attempt,
// answered 200 when the peer's address is inside an allowed range and 400 otherwise.
// ZeroMQ closes refused connections before any message reaches the service.
#include "access_control.h"

#include <cstdio>

namespace qel {

ZapHandler::ZapHandler(zmq::context_t& context, std::vector<AddressRange> ranges, bool verbose)
    : ranges_(std::move(ranges)), verbose_(verbose), socket_(context, zmq::socket_type::rep) {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.bind("inproc://zeromq.zap.01");
    thread_ = std::thread([this] { serve(); });
}

ZapHandler::~ZapHandler() {
    if (thread_.joinable()) thread_.join();
}

bool ZapHandler::admits(const std::string& address) const {
    for (const AddressRange& range : ranges_) {
        if (range.contains(address)) return true;
    }
    return false;
}

void ZapHandler::serve() {
    // Request frames: version, request id, domain, address, routing id, mechanism,
    // then the mechanism's credentials (none for NULL).
    std::vector<zmq::message_t> frames;
    for (;;) {
        frames.clear();
        try {
            do {
                frames.emplace_back();
                if (!socket_.recv(frames.back(), zmq::recv_flags::none)) break;
            } while (frames.back().more());
        } catch (const zmq::error_t& e) {
            if (e.num() == EINTR) continue;
            break; // ETERM: the service is shutting down
        }
        if (frames.size() < 6) continue;
        const std::string address = frames[3].to_string();
        const bool ok = frames[0].to_string_view() == "1.0" && admits(address);
        if (verbose_) {
            std::fprintf(stderr, "qel-lua-service: %s connection from %s\n",
                         ok ? "admitted" : "refused", address.c_str());
        }
        try {
            socket_.send(zmq::buffer(std::string_view("1.0")), zmq::send_flags::sndmore);
            socket_.send(frames[1], zmq::send_flags::sndmore);
            socket_.send(zmq::buffer(std::string_view(ok ? "200" : "400")),
                         zmq::send_flags::sndmore);
            socket_.send(zmq::buffer(std::string_view(ok ? "OK" : "address not allowed")),
                         zmq::send_flags::sndmore);
            socket_.send(zmq::str_buffer(""), zmq::send_flags::sndmore); // user id
            socket_.send(zmq::str_buffer(""), zmq::send_flags::none);    // metadata
        } catch (const zmq::error_t&) {
            break;
        }
    }
    socket_.close();
}

} // namespace qel
