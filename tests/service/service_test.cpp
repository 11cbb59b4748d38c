// service_test.cpp - qel-lua-service as a process, reached through the library (and a
// raw ZeroMQ client where a missing answer must be observed): replies, state, sandbox,
// workers, access control and the clean stop on SIGTERM. The guards, end to end, are
// hostile_test's and guards_test's.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "clients.h"
#include "processes.h"
#include "service_process.h"
#include "timing.h"

using namespace std::chrono_literals;

TEST(ServiceReply, FormatThroughTheLibrary) {
    ServiceProcess service;
    LibraryClient client(service.port());
    EXPECT_EQ(client.run("return 6*7"), "42");
    EXPECT_EQ(client.run("print('a', nil, 1.5) print() return 1, 'x', nil"),
              "a\tnil\t1.5\n\n1\tx\tnil");
    EXPECT_EQ(client.run("return nil"), "nil");
    EXPECT_EQ(client.run(""), "");
    EXPECT_EQ(client.run("return _VERSION"), "Lua 5.4");
}

// Every kind of error reply is in lua_worker_test; here is one, end to end.
TEST(ServiceReply, ALuaErrorIsTheAnswerAndTheServiceCarriesOn) {
    ServiceProcess service;
    LibraryClient client(service.port());
    EXPECT_EQ(client.run("error('boom')"), "error: script:1: boom");
    EXPECT_EQ(client.run("return 1 + 1"), "2");
}

TEST(ServiceReply, MultiPartRequestIsJoinedIntoOneChunk) {
    ServiceProcess service;
    RawClient client(service.endpoint());
    EXPECT_EQ(client.ask(std::vector<std::string>{"return ", "40 ", "+ 2"}), "42");
    EXPECT_EQ(client.ask("return 'single'"), "single");
}

// Every case of the preloaded files' protection and failures is in lua_worker_test; here,
// each worker has the definitions, under --fresh too, and a failing file stops the start
// before anything is served.
TEST(ServicePreload, EveryWorkerKeepsTheDefinitionsAndAFailingFileStopsTheStart) {
    const std::string app = ::testing::TempDir() + "qel_service_app.lua";
    std::ofstream(app) << "M = {sub = {x = 1}, log = writable({})}\n"
                          "function helper() return M.sub.x end\n";
    const char* const attacks[] = {"helper = nil", "rawset(_G, 'helper', nil)", "M.sub.x = 2",
                                   "setmetatable(M, nil)"};
    for (const bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "--fresh" : "kept state");
        std::vector<std::string> args = {"--workers", "2", "--preload", app};
        if (fresh) args.push_back("--fresh");
        ServiceProcess service(args);
        LibraryClient client(service.port());
        // Dealt round-robin, so each worker is attacked and checked several times.
        for (int i = 0; i < 8; ++i) {
            const char* attack = attacks[i % std::size(attacks)];
            EXPECT_NE(client.run(attack).rfind("error: ", 0), std::string::npos) << attack;
            EXPECT_EQ(client.run("return helper(), M.sub.x"), "1\t1") << "after " << attack;
        }
        EXPECT_EQ(client.run("M.log[1] = 'w' return M.log[1]"), "w");
    }
    struct Bad {
        const char* text;
        const char* says;
    };
    const std::string bad = ::testing::TempDir() + "qel_service_bad.lua";
    for (const Bad& c : {Bad{"x = 1\nlocal f\nf()\n", "qel_service_bad.lua:3: attempt to call"},
                         Bad{"x = = 1\n", "qel_service_bad.lua:1: unexpected symbol"}}) {
        std::ofstream(bad) << c.text;
        const ProgramResult result =
            runProgram(QEL_LUA_SERVICE,
                       {"--bind", "tcp://127.0.0.1:*", "--workers", "2", "--preload", bad}, "");
        EXPECT_EQ(result.exitCode, 1) << c.text;
        EXPECT_NE(result.err.find(std::string("qel-lua-service: ") + c.says), std::string::npos)
            << result.err;
        EXPECT_EQ(result.out, "") << "no endpoint, since nothing was served";
    }
}

// A DEALER peer talking to the service without REQ's empty delimiter frame.
static std::optional<std::string> askWithoutDelimiter(const std::string& endpoint,
                                                      const std::vector<std::string>& parts) {
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::dealer);
    socket.set(zmq::sockopt::rcvtimeo, 5000);
    socket.set(zmq::sockopt::linger, 0);
    socket.connect(endpoint);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto flags = i + 1 < parts.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
        socket.send(zmq::buffer(parts[i]), flags);
    }
    zmq::message_t reply;
    if (!socket.recv(reply, zmq::recv_flags::none) || reply.more()) return std::nullopt;
    return reply.to_string();
}

