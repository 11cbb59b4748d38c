// connections.h - the peers' connections as the kernel has them, beneath ZeroMQ: which
// socket a request came on, how much of what was sent on it the other end has taken,
// and ending it. ZeroMQ's ROUTER has no call that drops one peer, but a socket that is
// shut down makes its I/O thread end the connection and drop what it holds for it.
#pragma once

#include <cstdint>
#include <optional>

#include "peers.h"

namespace qel {

// An interface, so that admission's rules are tested without sockets.
class Connections {
  public:
    virtual ~Connections() = default;
    // The connection on descriptor fd now (fd -1: none).
    virtual ConnectionId identify(int fd) = 0;
    // Bytes the other end has acknowledged on it, for TCP; nothing for other transports.
    virtual std::optional<std::uint64_t> taken(const ConnectionId& connection) = 0;
    // Shuts the connection down, unless its descriptor now names another socket. True
    // when it did.
    virtual bool end(const ConnectionId& connection) = 0;
};

// The real ones, through fstat, TCP_INFO and shutdown.
class KernelConnections final : public Connections {
  public:
    ConnectionId identify(int fd) override;
    std::optional<std::uint64_t> taken(const ConnectionId& connection) override;
    bool end(const ConnectionId& connection) override;
};

} // namespace qel
