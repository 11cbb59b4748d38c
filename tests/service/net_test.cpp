// net_test.cpp - the service's network rules without a socket: address ranges as
// --allow takes them, and which --bind endpoints are loopback or IPv6.
#include <gtest/gtest.h>

#include "address_range.h"

using qel::AddressRange;

TEST(AddressRange, ParsesAndMatchesIpv4AndIpv6) {
    const struct {
        const char* range;
        const char* address;
        bool inside;
    } rows[] = {
        {"10.0.0.0/8", "10.1.2.3", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"10.0.0.0/8", "127.0.0.1", false},
        {"10.0.0.0/8", "::ffff:10.9.9.9", true},
        {"127.0.0.1", "127.0.0.1", true}, // a single address is a /32
        {"127.0.0.1", "127.0.0.2", false},
        {"192.168.4.0/22", "192.168.7.255", true},
        {"192.168.4.0/22", "192.168.8.0", false},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"fd00::/8", "10.0.0.1", false},
        {"::1/128", "::1", true},
        {"0.0.0.0/0", "8.8.8.8", true},
        // An IPv4-mapped range counts its prefix over all 128 bits.
        {"::ffff:10.0.0.0/104", "10.255.0.1", true},
        {"::ffff:10.0.0.0/104", "::ffff:10.1.1.1", true},
        {"::ffff:10.0.0.0/104", "11.0.0.1", false},
        {"::ffff:127.0.0.1", "127.0.0.1", true},
        {"::ffff:127.0.0.1", "127.0.0.2", false},
    };
    for (const auto& row : rows) {
        const auto range = AddressRange::parse(row.range);
        ASSERT_TRUE(range.has_value()) << row.range;
        EXPECT_EQ(range->contains(row.address), row.inside) << row.range << " " << row.address;
    }
    for (const char* bad : {"", "10.0.0.0/33", "10.0.0.0/", "10.0.0/8", "host.example/8", "::1/129",
                            "10.0.0.0/8x", "::ffff:10.0.0.0/95", "::ffff:10.0.0.0/129"}) {
        EXPECT_FALSE(AddressRange::parse(bad).has_value()) << bad;
    }
}

TEST(BindEndpoint, LoopbackEndpointsAreRecognised) {
    for (const char* local :
         {"tcp://127.0.0.1:5555", "tcp://127.0.0.1:*", "tcp://127.8.9.1:1", "tcp://localhost:5555",
          "tcp://[::1]:5555", "ipc:///tmp/qel", "inproc://qel"}) {
        EXPECT_TRUE(qel::isLoopbackEndpoint(local)) << local;
    }
    for (const char* exposed : {"tcp://0.0.0.0:5555", "tcp://*:5555", "tcp://10.1.2.3:5555",
                                "tcp://eth0:5555", "tcp://[::]:5555", "tcp://example.org:1"}) {
        EXPECT_FALSE(qel::isLoopbackEndpoint(exposed)) << exposed;
    }
}

TEST(BindEndpoint, Ipv6EndpointsAreRecognised) {
    for (const char* v6 :
         {"tcp://[::1]:5555", "tcp://[::]:*", "tcp://::1:5555", "tcp://[fd00::1]:1"}) {
        EXPECT_TRUE(qel::isIpv6Endpoint(v6)) << v6;
    }
    for (const char* other : {"tcp://127.0.0.1:5555", "tcp://*:5555", "tcp://localhost:*",
                              "ipc:///tmp/q:1", "inproc://a:b:c"}) {
        EXPECT_FALSE(qel::isIpv6Endpoint(other)) << other;
    }
}