TEST(ServiceReply, PeerWithoutDelimiterIsAnsweredByAnyNumberOfWorkers) {
    for (const char* workers : {"1", "2"}) {
        SCOPED_TRACE(std::string("--workers ") + workers);
        ServiceProcess service({"--workers", workers});
        EXPECT_EQ(askWithoutDelimiter(service.endpoint(), {"return 6*7"}), "42");
        EXPECT_EQ(askWithoutDelimiter(service.endpoint(), {"return ", "'ab'"}), "ab");
        EXPECT_EQ(askWithoutDelimiter(service.endpoint(), {""}), "");
        EXPECT_EQ(RawClient(service.endpoint()).ask("return 'req'"), "req");
        // Nothing is left counted as in flight, so the stop does not wait for it.
        EXPECT_EQ(service.stop(5s), 0);
    }
}

TEST(ServiceState, PersistentByDefaultFreshOnRequest) {
    {
        ServiceProcess service;
        LibraryClient first(service.port());
        LibraryClient second(service.port());
        EXPECT_EQ(first.run("counter = 41"), "");
        EXPECT_EQ(second.run("return counter + 1"), "42");
    }
    {
        ServiceProcess service({"--fresh"});
        LibraryClient client(service.port());
        EXPECT_EQ(client.run("counter = 41"), "");
        EXPECT_EQ(client.run("return counter"), "nil");
    }
}

// Large replies of one string go out from where the worker's Lua wrote them: each
// arrives whole, one after another under a small memory limit (which still refuses what
// does not fit, and has room again after), with a fresh state per request too, and as
// before when --trusted copies them.
TEST(ServiceReply, LargeStringRepliesArriveWholeAndGiveTheirMemoryBack) {
    const std::vector<std::string> configurations[] = {
        {"--max-memory", "24M"}, {"--max-memory", "24M", "--fresh"}, {"--trusted"}};
    for (const std::vector<std::string>& options : configurations) {
        SCOPED_TRACE(options.back());
        ServiceProcess service(options);
        RawClient client(service.endpoint(), 20000);
        for (int i = 0; i < 12; ++i) {
            // 8 MiB of a pattern that changes with i, so that a stale or torn reply shows.
            const std::string unit = std::to_string(i) + "abcdefg";
            const std::size_t count = (std::size_t{8} << 20) / unit.size();
            std::string expected;
            for (std::size_t k = 0; k < count; ++k)
                expected += unit;
            const auto reply =
                client.ask("return string.rep('" + unit + "', " + std::to_string(count) + ")");
            ASSERT_TRUE(reply);
            EXPECT_TRUE(*reply == expected) << "reply " << i << " differs";
        }
        if (options.back() == "--trusted") continue;
        EXPECT_EQ(client.ask("return string.rep('x', 30 << 20)"), "error: not enough memory");
        EXPECT_EQ(client.ask("return #string.rep('x', 8 << 20)"), std::to_string(8 << 20));
    }
}

// The sandbox's table is lua_worker_test's; here one library it takes out, end to end,
// which --trusted gives back, beside one it keeps.
TEST(ServiceSandbox, DenialsByDefaultEverythingWhenTrusted) {
    const std::string probe = "return io == nil, os.time ~= nil";
    const struct {
        std::vector<std::string> args;
        const char* reply;
    } rows[] = {{{}, "true\ttrue"}, {{"--trusted"}, "false\ttrue"}};
    for (const auto& row : rows) {
        ServiceProcess service(row.args);
        EXPECT_EQ(LibraryClient(service.port()).run(probe), row.reply)
            << (row.args.empty() ? "sandboxed" : "--trusted");
    }
}

const char kLoop[] = "while true do end";

// Answers to kLoop that the service has logged, with the services below run --verbose.
static long loopsAnswered(const ServiceProcess& service) {
    const std::vector<LoggedRequest> answered = service.answered();
    return std::count_if(answered.begin(), answered.end(), [](const LoggedRequest& request) {
        return request.in == sizeof kLoop - 1;
    });
}

// Two loops, each ended by the wall-clock guard after a second, are taken in one after
// the other. They run at once when two workers use CPU while neither has been answered.
TEST(ServiceWorkers, TwoWorkersRunTwoRequestsAtOnce) {
    const struct {
        const char* workers;
        bool together;
    } rows[] = {{"1", false}, {"2", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("--workers ") + row.workers);
        ServiceProcess service({"--workers", row.workers, "--max-instructions", "0",
                                "--max-seconds", "1", "--max-request", kMarkLimit, "--verbose"});
        const WorkerCpu cpu(service.pid());
        DealerClient a(service.endpoint(), 20000);
        DealerClient b(service.endpoint(), 20000);
        ASSERT_TRUE(a.sendTakenIn(kLoop));
        ASSERT_TRUE(b.sendTakenIn(kLoop));
        // Two workers busy, and after that neither loop answered yet: they ran side by side.
        bool together = false;
        EXPECT_TRUE(waitUntil(
            [&] {
                return (together = cpu.busy() == 2 && loopsAnswered(service) == 0) ||
                       loopsAnswered(service) > 0;
            },
            20s));
        EXPECT_EQ(together, row.together);
        EXPECT_EQ(a.receive(), "error: time limit exceeded");
        EXPECT_EQ(b.receive(), "error: time limit exceeded");
    }
}

