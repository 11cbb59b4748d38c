// admission_unread_test.cpp - the admission rules of replies left unread: what a peer
// holds against itself, which peers are cut off and when, and the pause past the bound.
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "admission_world.h"

namespace {

using namespace admission_world;

TEST(AdmissionUnread, FollowsItsRules) {
    const std::vector<Case> cases = {
        {"a peer that leaves replies unread is refused; others are not",
         limits(0, 16, 50, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 51, ""},
          {'a', "A", 1, qel::reply::kUnread},
          {'a', "B", 1, "queued"},
          {'u', "A", 50, ""},
          {'a', "A", 1, "queued"},
          {'f', "A", 0, "run:B"}}},
        {"past the bound, only what a peer holds itself is held against it",
         limits(0, 16, SIZE_MAX, 100),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 90, ""},
          {'f', "A", 0, ""},
          {'a', "B", 1, "run"},
          {'u', "B", 80, ""},
          {'f', "B", 0, ""},
          {'h', "", 400, ""},
          {'a', "A", 1, "run"},
          {'u', "A", 101, ""},
          {'f', "A", 0, ""},
          {'a', "C", 1, "run"},
          {'a', "A", 1, kUnread}}},
        {"past the bound, the peer stalled 1 s with more than its share is cut off: what it "
         "has waiting is answered, and nothing more is taken from it",
         limits(0, 16, SIZE_MAX, 100),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 90, ""},
          {'f', "A", 0, ""},
          {'a', "B", 1, "run"},
          {'u', "B", 40, ""},
          {'a', "A", 1, "queued"},
          {'w', "", 0, ""},
          {'w', "", 999, ""},
          {'w', "", 1000, std::string("cut:A A:") + kUnread},
          {'a', "A", 1, kUnread},
          {'w', "", 5000, ""},
          {'f', "B", 0, ""},
          {'a', "B", 1, "run"}}},
        {"a peer that takes its replies is not cut off, nor one whose connection is gone",
         limits(0, 16, SIZE_MAX, 100),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 90, ""},
          {'f', "A", 0, ""},
          {'a', "B", 1, "run"},
          {'u', "B", 60, ""},
          {'f', "B", 0, ""},
          {'w', "", 0, ""},
          {'r', "A", 90, ""},
          {'r', "B", 0, ""},
          {'w', "", 900, ""},
          {'w', "", 1899, ""},
          {'w', "", 1900, "cut:A"}}},
        {"past the ceiling, peers stalled 200 ms are cut off too, the longest stalled first, "
         "until what is left is within it; then past the bound, the most bytes first",
         limits(0, 16, SIZE_MAX, 100, 150),
         2,
         {{'a', "A", 1, "run"},
          {'a', "B", 1, "run"},
          {'u', "A", 60, ""},
          {'w', "", 0, ""},
          {'u', "B", 60, ""},
          {'f', "A", 0, ""},
          {'h', "", 400, ""},
          {'a', "C", 1, "run"},
          {'u', "C", 70, ""},
          {'w', "", 100, ""},
          {'w', "", 199, ""},
          {'w', "", 200, "cut:A"},
          {'w', "", 1099, ""},
          {'w', "", 1100, "cut:C"}}},
        {"replies that pile up while a request waits refuse it when its turn comes",
         limits(0, 16, SIZE_MAX, 100),
         1,
         {{'a', "B", 1, "run"},
          {'u', "B", 0, ""},
          {'f', "B", 0, ""},
          {'a', "A", 1, "run"},
          {'a', "B", 1, "queued"},
          {'a', "C", 1, "queued"},
          {'u', "B", 150, ""},
          {'a', "D", 1, "queued"},
          {'h', "", 400, ""},
          {'f', "A", 0, std::string("B:") + kUnread + " run:C"}}},
        {"no request starts for 400 ms each time the unread total rises past the ceiling; "
         "past the bound alone they do",
         limits(0, 16, SIZE_MAX, 100, 150),
         1,
         {{'a', "A", 1, "run"},
          {'u', "A", 120, ""},
          {'f', "A", 0, ""},
          {'h', "", 0, ""},
          {'u', "A", 160, ""},
          {'h', "", 100, "held"},
          {'a', "B", 1, "queued"},
          {'h', "", 499, "held"},
          {'h', "", 500, ""},
          {'f', "A", 0, "run:B"},
          {'u', "A", 120, ""},
          {'h', "", 600, ""},
          {'u', "A", 160, ""},
          {'h', "", 700, "held"}}},
    };
    runCases(cases);
}

// The bounds on unread replies as the command line sets them: the ceiling is the bound and
// one reply's worth per worker, a reply being at most --max-memory.
TEST(Admission, TakesItsUnreadBoundsFromTheOptions) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const struct {
        int workers;
        std::size_t maxMemory;
        std::optional<std::size_t> maxUnread;
        std::size_t all, ceiling;
    } rows[] = {
        {1, 256 * kMiB, std::nullopt, 256 * kMiB, 512 * kMiB},
        {4, 256 * kMiB, 8 * kMiB, 8 * kMiB, 1032 * kMiB},
        {2, 0, 8 * kMiB, 8 * kMiB, 24 * kMiB},  // no largest reply: the bound stands in
        {2, 256 * kMiB, 0, SIZE_MAX, SIZE_MAX}, // no bound
        {1024, SIZE_MAX / 2, std::nullopt, SIZE_MAX / 2, SIZE_MAX}, // saturates
    };
    for (const auto& row : rows) {
        qel::ServiceOptions options;
        options.workers = row.workers;
        options.limits.maxMemory = row.maxMemory;
        options.maxUnread = row.maxUnread;
        const AdmissionLimits got = AdmissionLimits::from(options);
        EXPECT_EQ(got.unreadAll, row.all) << row.workers << " " << row.maxMemory;
        EXPECT_EQ(got.unreadCeiling, row.ceiling) << row.workers << " " << row.maxMemory;
    }
}

// A peer is counted among those holding unread bytes from its first byte to its last,
// once, however its replies overlap.
TEST(Admission, CountsEachPeerHoldingUnreadBytesOnce) {
    qel::UnreadBytes unread;
    qel::Peer a, b;
    const struct {
        qel::Peer* peer;
        long bytes; // charged when positive, released when negative
        std::size_t total, peers;
    } rows[] = {{&a, 5, 5, 1},   {&a, 7, 12, 1}, {&b, 0, 12, 1}, {&b, 3, 15, 2},
                {&a, -5, 10, 2}, {&a, -7, 3, 1}, {&b, -3, 0, 0}, {&a, 1, 1, 1}};
    for (const auto& row : rows) {
        if (row.bytes >= 0) {
            unread.charge(*row.peer, static_cast<std::size_t>(row.bytes));
        } else {
            unread.release(*row.peer, static_cast<std::size_t>(-row.bytes));
        }
        EXPECT_EQ(unread.load(), row.total);
        EXPECT_EQ(unread.peers(), row.peers);
    }
}

} // namespace
