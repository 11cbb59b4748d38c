// hostile_test.cpp - a bounded hostile run: over a thousand abusive requests
// (runaway loops, memory bombs, oversized and random messages, bytecode) against tight
// guards; every one must be answered and the service must then answer normally.
#include <gtest/gtest.h>
#include <random>
#include <string>

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

        // Scripts that must be stopped by a guard or fail; the last two are answered
        // normally ("C stack overflow" is caught by the script's own pcall or load).
        const std::string hostile[] = {
            "while true do end",
            "while true do pcall(function() while true do end end) end",
            "local function f() return f() end return f()",
            "local function f() f() end f()",
            "return string.rep('x', 1e9)",
            "local t = {} for i = 1, 1e9 do t[i] = {} end",
            "local s = 'x' while true do s = s .. s end",
            "local s = string.rep('y', 1e4) while true do print(s) end",
            "setmetatable({}, {__gc = function() while true do end end}) collectgarbage()",
            "local co = coroutine.wrap(function() while true do coroutine.yield() end end) "
            "while true do co() end",
            "error(setmetatable({}, {__tostring = function() while true do end end}))",
            "local function f() return pcall(f) end return f()",
            "return load(string.rep('(', 1e5))",
        };
        const std::size_t mustFail = sizeof hostile / sizeof hostile[0] - 2;
        const std::size_t kinds = sizeof hostile / sizeof hostile[0];
        int answered = 0;
        for (int i = 0; i < kRequests; ++i) {
            std::string request;
            bool expectError = true;
            switch (i % 16) {
            case 13:
                request = oversized;
                break;
            case 14:
                request = bytecode;
                break;
            case 15:
                request = randomBytes(random, static_cast<std::size_t>(random() % 3000));
                expectError = false; // almost surely a syntax error, but not necessarily
                break;
            default:
                request = hostile[static_cast<std::size_t>(i) % kinds];
                expectError = static_cast<std::size_t>(i) % kinds < mustFail;
                break;
            }
            const auto reply = client.ask(request);
            ASSERT_TRUE(reply.has_value()) << "no answer to request " << i;
            ++answered;
            if (expectError) {
                EXPECT_EQ(reply->rfind("error: ", 0), 0u) << "request " << i << ": " << *reply;
            }
        }
        EXPECT_EQ(answered, kRequests);
        EXPECT_TRUE(service.running());
        EXPECT_EQ(client.ask("return 6*7"), "42");
        EXPECT_EQ(LibraryClient(service.port()).run("return 'still fine'"), "still fine");
    }
}