TEST(ServiceWorkers, ShortRequestIsAnsweredWhileALongOneRuns) {
    ServiceProcess service({"--workers", "2", "--max-instructions", "0", "--max-seconds", "2",
                            "--max-request", kMarkLimit, "--verbose"});
    DealerClient slow(service.endpoint(), 20000);
    ASSERT_TRUE(slow.sendTakenIn(kLoop)); // and running: both workers were idle
    EXPECT_EQ(RawClient(service.endpoint()).ask("return 'quick'"), "quick");
    // The loop, taken in first, had not been answered when the quick one was.
    EXPECT_EQ(loopsAnswered(service), 0);
    EXPECT_EQ(slow.receive(), "error: time limit exceeded");
}

TEST(ServiceWorkers, EachWorkerKeepsItsOwnState) {
    ServiceProcess service({"--workers", "2"});
    LibraryClient client(service.port());
    // Requests are dealt round-robin, so two workers each count two of the four.
    std::vector<std::string> counts;
    for (int i = 0; i < 4; ++i)
        counts.push_back(client.run("n = (n or 0) + 1 return n"));
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<std::string>{"1", "1", "2", "2"}));
}

TEST(ServiceAccess, AllowedPeerIsAnsweredOthersAreNot) {
    {
        ServiceProcess service({"--allow", "127.0.0.1/32"});
        EXPECT_EQ(RawClient(service.endpoint(), 5000).ask("return 'in'"), "in");
    }
    {
        ServiceProcess service({"--allow", "10.0.0.0/8", "--allow", "127.0.0.0/8"});
        EXPECT_EQ(RawClient(service.endpoint(), 5000).ask("return 'in'"), "in");
    }
    // 10.0.0.0/8 excludes 127.0.0.1: ZeroMQ drops the connection after the handshake.
    for (const char* workers : {"1", "2"}) {
        ServiceProcess service({"--allow", "10.0.0.0/8", "--workers", workers});
        EXPECT_EQ(RawClient(service.endpoint(), 1000).ask("return 'in'"), std::nullopt) << workers;
        EXPECT_TRUE(service.running());
    }
}

// Whether this machine can listen on the IPv6 loopback address at all.
static bool haveIpv6Loopback() {
    zmq::context_t context(1);
    zmq::socket_t socket(context, zmq::socket_type::rep);
    socket.set(zmq::sockopt::ipv6, true);
    socket.set(zmq::sockopt::linger, 0);
    try {
        socket.bind("tcp://[::1]:*");
    } catch (const zmq::error_t&) {
        return false;
    }
    return true;
}

TEST(ServiceAccess, Ipv6EndpointAndRanges) {
    if (!haveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
    {
        ServiceProcess service({"--bind", "tcp://[::1]:*", "--allow", "::1/128"});
        EXPECT_EQ(service.endpoint().rfind("tcp://[::1]:", 0), 0u) << service.endpoint();
        EXPECT_EQ(RawClient(service.endpoint(), 5000).ask("return 'in'"), "in");
    }
    {
        ServiceProcess service({"--bind", "tcp://[::1]:*", "--allow", "127.0.0.0/8"});
        EXPECT_EQ(RawClient(service.endpoint(), 1000).ask("return 'in'"), std::nullopt);
        EXPECT_TRUE(service.running());
    }
}

TEST(ServiceStop, SigtermWhenIdleExitsZero) {
    ServiceProcess service;
    EXPECT_EQ(LibraryClient(service.port()).run("return 1"), "1");
    EXPECT_EQ(service.stop(5s), 0);
}

TEST(ServiceOptions, HelpVersionAndBadArguments) {
    const ProgramResult help = runProgram(QEL_LUA_SERVICE, {"--help"}, "");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--max-memory"), std::string::npos);
    const ProgramResult version = runProgram(QEL_LUA_SERVICE, {"--version"}, "");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("Lua 5.4"), std::string::npos);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--workers", "0"},
                                                {"--max-memory", "lots"},
                                                {"--max-state", "65M", "--max-memory", "64M"},
                                                {"--allow", "not-a-range"},
                                                {"--user", "no-such-account"},
                                                {"--log-format", "xml"},
                                                {"--metrics", "localhost:9100"},
                                                {"--bogus"},
                                                {"--help=x"},
                                                {"--version=x"},
                                                {"--fresh=yes"},
                                                {"--max-seconds"}}) {
        const ProgramResult result = runProgram(QEL_LUA_SERVICE, bad, "");
        EXPECT_EQ(result.exitCode, 2) << bad[0];
        EXPECT_NE(result.err.find("qel-lua-service:"), std::string::npos) << bad[0];
    }
}
