// execute_test.cpp - one script out, one answer back, and every way that can fail once
// the arguments are valid (NULL arguments are in the bad-input table). The peer is a
// real REP socket whose requests and answers each test controls, so every reply shape
// is checked against the result string the host sees.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

#include "alloc_fail.h"
#include "capture.h"
#include "child.h"
#include "host.h"
#include "peer.h"
#include "timing.h"

using namespace std::chrono_literals;

namespace {

TestPeer::Parts reply(std::string text) {
    return {std::move(text)};
}

// size bytes of 'z' with a NUL at position at.
std::string withNulAt(std::size_t size, std::size_t at) {
    std::string text(size, 'z');
    text[at] = '\0';
    return text;
}

// Every request is answered with the same fixed parts.
TestPeer::Handler answering(TestPeer::Parts parts) {
    return [parts](const std::string&) { return parts; };
}

} // namespace

TEST(Execute, ScriptBytesGoOutUnchangedAndAnswerComesBack) {
    TestPeer peer(TestPeer::echo);
    HandlePtr handle = connectedHandle(peer.port());
    ASSERT_NE(handle, nullptr);

    const std::string script = "return 'h\xc3\xa9llo',\t\"\\n\" -- \x01\x7f\xff";
    Exchange exchange;
    const Console console =
        captureConsole([&] { exchange = execute(handle.get(), script.c_str()); });
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, "");
    ASSERT_EQ(exchange.status, 0);
    EXPECT_EQ(exchange.text(), script);
    EXPECT_EQ(peer.requests(), std::vector<std::string>{script});
}

TEST(Execute, EmptyScriptSendsAnEmptyMessage) {
    TestPeer peer(
        [](const std::string& request) { return reply("len=" + std::to_string(request.size())); });
    HandlePtr handle = connectedHandle(peer.port());
    EXPECT_EQ(execute(handle.get(), "").text(), "len=0");
}

TEST(Execute, ReplyShapesBecomeTheDocumentedString) {
    struct Case {
        const char* name;
        std::string reply;
        std::string expected;
    };
    std::string noNul(1000, 'x');
    for (std::size_t i = 0; i < noNul.size(); ++i)
        noNul[i] = static_cast<char>(1 + i % 255);
    const Case cases[] = {
        {"empty", "", ""},
        {"no NUL", noNul, noNul},
        {"NUL at 0", std::string("\0abc", 4), ""},
        {"NUL at 3", std::string("abc\0def", 7), "abc"},
        {"NUL at end", std::string("abcdef\0", 7), "abcdef"},
        {"several NULs", std::string("a\0b\0c", 5), "a"},
        // Large replies are copied in blocks: NULs on and around block edges.
        {"NUL deep inside", withNulAt(100000, 40000), std::string(40000, 'z')},
        {"NUL at 32 KiB", withNulAt(70000, 32768), std::string(32768, 'z')},
        {"NUL at 32 KiB - 1", withNulAt(70000, 32767), std::string(32767, 'z')},
        {"64 KiB, no NUL", std::string(65536, 'z'), std::string(65536, 'z')},
    };
    for (const Case& c : cases) {
        TestPeer peer(answering({c.reply}));
        HandlePtr handle = connectedHandle(peer.port());
        const Exchange exchange = execute(handle.get(), "q");
        ASSERT_EQ(exchange.status, 0) << c.name;
        EXPECT_EQ(exchange.text(), c.expected) << c.name;
        EXPECT_EQ(std::strlen(exchange.result.get()), c.expected.size()) << c.name;
    }
}

TEST(Execute, SixteenMebibyteReplyArrivesWhole) {
    std::string big(16u << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    TestPeer peer(answering({big}));
    HandlePtr handle = connectedHandle(peer.port());
    const Exchange exchange = execute(handle.get(), "big");
    ASSERT_EQ(exchange.status, 0);
    EXPECT_TRUE(exchange.text() == big);
}

TEST(Execute, MultiPartReplyGivesFirstPartAndHandleStaysUsable) {
    int calls = 0;
    TestPeer peer([&calls](const std::string& request) -> TestPeer::Parts {
        if (++calls == 1) return {"first", "second", "third"};
        return {request};
    });
    HandlePtr handle = connectedHandle(peer.port());
    const Exchange multi = execute(handle.get(), "parts");
    ASSERT_EQ(multi.status, 0);
    EXPECT_EQ(multi.text(), "first");
    // The unread parts were drained, so the request socket may send again.
    Exchange next;
    EXPECT_EQ(captureConsole([&] { next = execute(handle.get(), "next"); }).err, "");
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.text(), "next");
}

