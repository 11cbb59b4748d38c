// retry.h - ZeroMQ calls made again when a signal interrupted them. A call that ends
// with EINTR has taken nothing from the socket and given nothing to it, so making it
// again loses and repeats nothing; any other error is thrown on as cppzmq throws it.
#pragma once

#include <cerrno>

#include <zmq.hpp>

namespace qel {

template <typename Call> auto retried(Call call) {
    for (;;) {
        try {
            return call();
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
    }
}

} // namespace qel
