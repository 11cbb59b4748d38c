// peer.cpp - the serving loop of TestPeer.
// The loop polls with a short time-out so that the destructor can stop it, and gives
// up on its own after a fixed lifetime so a forgotten peer cannot run forever.
#include "peer.h"

#include <chrono>

namespace {
constexpr auto kMaxLifetime = std::chrono::minutes(5);
constexpr long kPollMs = 20;
} // namespace

TestPeer::TestPeer(Handler handler)
    : handler_(std::move(handler)), context_(), socket_(context_, zmq::socket_type::rep) {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.bind("tcp://127.0.0.1:*");
    const std::string endpoint = socket_.get(zmq::sockopt::last_endpoint);
    port_ = std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
    thread_ = std::thread([this] { serve(); });
}

TestPeer::~TestPeer() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> TestPeer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t TestPeer::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void TestPeer::serve() {
    const auto deadline = std::chrono::steady_clock::now() + kMaxLifetime;
    bool awaitingReply = false; // set once we chose not to answer: REP can only send now
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        zmq::pollitem_t item{static_cast<void*>(socket_), 0, ZMQ_POLLIN, 0};
        zmq::poll(&item, 1, std::chrono::milliseconds(kPollMs));
        if (!(item.revents & ZMQ_POLLIN) || awaitingReply) continue;

        std::string request;
        zmq::message_t part;
        do {
            if (!socket_.recv(part, zmq::recv_flags::none)) break;
            request.append(part.data<char>(), part.size());
        } while (part.more());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }

        const Parts reply = handler_(request);
        if (reply.empty()) {
            awaitingReply = true;
            continue;
        }
        for (std::size_t i = 0; i < reply.size(); ++i) {
            const auto flags =
                i + 1 < reply.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
            socket_.send(zmq::buffer(reply[i]), flags);
        }
    }
}
