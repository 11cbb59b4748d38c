// clients.h - the two ways tests and benchmarks talk to a service: a raw ZeroMQ REQ
// client (the benchmarks' yardstick, and how a test sees a missing answer) and a
// client through the library's C interface, as a host uses it.
#pragma once

#include <cstddef>
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
