// context_socket.h - the connection handle record shared by the library's sources.
// A handle is one private ZeroMQ context plus one REQ socket made in it; the host
// only ever sees it as an untyped pointer.
#pragma once

#include <memory>
#include <zmq.hpp>

struct contextSocket {
    std::unique_ptr<zmq::context_t> context;
    std::unique_ptr<zmq::socket_t> socket;

    contextSocket() = default;
    contextSocket(const contextSocket&) = delete;
    contextSocket& operator=(const contextSocket&) = delete;

    // The socket must be closed before its context is destroyed, otherwise
    // zmq_ctx_term would wait for it forever; spell the order out rather than
    // rely on member declaration order.
    ~contextSocket() noexcept {
        socket.reset();
        context.reset();
    }
};

// Recovers the record from the host's pointer; NULL stays NULL.
inline contextSocket* asHandle(void* p) noexcept {
    return static_cast<contextSocket*>(p);
}
