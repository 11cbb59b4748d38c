// hostile_test.cpp - a bounded hostile run: over a thousand abusive requests
// (runaway loops, memory bombs, oversized and random messages, bytecode) against tight
// guards; every one must get its own reply and the service must then answer normally.
// This is where each guard's option is seen to reach the workers, end to end.
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "clients.h"
#include "lua_chunk.h"
#include "sanitizers.h"
#include "service_process.h"

using qel::kSanitized;

namespace {

std::string randomBytes(std::mt19937& random, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(byte(random));
    return bytes;
}

// Instrumented builds run the same mix of kinds a quarter as often: every kind still
// comes round twenty times, and ThreadSanitizer's allocator makes the full run take minutes.
constexpr int kRequests = kSanitized ? 320 : 1200;

} // namespace

TEST(ServiceHostileRun, SurvivesAbuseAndStillAnswersCorrectly) {
    for (const char* workers : {"1", "2"}) {
        SCOPED_TRACE(std::string("--workers ") + workers);
        ServiceProcess service({"--workers", workers, "--max-instructions", "20000",
                                "--max-seconds", "2", "--max-memory", "8M", "--max-request",
                                "64k"});
        RawClient client(service.endpoint(), 10000);
        std::mt19937 random(12345);
        const std::string bytecode = bytecodeReturningOne();
        const std::string oversized = "return '" + std::string(70000, 'x') + "'";

        // Each script and the one reply it gets, whichever worker runs it and whatever ran
        // there before: a guard stops it, the sandbox refuses it, or (the last two) it is
        // answered, the C stack overflow caught by the script's own pcall or load.
        const std::string instructions = "error: instruction limit exceeded";
        const std::string memory = "error: not enough memory";
        std::string pcalls; // Lua's 200 nested C calls, less those around the script's own
        for (int depth = 0; depth < 197; ++depth)
            pcalls += "true\t";
        const std::pair<std::string, std::string> hostile[] = {
            {"while true do end", instructions},
            {"while true do pcall(function() while true do end end) end", instructions},
            {"local function f() return f() end return f()", instructions},
            {"local function f() f() end f()", "error: script:1: instruction limit exceeded"},
            {"return string.rep('x', 1e9)", memory},
            {"local t = {} for i = 1, 1e9 do t[i] = {} end", instructions},
            {"local s = 'x' while true do s = s .. s end", memory},
            {"local s = string.rep('y', 1e4) while true do print(s) end", memory},
            {"setmetatable({}, {__gc = function() while true do end end}) collectgarbage()",
             "error: script:1: __gc metamethods are not available in the sandbox"},
            {"local co = coroutine.wrap(function() while true do coroutine.yield() end end) "
             "while true do co() end",
             instructions},
            {"error(setmetatable({}, {__tostring = function() while true do end end}))",
             instructions},
            {"local function f() return pcall(f) end return f()",
             pcalls + "false\tC stack overflow"},
            {"return load(string.rep('(', 1e5))", "nil\tC stack overflow"},
        };
        const std::size_t kinds = sizeof hostile / sizeof hostile[0];
        for (int i = 0; i < kRequests; ++i) {
            std::string request;
            std::optional<std::string> expected; // none for random bytes: any answer will do
            switch (i % 16) {
            case 13:
                request = oversized;
                expected = "error: request too large: 70009 bytes, limit 65536";
                break;
            case 14:
                request = bytecode;
                expected = "error: binary chunks are not accepted";
                break;
            case 15:
                request = randomBytes(random, static_cast<std::size_t>(random() % 3000));
                break;
            default:
                std::tie(request, expected) = hostile[static_cast<std::size_t>(i) % kinds];
                break;
            }
            const auto reply = client.ask(request);
            ASSERT_TRUE(reply.has_value()) << "no answer to request " << i;
            if (expected) {
                ASSERT_EQ(*reply, *expected) << "request " << i << ": " << request.substr(0, 80);
            }
        }
        EXPECT_TRUE(service.running());
        EXPECT_EQ(client.ask("return 6*7"), "42");
        EXPECT_EQ(LibraryClient(service.port()).run("return 'still fine'"), "still fine");
    }
}
