// peer.h - an in-process ZeroMQ REP peer that tests program per request.
// It binds tcp://127.0.0.1:* and answers each request with the parts a handler
// returns; an empty list means "do not answer".
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

class TestPeer {
  public:
    using Parts = std::vector<std::string>;
    using Handler = std::function<Parts(const std::string& request)>;

    explicit TestPeer(Handler handler);
    ~TestPeer();
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    int port() const { return port_; }

    // Requests seen so far, each with its parts joined.
    std::vector<std::string> requests() const;
    std::size_t requestCount() const;

    static Parts echo(const std::string& request) { return {request}; }

  private:
    void serve();

    Handler handler_;
    zmq::context_t context_;
    zmq::socket_t socket_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
