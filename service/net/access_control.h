// access_control.h - --allow: a ZAP handler (ZeroMQ's authentication protocol, NULL
// mechanism) that admits only peers whose address lies in one of the given ranges.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "address_range.h"

namespace qel {

// Domain set on the public socket so that ZeroMQ consults the handler.
inline constexpr char kZapDomain[] = "qel-lua-service";

class ZapHandler {
  public:
    // Binds the handler endpoint in context before returning, so that a socket bound
    // afterwards never accepts a peer unchecked. The thread ends when the context is
    // shut down; the destructor joins it.
    ZapHandler(zmq::context_t& context, std::vector<AddressRange> ranges, bool verbose);
    ~ZapHandler();
    ZapHandler(const ZapHandler&) = delete;
    ZapHandler& operator=(const ZapHandler&) = delete;

    bool admits(const std::string& address) const;
    // Connection attempts answered so far, by the handler's own thread: admitted ([0])
    // and refused ([1]). Another thread may read them at any time.
    const std::atomic<std::uint64_t>* decisions() const { return decisions_; }

  private:
    void serve();

    std::vector<AddressRange> ranges_;
    bool verbose_;
    std::atomic<std::uint64_t> decisions_[2] = {};
    zmq::socket_t socket_;
    std::thread thread_;
};

} // namespace qel
