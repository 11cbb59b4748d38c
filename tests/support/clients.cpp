// clients.cpp - RawClient and DealerClient over cppzmq, LibraryClient over the C interface.
#include "clients.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "timing.h"

RawClient::RawClient(const std::string& endpoint, int timeoutMs)
    : context_(1), socket_(context_, zmq::socket_type::req) {
    socket_.set(zmq::sockopt::rcvtimeo, timeoutMs);
    socket_.set(zmq::sockopt::sndtimeo, timeoutMs);
    socket_.set(zmq::sockopt::linger, 0);
    if (endpoint.find('[') != std::string::npos) socket_.set(zmq::sockopt::ipv6, true);
    socket_.connect(endpoint);
}

std::optional<std::string> RawClient::ask(const std::string& request) {
    if (!socket_.send(zmq::buffer(request), zmq::send_flags::none)) return std::nullopt;
    return receive();
}

std::optional<std::string> RawClient::ask(const std::vector<std::string>& parts) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto flags = i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
        if (!socket_.send(zmq::buffer(parts[i]), flags)) return std::nullopt;
    }
    return receive();
}

std::optional<std::string> RawClient::receive() {
    zmq::message_t reply;
    if (!socket_.recv(reply, zmq::recv_flags::none)) return std::nullopt;
    return reply.to_string();
}

std::size_t RawClient::exchange(const std::string& request) {
    zmq::message_t reply;
    if (!socket_.send(zmq::buffer(request), zmq::send_flags::none) ||
        !socket_.recv(reply, zmq::recv_flags::none)) {
        throw std::runtime_error("raw exchange timed out");
    }
    const std::size_t size = reply.size();
    char* copy = static_cast<char*>(std::malloc(size + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, reply.data(), size);
    copy[size] = '\0';
    keep(copy);
    std::free(copy);
    return size;
}

namespace {
// One byte over kMarkLimit, and far below the size (twice the limit) at which ZeroMQ
// drops the connection instead.
const std::string kMark(1025, '-');
const std::string kMarkRefusal = "error: request too large: 1025 bytes, limit 1024";
} // namespace

DealerClient::DealerClient(const std::string& endpoint, int timeoutMs)
    : context_(1), socket_(context_, zmq::socket_type::dealer) {
    socket_.set(zmq::sockopt::rcvtimeo, timeoutMs);
    socket_.set(zmq::sockopt::sndtimeo, timeoutMs);
    socket_.set(zmq::sockopt::linger, 0);
    socket_.connect(endpoint);
}

bool DealerClient::send(const std::string& request) {
    ++sent_;
    return socket_.send(zmq::str_buffer(""), zmq::send_flags::sndmore) &&
           socket_.send(zmq::buffer(request), zmq::send_flags::none);
}

std::optional<std::string> DealerClient::receive() {
    if (!early_.empty()) {
        std::string reply = std::move(early_.front());
        early_.pop_front();
        return reply;
    }
    zmq::message_t delimiter, body;
    if (!socket_.recv(delimiter) || !delimiter.more() || !socket_.recv(body)) return std::nullopt;
    return body.to_string();
}

bool DealerClient::sendTakenIn(const std::string& request) {
    if (!send(request) || !send(kMark)) return false;
    // Every reply but the mark's is one of a request sent before it.
    for (std::size_t replies = 0; replies < sent_; ++replies) {
        zmq::message_t delimiter, body;
        if (!socket_.recv(delimiter) || !delimiter.more() || !socket_.recv(body)) return false;
        if (body.to_string_view() == kMarkRefusal) return true;
        early_.push_back(body.to_string());
    }
    return false;
}

LibraryClient::LibraryClient(int port) : handle_(connectedHandle(port)) {
    if (!handle_) {
        throw std::runtime_error("no handle connected to 127.0.0.1:" + std::to_string(port));
    }
}

std::string LibraryClient::run(const std::string& script) {
    const Exchange answer = execute(handle_.get(), script.c_str());
    return answer.status == 0 ? answer.text() : "<call failed>";
}

void LibraryClient::exchange(const char* script) {
    char* result = nullptr;
    if (executeLuaScriptQel(&result, script, handle_.get()) != 0) {
        throw std::runtime_error("executeLuaScriptQel failed");
    }
    keep(result);
    freeResult(result);
}
