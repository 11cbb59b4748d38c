// handle_test.cpp - creating and freeing connection handles.
// Covers independence of handles, teardown that never hangs, and creation failures
// (out of memory, out of file descriptors) that must give NULL without leaking.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "alloc_fail.h"
#include "child.h"
#include "host.h"
#include "peer.h"
#include "sanitizers.h"
#include "src/context_socket.h"

using qel::kSanitized;
using namespace std::chrono_literals;

TEST(Handle, NewHandleHoldsAnUnconnectedRequestSocket) {
    HandlePtr handle = newHandle();
    ASSERT_NE(handle, nullptr);
    contextSocket* record = asHandle(handle.get());
    ASSERT_TRUE(record->context);
    ASSERT_TRUE(record->socket);
    EXPECT_EQ(record->socket->get(zmq::sockopt::type), ZMQ_REQ);
    EXPECT_EQ(record->context->get(zmq::ctxopt::io_threads), 1);
    EXPECT_EQ(record->context->get(zmq::ctxopt::max_sockets), 1023);
    EXPECT_EQ(record->socket->get(zmq::sockopt::last_endpoint), "");
    // No option is tuned: ZeroMQ's defaults stay in force.
    EXPECT_EQ(record->socket->get(zmq::sockopt::linger), -1);
    EXPECT_EQ(record->socket->get(zmq::sockopt::sndtimeo), -1);
    EXPECT_EQ(record->socket->get(zmq::sockopt::rcvtimeo), -1);
}

TEST(Handle, UnconnectedHandleIsFreedWithoutWaiting) {
    // Destroying the context before closing the socket would block forever; the
    // child proves that teardown returns.
    const ChildOutcome outcome = runInChild(
        [] {
            void* handle = createConnectionHandle();
            if (handle == nullptr) return 1;
            freeHandle(handle);
            return 0;
        },
        10s);
    EXPECT_FALSE(outcome.blocked);
    EXPECT_EQ(outcome.exitCode, 0);
}

TEST(Handle, HandlesAreIndependent) {
    TestPeer peer(TestPeer::echo);
    HandlePtr first = connectedHandle(peer.port());
    HandlePtr second = connectedHandle(peer.port());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(asHandle(first.get())->context.get(), asHandle(second.get())->context.get());

    EXPECT_EQ(execute(first.get(), "one").text(), "one");
    first.reset();
    const Exchange after = execute(second.get(), "two");
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.text(), "two");
}

TEST(Handle, ManyHandlesAtOnce) {
    TestPeer peer(TestPeer::echo);
    std::vector<HandlePtr> handles;
    for (int i = 0; i < 32; ++i) {
        handles.push_back(connectedHandle(peer.port()));
        ASSERT_NE(handles.back(), nullptr);
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        const std::string script = "handle " + std::to_string(i);
        EXPECT_EQ(execute(handles[i].get(), script.c_str()).text(), script);
    }
}

class HandleCreationFailure : public ::testing::Test {
  protected:
    void TearDown() override { allocfail::reset(); }
};

TEST_F(HandleCreationFailure, OutOfMemoryAtEachOwnStepGivesNull) {
    SKIP_UNLESS_ALLOCATION_FAILURES_WORK();
    // The record, the context object and the socket object are the handle's own
    // allocations, in that order; each failing alone must give NULL (and leak
    // nothing, which the memcheck run of this suite verifies).
    for (int step = 1; step <= 3; ++step) {
        allocfail::failNth(step);
        void* handle = createConnectionHandle();
        allocfail::reset();
        EXPECT_EQ(handle, nullptr) << "allocation " << step;
        freeHandle(handle);
    }
    EXPECT_NE(newHandle(), nullptr);
}

TEST_F(HandleCreationFailure, OutOfFileDescriptorsGivesNull) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no descriptor limit to lower: ZeroMQ's sockets are kernel "
                    "handles, bounded by memory";
#else
    if (kSanitized) GTEST_SKIP() << "the sanitizer runtime itself needs free descriptors";
    // ZeroMQ needs descriptors for its mailboxes; without them it makes no socket.
    const ChildOutcome outcome = runInChild(
        [] {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            // Descriptors 0-2 are open, so no new one can be below the limit.
            limit.rlim_cur = 3;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
            void* handle = createConnectionHandle();
            if (handle != nullptr) {
                freeHandle(handle);
                return 1;
            }
            return 0;
        },
        10s);
    ASSERT_FALSE(outcome.blocked);
    EXPECT_EQ(outcome.exitCode, 0);
#endif
}
