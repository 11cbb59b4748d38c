// handle.cpp - creation and teardown of connection handles.
// Every failure while building a handle becomes NULL for the host; the partly built
// record is released on the way out by its owning pointers.
#include "context_socket.h"
#include "qel_zmq.h"

namespace {
constexpr int kIoThreads = 1;
// One below ZeroMQ's default of 1024; a handle only ever makes one socket anyway.
constexpr int kMaxSockets = 1023;
} // namespace

extern "C" void* createConnectionHandle(void) {
    try {
        auto handle = std::make_unique<contextSocket>();
        handle->context = std::make_unique<zmq::context_t>();
        handle->context->set(zmq::ctxopt::io_threads, kIoThreads);
        handle->context->set(zmq::ctxopt::max_sockets, kMaxSockets);
        handle->socket = std::make_unique<zmq::socket_t>(*handle->context, zmq::socket_type::req);
        return handle.release();
    } catch (...) {
        // zmq::error_t, std::bad_alloc or anything else: the host only learns NULL.
        return nullptr;
    }
}

extern "C" void freeHandle(void* iHandle) {
    // Deleting NULL is a no-op, which is exactly what freeHandle(NULL) promises.
    std::unique_ptr<contextSocket> owned(asHandle(iHandle));
}
