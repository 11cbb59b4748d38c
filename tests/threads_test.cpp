// threads_test.cpp - handles used at the same time from several threads.
// Handles share nothing, so concurrent exchanges must never cross answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "host.h"
#include "peer.h"
#include "timing.h"

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

#ifdef __linux__
namespace {

// The threads of this process, as the kernel lists them.
std::size_t threadCount() {
    std::size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    return count;
}

} // namespace

// What the header promises a handle costs: its context's I/O thread and reaper, started
// with the handle and gone once it is freed.
TEST(Threads, EachHandleCostsTwoThreadsUntilFreed) {
    // The count without handles is the count with one, less its two threads, and the
    // end checks it once all are freed. It is not read before the first handle: a runtime
    // may start a thread of its own with the process's first new thread (ThreadSanitizer's
    // background thread), which then stays.
    std::vector<HandlePtr> handles;
    handles.push_back(newHandle());
    ASSERT_NE(handles.back(), nullptr);
    const std::size_t before = threadCount() - 2;
    for (int i = 1; i < 3; ++i) {
        handles.push_back(newHandle());
        ASSERT_NE(handles.back(), nullptr);
        EXPECT_EQ(threadCount(), before + 2 * handles.size());
    }
    handles.clear();
    // freeHandle joins the threads; the kernel may list an exiting thread a moment longer.
    waitUntil([&] { return threadCount() == before; }, std::chrono::seconds(10));
    EXPECT_EQ(threadCount(), before);
}
#endif
