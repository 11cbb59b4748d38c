// clients.h - the ways tests and benchmarks talk to a service: a raw ZeroMQ REQ client
// (the benchmarks' yardstick, and how a test sees a missing answer), a DEALER that can
// tell when the service has taken its request in, and a client through the library's C
// interface, as a host uses it.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <zmq.hpp>

#include "host.h"

// A REQ socket in a context of its own with one I/O thread, set up like a library handle.
class RawClient {
  public:
    static constexpr int kWaitForever = -1;

    // timeoutMs bounds every send and receive; kWaitForever blocks as a library handle does.
    explicit RawClient(const std::string& endpoint, int timeoutMs = 10000);

    // The reply to a request of one part or of several; nullopt when none came in time.
    std::optional<std::string> ask(const std::string& request);
    std::optional<std::string> ask(const std::vector<std::string>& parts);

    // An exchange as the benchmarks time it: send, receive, the one copy that the
    // library's interface requires (into a fresh buffer of size + 1 bytes) and release.
    // Returns the reply's size; throws std::runtime_error when the exchange fails.
    std::size_t exchange(const std::string& request);

  private:
    std::optional<std::string> receive();

    zmq::context_t context_;
    zmq::socket_t socket_;
};

// The service reads each connection's requests in order and refuses one over
// --max-request as soon as it reads it, before anything runs. So a request followed by
// such a mark has been taken in, running or queued, once the mark's refusal is back:
// the one event a client can see for a request that has no answer yet. Services that
// this is used with run with --max-request kMarkLimit.
inline constexpr const char* kMarkLimit = "1k";

// A DEALER speaking as a REQ peer does (an empty delimiter, then the body), but with
// any number of requests out at once.
class DealerClient {
  public:
    explicit DealerClient(const std::string& endpoint, int timeoutMs = 10000);

    bool send(const std::string& request);
    // The next reply; nullopt when none came in time.
    std::optional<std::string> receive();
    // Sends the request and a mark after it, and returns once the mark's refusal is back
    // (true), or after the time-out (false). Replies that come before it are kept for
    // receive().
    bool sendTakenIn(const std::string& request);

  private:
    zmq::context_t context_;
    zmq::socket_t socket_;
    std::deque<std::string> early_;
    std::size_t sent_ = 0;
};

// One handle connected to a service on 127.0.0.1, with blocking calls.
class LibraryClient {
  public:
    // Throws std::runtime_error when the library gives no connected handle.
    explicit LibraryClient(int port);

    // The answer; "<call failed>" when executeLuaScriptQel returned -1.
    std::string run(const std::string& script);
    // executeLuaScriptQel then freeResult, nothing else, as the benchmarks time it;
    // throws std::runtime_error when the call fails.
    void exchange(const char* script);

  private:
    HandlePtr handle_;
};
