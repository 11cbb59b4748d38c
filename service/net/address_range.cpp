// address_range.cpp - CIDR parsing and matching with inet_pton; no name lookup, so
// a range is always an address and never a host name.
#include "address_range.h"

#include <arpa/inet.h>
#include <string>

namespace qel {

namespace {

constexpr int kIpv4Bits = 32;
constexpr int kIpv6Bits = 128;
// An IPv4-mapped IPv6 address is ::ffff: and the IPv4 address: 12 bytes of prefix.
constexpr int kMappedBytes = 12;
constexpr int kMappedBits = 8 * kMappedBytes;
constexpr std::uint8_t kMapped[kMappedBytes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
// The longest prefix length there is, 128, has three digits.
constexpr std::size_t kPrefixDigits = 3;

} // namespace

std::optional<AddressRange::Address> AddressRange::parseAddress(std::string_view text) {
    // Brackets, as in ZeroMQ's tcp://[::1]:port, are accepted around IPv6 text.
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    const std::string copy(text);
    Address address;
    if (inet_pton(AF_INET, copy.c_str(), address.bytes.data()) == 1) return address;
    if (inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) == 1) {
        bool mapped = true;
        for (int i = 0; i < kMappedBytes; ++i)
            mapped = mapped && address.bytes[i] == kMapped[i];
        if (mapped) {
            Address v4;
            for (int i = 0; i < kIpv4Bits / 8; ++i)
                v4.bytes[i] = address.bytes[kMappedBytes + i];
            return v4;
        }
        address.v6 = true;
        return address;
    }
    return std::nullopt;
}

std::optional<AddressRange> AddressRange::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto address = parseAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    // An IPv4-mapped range (::ffff:10.0.0.0/104) is matched as IPv4, but its prefix
    // counts the 96 bits of the mapping too.
    const bool mapped = !address->v6 && text.substr(0, slash).find(':') != std::string_view::npos;
    const int bits = address->v6 || mapped ? kIpv6Bits : kIpv4Bits;
    int prefix = bits;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > kPrefixDigits) return std::nullopt;
        prefix = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            prefix = prefix * 10 + (c - '0');
        }
        if (prefix > bits) return std::nullopt;
    }
    if (mapped) {
        if (prefix < kMappedBits) return std::nullopt;
        prefix -= kMappedBits;
    }
    AddressRange range;
    range.network_ = *address;
    range.prefix_ = prefix;
    return range;
}

bool AddressRange::contains(std::string_view text) const {
    const auto address = parseAddress(text);
    if (!address || address->v6 != network_.v6) return false;
    int bits = prefix_;
    for (std::size_t i = 0; bits > 0; ++i, bits -= 8) {
        const std::uint8_t mask = bits >= 8 ? 0xff : static_cast<std::uint8_t>(0xff00 >> bits);
        if ((address->bytes[i] & mask) != (network_.bytes[i] & mask)) return false;
    }
    return true;
}

bool isLoopbackEndpoint(const std::string& endpoint) {
    constexpr std::string_view tcp = "tcp://";
    if (endpoint.compare(0, tcp.size(), tcp) != 0) return true; // ipc, inproc: local
    std::string host = endpoint.substr(tcp.size());
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos) host.resize(colon);
    // An interface or source part ("tcp://lo;...") is not expected on a bind.
    if (host == "localhost" || host == "lo" || host == "[::1]" || host == "::1") return true;
    const auto loopback = AddressRange::parse("127.0.0.0/8");
    return loopback && loopback->contains(host);
}

bool isIpv6Endpoint(const std::string& endpoint) {
    constexpr std::string_view tcp = "tcp://";
    if (endpoint.compare(0, tcp.size(), tcp) != 0) return false;
    const std::size_t colon = endpoint.rfind(':');
    return colon != std::string::npos && endpoint.find(':', tcp.size()) < colon;
}

} // namespace qel
