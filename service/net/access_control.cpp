// access_control.cpp - the ZAP handler thread: one request per connection attempt,
// answered 200 when the peer's address is inside an allowed range and 400 otherwise.
// ZeroMQ closes refused connections before any message reaches the service.
#include "access_control.h"

#include <cstdio>
#include <iterator>

#include "log.h"
#include "retry.h"

namespace qel {

namespace {

// A ZAP request's frames before the credentials: version, request id, domain, address,
// routing id, mechanism.
constexpr std::size_t kZapFrames = 6;
constexpr std::size_t kAddressFrame = 3;

// The frames of the next request into `frames`; false once the service is shutting down.
bool receiveRequest(zmq::socket_t& socket, std::vector<zmq::message_t>& frames) {
    frames.clear();
    // Each call is made again when interrupted, so that no frame of a request is
    // lost and no connection waits for ever on an answer this thread gave up on.
    try {
        do {
            frames.emplace_back();
            if (!retried([&] { return socket.recv(frames.back(), zmq::recv_flags::none); })) break;
        } while (frames.back().more());
    } catch (const zmq::error_t&) {
        return false; // ETERM: the service is shutting down
    }
    return true;
}

void logDecision(const std::string& address, bool ok) {
    LogLine("connection",
            formatted("%s connection from %s", ok ? "admitted" : "refused", address.c_str()))
        .with("peer", address)
        .with("outcome", ok ? "admitted" : "refused")
        .write();
}

// The answer to the request with id `requestId`; false once the socket cannot take it.
bool sendAnswer(zmq::socket_t& socket, const zmq::message_t& requestId, bool ok) {
    const zmq::const_buffer reply[] = {
        zmq::buffer(std::string_view("1.0")),
        zmq::buffer(requestId.data(), requestId.size()),
        zmq::buffer(std::string_view(ok ? "200" : "400")),
        zmq::buffer(std::string_view(ok ? "OK" : "address not allowed")),
        zmq::str_buffer(""), // user id
        zmq::str_buffer(""), // metadata
    };
    try {
        for (std::size_t i = 0; i < std::size(reply); ++i) {
            const auto flags =
                i + 1 < std::size(reply) ? zmq::send_flags::sndmore : zmq::send_flags::none;
            retried([&] { return socket.send(reply[i], flags); });
        }
    } catch (const zmq::error_t&) {
        return false;
    }
    return true;
}

} // namespace

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
    // The request frames (kZapFrames), then the mechanism's credentials (none for NULL).
    std::vector<zmq::message_t> frames;
    while (receiveRequest(socket_, frames)) {
        if (frames.size() < kZapFrames) continue;
        const std::string address = frames[kAddressFrame].to_string();
        const bool ok = frames[0].to_string_view() == "1.0" && admits(address);
        decisions_[ok ? 0 : 1].fetch_add(1, std::memory_order_relaxed);
        if (verbose_) logDecision(address, ok);
        if (!sendAnswer(socket_, frames[1], ok)) break;
    }
    socket_.close();
}

} // namespace qel
