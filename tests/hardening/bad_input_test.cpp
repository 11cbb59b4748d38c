// bad_input_test.cpp - the library's answer to every kind of bad argument, as a table.
// Each row runs in the test process itself: a bad argument must give the documented
// status and console text, never a crash, and must leave the handle usable.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <zmq.h>

#include "capture.h"
#include "host.h"
#include "peer.h"
#include "src/context_socket.h"

namespace {

std::string lastEndpoint(void* handle) {
    return asHandle(handle)->socket->get(zmq::sockopt::last_endpoint);
}

// Proves the handle still works: one full exchange with the echo peer.
void expectUsable(void* handle, const TestPeer& peer, const char* script) {
    const std::size_t before = peer.requestCount();
    const Exchange exchange = execute(handle, script);
    ASSERT_EQ(exchange.status, 0) << "handle no longer usable";
    EXPECT_EQ(exchange.text(), script);
    EXPECT_EQ(peer.requestCount(), before + 1);
}

// What ZeroMQ itself says about an endpoint: the library must pass its verdict on.
struct Verdict {
    bool accepted;
    std::string text;
};

Verdict zmqVerdict(const std::string& endpoint) {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REQ);
    const int rc = zmq_connect(socket, endpoint.c_str());
    const Verdict verdict{rc == 0, rc == 0 ? "" : zmq_strerror(zmq_errno())};
    int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(socket);
    zmq_ctx_term(context);
    return verdict;
}

} // namespace

