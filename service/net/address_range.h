// address_range.h - an IPv4 or IPv6 address range in CIDR notation, as given to
// --allow, and the test whether a peer's address lies inside it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qel {

class AddressRange {
  public:
    // "10.0.0.0/8", "::1/128", or a bare address meaning just that address.
    static std::optional<AddressRange> parse(std::string_view text);

    // address: numeric IPv4 or IPv6 text, as ZeroMQ reports a peer. An IPv4-mapped
    // IPv6 address (::ffff:a.b.c.d) matches IPv4 ranges.
    bool contains(std::string_view address) const;

  private:
    struct Address {
        std::array<std::uint8_t, 16> bytes{};
        bool v6 = false;
    };
    static std::optional<Address> parseAddress(std::string_view text);

    Address network_;
    int prefix_ = 0;
};

// Whether an endpoint to bind is reachable from this machine only: a tcp:// endpoint
// on a loopback address, or a local transport (ipc, inproc).
bool isLoopbackEndpoint(const std::string& endpoint);

// Whether an endpoint to bind is a tcp:// endpoint on an IPv6 address ("tcp://[::1]:*"),
// which ZeroMQ binds only on a socket with IPv6 switched on.
bool isIpv6Endpoint(const std::string& endpoint);

} // namespace qel