TEST(Execute, EachSuccessReturnsAFreshBuffer) {
    TestPeer peer(TestPeer::echo);
    HandlePtr handle = connectedHandle(peer.port());
    char* slot = nullptr;
    ASSERT_EQ(executeLuaScriptQel(&slot, "a", handle.get()), 0);
    char* first = slot;
    ASSERT_EQ(executeLuaScriptQel(&slot, "b", handle.get()), 0);
    EXPECT_NE(slot, first);
    EXPECT_STREQ(first, "a"); // the earlier answer is untouched and still the caller's
    EXPECT_STREQ(slot, "b");
    freeResult(first);
    freeResult(slot);
}

TEST(Execute, OutOfMemoryForTheAnswerIsReportedOnStderr) {
    SKIP_UNLESS_ALLOCATION_FAILURES_WORK();
    const std::string answer(777777, 'r');
    TestPeer peer(answering({answer}));
    HandlePtr handle = connectedHandle(peer.port());
    char sentinel = 0;
    char* slot = &sentinel;

    int status = 0;
    const Console console = captureConsole([&] {
        allocfail::failFromSize(answer.size() + 1);
        status = executeLuaScriptQel(&slot, "q", handle.get());
        allocfail::reset();
    });
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(status, -1);
    EXPECT_EQ(console.err, std::string(std::bad_alloc().what()) + "\n");
    EXPECT_EQ(slot, &sentinel);

    // The reply itself was consumed, so the exchange rhythm is intact.
    const Exchange next = execute(handle.get(), "again");
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.text(), answer);
}

#ifndef _WIN32
namespace {
extern "C" void ignoreSignal(int) {}
} // namespace
#endif

TEST(Execute, InterruptedReceiveReportsOnStderrAndNextSendIsRefused) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no signals that interrupt a blocking receive with EINTR";
#else
    // A signal interrupts the blocking receive; ZeroMQ reports EINTR. The request is
    // out, so the request socket then refuses a new send until it gets its reply.
    // The peer lives in the child too, so the fork copies no thread of this process;
    // it raises a flag when the request has arrived, so the signal can only land in
    // the receive.
    const ChildOutcome outcome = runInChild(
        [] {
            std::atomic<bool> arrived{false};
            int calls = 0;
            TestPeer peer([&calls, &arrived](const std::string& request) -> TestPeer::Parts {
                if (++calls == 1) return {request};
                arrived = true;
                return {}; // the second request is never answered
            });
            struct sigaction action {};
            action.sa_handler = ignoreSignal; // no SA_RESTART: the wait must be interrupted
            sigaction(SIGUSR1, &action, nullptr);
            HandlePtr handle = connectedHandle(peer.port());
            if (!handle || execute(handle.get(), "warm up").status != 0) return 10;

            std::atomic<bool> returned{false};
            const pthread_t self = pthread_self();
            std::thread interrupter([&returned, &arrived, self] {
                // Signalled until the receive returns: one may land just before it blocks.
                auto kick = [&] { return returned || pthread_kill(self, SIGUSR1) != 0; };
                if (waitUntil([&] { return arrived.load(); }, 20s)) waitUntil(kick, 20s, 50ms);
            });
            char* slot = nullptr;
            int first = 0, second = 0;
            const Console console = captureConsole([&] {
                first = executeLuaScriptQel(&slot, "wait", handle.get());
                returned = true;
                interrupter.join();
                second = executeLuaScriptQel(&slot, "again", handle.get());
            });
            if (first != -1) return 11;
            if (second != -1) return 12;
            if (slot != nullptr) return 13;
            const std::string expected =
                std::string(zmq_strerror(EINTR)) + "\n" + zmq_strerror(EFSM) + "\n";
            if (console.err != expected) return 14;
            return peer.requests() == std::vector<std::string>{"warm up", "wait"} ? 0 : 15;
        },
        30s);
    ASSERT_FALSE(outcome.blocked);
    EXPECT_EQ(outcome.exitCode, 0);
#endif
}

TEST(Execute, WaitsForAnAnswerThatNeverComes) {
    // The silent peer runs in the child with the waiting host, and marks that the
    // request reached it.
    const ChildFlag arrived;
    const ChildOutcome outcome = runInChild(
        [&arrived] {
            TestPeer peer([&arrived](const std::string&) {
                arrived.raise();
                return TestPeer::Parts{};
            });
            HandlePtr handle = connectedHandle(peer.port());
            if (!handle) return 10;
            execute(handle.get(), "no answer");
            return 0;
        },
        1500ms);
    EXPECT_TRUE(arrived.raised()) << "the request never reached the peer";
    EXPECT_TRUE(outcome.blocked) << "exit code " << outcome.exitCode;
}

TEST(Execute, NeverConnectedHandleWaitsInTheSend) {
    const ChildOutcome outcome = runInChild(
        [] {
            HandlePtr handle = newHandle();
            if (!handle) return 10;
            execute(handle.get(), "nowhere to go");
            return 0;
        },
        1s);
    EXPECT_TRUE(outcome.blocked) << "exit code " << outcome.exitCode;
}