TEST(BadInput, NullPointerArguments) {
    TestPeer peer(TestPeer::echo);
    HandlePtr handle = connectedHandle(peer.port());
    ASSERT_TRUE(handle);
    contextSocket empty; // a record whose socket was never made
    char sentinel = 0;
    char* slot = &sentinel;
    void* h = handle.get();
    const std::string endpoint = lastEndpoint(h);

    struct Row {
        const char* what;
        int (*call)(void* handle, void* empty, char** slot, int port);
    };
    const Row rows[] = {
        {"connect: NULL host",
         [](void* h, void*, char**, int port) { return connectToQelLuaService(nullptr, port, h); }},
        {"connect: NULL handle",
         [](void*, void*, char**, int port) {
             return connectToQelLuaService("127.0.0.1", port, nullptr);
         }},
        {"connect: handle without a socket",
         [](void*, void* empty, char**, int port) {
             return connectToQelLuaService("127.0.0.1", port, empty);
         }},
        {"connect: everything NULL",
         [](void*, void*, char**, int port) {
             return connectToQelLuaService(nullptr, port, nullptr);
         }},
        {"execute: NULL result slot",
         [](void* h, void*, char**, int) { return executeLuaScriptQel(nullptr, "return 1", h); }},
        {"execute: NULL script",
         [](void* h, void*, char** slot, int) { return executeLuaScriptQel(slot, nullptr, h); }},
        {"execute: NULL handle",
         [](void*, void*, char** slot, int) {
             return executeLuaScriptQel(slot, "return 1", nullptr);
         }},
        {"execute: handle without a socket",
         [](void*, void* empty, char** slot, int) {
             return executeLuaScriptQel(slot, "return 1", empty);
         }},
        {"execute: everything NULL",
         [](void*, void*, char**, int) { return executeLuaScriptQel(nullptr, nullptr, nullptr); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int status = 0;
        const Console console =
            captureConsole([&] { status = row.call(h, &empty, &slot, peer.port()); });
        EXPECT_EQ(status, -1);
        EXPECT_EQ(console.out, "");
        EXPECT_EQ(console.err, "");
        EXPECT_EQ(slot, &sentinel) << "result slot written";
        EXPECT_EQ(peer.requestCount(), 0u) << "a request went out";
        EXPECT_EQ(lastEndpoint(h), endpoint) << "the handle connected somewhere else";
    }

    // The release functions take NULL as "nothing to do".
    const Console console = captureConsole([] {
        freeResult(nullptr);
        freeHandle(nullptr);
    });
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, "");

    // Nothing went out, so the handle is still in step with its peer: the next request
    // is the first the peer ever sees.
    expectUsable(h, peer, "still here");
    EXPECT_EQ(peer.requests(), std::vector<std::string>{"still here"});
}

TEST(BadInput, HostAndPortTable) {
    TestPeer peer(TestPeer::echo);
    const std::string hugeHost(std::size_t{1} << 20, 'h');
    struct Row {
        std::string host;
        int port;
    };
    const std::vector<Row> rows = {
        {"127.0.0.1", -1},
        {"127.0.0.1", -65536},
        {"127.0.0.1", INT_MIN},
        {"127.0.0.1", 0},
        {"127.0.0.1", 65536},
        {"127.0.0.1", 99999},
        {"127.0.0.1", INT_MAX},
        {"", 5555},
        {"", -1},
        {"host with spaces", 5555},
        {" 127.0.0.1", 5555},
        {"127.0.0.1 ", 5555},
        {"127.0.0.1:5555", 5555},
        {"tcp://127.0.0.1", 5555},
        {"[::1", 5555},
        {"*", 5555},
        {hugeHost, 5555},
    };
    for (const Row& row : rows) {
        const std::string endpoint = "tcp://" + row.host + ":" + std::to_string(row.port);
        SCOPED_TRACE(endpoint.substr(0, 60) + " (" + std::to_string(endpoint.size()) + " bytes)");
        const Verdict verdict = zmqVerdict(endpoint);

        HandlePtr handle = newHandle();
        ASSERT_TRUE(handle);
        int status = 0;
        const Console console = captureConsole(
            [&] { status = connectToQelLuaService(row.host.c_str(), row.port, handle.get()); });
        EXPECT_EQ(status, verdict.accepted ? 0 : -1);
        EXPECT_EQ(console.out, verdict.text) << "refusal text goes to stdout alone, no newline";
        EXPECT_EQ(console.err, "");

        // A refused endpoint leaves the handle as it was. An accepted one stays attached
        // (requests could be queued to it), so only the refused rows reuse the handle.
        if (!verdict.accepted) {
            ASSERT_EQ(connectToQelLuaService("127.0.0.1", peer.port(), handle.get()), 0);
            expectUsable(handle.get(), peer, "after a refused endpoint");
        }
    }
}

TEST(BadInput, ScriptTable) {
    TestPeer peer(TestPeer::echo);
    HandlePtr handle = connectedHandle(peer.port());
    ASSERT_TRUE(handle);

    std::string allBytes;
    for (int b = 0x01; b <= 0xFF; ++b)
        allBytes.push_back(static_cast<char>(b));
    std::string huge(std::size_t{64} << 20, '\0');
    for (std::size_t i = 0; i < huge.size(); ++i)
        huge[i] = static_cast<char>('a' + i % 26);

    struct Row {
        const char* what;
        const std::string& script;
    };
    const std::string empty;
    const Row rows[] = {
        {"empty script", empty},
        {"bytes 0x01..0xFF", allBytes},
        {"64 MiB script", huge},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::size_t before = peer.requestCount();
        Exchange exchange;
        const Console console =
            captureConsole([&] { exchange = execute(handle.get(), row.script.c_str()); });
        ASSERT_EQ(exchange.status, 0);
        EXPECT_EQ(console.out, "");
        EXPECT_EQ(console.err, "");
        ASSERT_EQ(peer.requestCount(), before + 1);
        EXPECT_TRUE(peer.requests().back() == row.script) << "request bytes changed on the way";
        // The echo comes back whole: every byte counted and copied once.
        ASSERT_EQ(std::strlen(exchange.result.get()), row.script.size());
        EXPECT_TRUE(exchange.text() == row.script) << "answer bytes differ";
    }
    expectUsable(handle.get(), peer, "after the table");
}
