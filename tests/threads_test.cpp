// threads_test.cpp - handles used at the same time from several threads.
// Handles share nothing, so concurrent exchanges must never cross answers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host.h"
#include "peer.h"

TEST(Threads, EachThreadGetsItsOwnAnswers) {
    TestPeer peer(TestPeer::echo);
    constexpr int kThreads = 8;
    constexpr int kRequests = 200;
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            HandlePtr handle = connectedHandle(peer.port());
            if (!handle) {
                failed += kRequests;
                return;
            }
            for (int i = 0; i < kRequests; ++i) {
                const std::string script = "return " + std::to_string(t * kRequests + i);
                const Exchange exchange = execute(handle.get(), script.c_str());
                if (exchange.status != 0)
                    ++failed;
                else if (exchange.text() != script)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(peer.requestCount(), static_cast<std::size_t>(kThreads * kRequests));
}

TEST(Threads, HandlesCreatedAndFreedConcurrently) {
    TestPeer peer(TestPeer::echo);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                HandlePtr handle = connectedHandle(peer.port());
                if (!handle || execute(handle.get(), "ping").text() != "ping") ++failures;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
}
