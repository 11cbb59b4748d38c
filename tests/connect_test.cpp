// connect_test.cpp - connecting a handle to "tcp://HOST:PORT".
// Checks the exact endpoint text handed to ZeroMQ and the refusal text that goes to
// standard output without a newline; NULL arguments are in the bad-input table.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "alloc_fail.h"
#include "capture.h"
#include "host.h"
#include "peer.h"
#include "src/context_socket.h"

namespace {

struct ConnectCall {
    int status = 0;
    Console console;
};

ConnectCall connectCaptured(const char* host, int port, void* handle) {
    ConnectCall call;
    call.console =
        captureConsole([&] { call.status = connectToQelLuaService(host, port, handle); });
    return call;
}

std::string lastEndpoint(void* handle) {
    return asHandle(handle)->socket->get(zmq::sockopt::last_endpoint);
}

} // namespace

TEST(Connect, EndpointIsPrefixHostColonDecimalPort) {
    struct Case {
        const char* host;
        int port;
        const char* endpoint;
    };
    const Case cases[] = {
        {"127.0.0.1", 5555, "tcp://127.0.0.1:5555"},
        {"localhost", 1, "tcp://localhost:1"},
        {"127.0.0.1", 0, "tcp://127.0.0.1:0"},
        {"", 7, "tcp://:7"},
        {"127.0.0.1", 65536, "tcp://127.0.0.1:65536"},
        {"127.0.0.1", 2147483647, "tcp://127.0.0.1:2147483647"},
    };
    for (const Case& c : cases) {
        HandlePtr handle = newHandle();
        const ConnectCall call = connectCaptured(c.host, c.port, handle.get());
        EXPECT_EQ(call.status, 0) << c.endpoint;
        EXPECT_EQ(call.console.out, "") << c.endpoint;
        EXPECT_EQ(lastEndpoint(handle.get()), c.endpoint);
    }
}

TEST(Connect, NoServiceListeningYetStillSucceeds) {
    int port = 0;
    { // Bind and release a port so that nothing listens on it.
        TestPeer gone(TestPeer::echo);
        port = gone.port();
    }
    HandlePtr handle = newHandle();
    EXPECT_EQ(connectCaptured("127.0.0.1", port, handle.get()).status, 0);
}

TEST(Connect, RefusedEndpointPrintsZmqErrorOnStdoutWithoutNewline) {
    HandlePtr handle = newHandle();
    const std::string expected = zmq_strerror(EINVAL);
    for (int port : {-1, -2147483647 - 1}) {
        const ConnectCall call = connectCaptured("127.0.0.1", port, handle.get());
        EXPECT_EQ(call.status, -1) << port;
        EXPECT_EQ(call.console.out, expected) << port;
        EXPECT_EQ(call.console.err, "") << port;
    }
    const ConnectCall spaces = connectCaptured("no such host", 80, handle.get());
    EXPECT_EQ(spaces.status, -1);
    EXPECT_EQ(spaces.console.out, expected);

    // The refusals left the handle as it was: it still connects and exchanges.
    TestPeer peer(TestPeer::echo);
    ASSERT_EQ(connectCaptured("127.0.0.1", peer.port(), handle.get()).status, 0);
    EXPECT_EQ(execute(handle.get(), "still usable").text(), "still usable");
}

TEST(Connect, OutOfMemoryBuildingTheEndpointFailsCleanly) {
    SKIP_UNLESS_ALLOCATION_FAILURES_WORK();
    HandlePtr handle = newHandle();
    const std::string host(1 << 20, 'h');
    allocfail::failFromSize(1 << 20);
    const ConnectCall call = connectCaptured(host.c_str(), 1, handle.get());
    allocfail::reset();
    EXPECT_EQ(call.status, -1);
    EXPECT_EQ(call.console.out, std::bad_alloc().what());
    EXPECT_EQ(lastEndpoint(handle.get()), "");
}

TEST(Connect, SecondEndpointIsAddedNotSwapped) {
    TestPeer first([](const std::string&) { return TestPeer::Parts{"first"}; });
    TestPeer second([](const std::string&) { return TestPeer::Parts{"second"}; });
    HandlePtr handle = connectedHandle(first.port());
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(connectToQelLuaService("127.0.0.1", second.port(), handle.get()), 0);
    std::set<std::string> answers;
    for (int i = 0; i < 40 && answers.size() < 2; ++i) {
        answers.insert(execute(handle.get(), "who").text());
    }
    EXPECT_EQ(answers, (std::set<std::string>{"first", "second"}));
}
