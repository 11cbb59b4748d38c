// admission_test.cpp - the admission rules of turns and of the queue: who runs, who
// waits and in what order, and whose requests make room when the queue is full.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "admission_world.h"

namespace {

using namespace admission_world;

TEST(Admission, FollowsItsRules) {
    const std::vector<Case> cases = {
        {"a free worker runs a request at once, the next waits its turn",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         2,
         {{'a', "A", 1, "run"},
          {'a', "B", 1, "run"},
          {'a', "C", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'f', "B", 0, "run:C"},
          {'f', "A", 0, "run:A"},
          {'f', "C", 0, ""}}},
        {"a peer that keeps its queue full waits one turn, not all its requests, ahead of "
         "another",
         limits(0, 4, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'a', "B", 1, "queued"},
          {'a', "C", 1, "queued"},
          {'f', "A", 0, "run:A"},
          {'a', "A", 1, "queued"},
          {'f', "A", 0, "run:B"},
          {'f', "B", 0, "run:C"},
          {'f', "C", 0, "run:A"},
          {'f', "A", 0, "run:A"},
          {'f', "A", 0, "run:A"},
          {'f', "A", 0, ""}}},
        {"the peer's bound counts its running request, and frees as requests end",
         limits(0, 3, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, kBusy},
          {'a', "B", 1, "queued"},
          {'f', "A", 0, "run:A"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, kBusy}}},
        {"room in the queue comes from the newest requests of the peer holding most, down "
         "to its share of four of the largest request",
         limits(100, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 100, "run"},
          {'a', "B", 100, "queued"},
          {'a', "B", 100, "queued"},
          {'a', "B", 100, "queued"},
          {'a', "B", 100, "queued"},
          {'a', "C", 60, std::string("queued B:") + kBusy},
          {'a', "C", 60, std::string("queued B:") + kBusy},
          {'a', "C", 60, "queued"},
          {'a', "D", 100, std::string("queued B:") + kBusy},
          {'a', "C", 60, kBusy},
          {'f', "A", 0, "run:B"},
          {'a', "E", 101, "error: request too large: 101 bytes, limit 100"}}},
        {"a peer with nothing queued is queued when every peer is within its share, past "
         "the bound by at most one request per peer",
         limits(100, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 100, "run"},
          {'a', "B", 100, "queued"},
          {'a', "C", 100, "queued"},
          {'a', "D", 100, "queued"},
          {'a', "E", 100, "queued"},
          {'a', "F", 100, "queued"},
          {'a', "F", 1, kBusy},
          {'f', "A", 0, "run:B"},
          {'a', "B", 100, "queued"}}},
        {"a request too large is refused even when a worker is free",
         limits(10, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 11, "error: request too large: 11 bytes, limit 10"}, {'a', "A", 10, "run"}}},
        {"a peer that starts waiting before a request posted ahead starts goes before its "
         "peer's next one, as if the turn had been taken when the worker came free",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "A", 1, "queued"},
          {'a', "A", 1, "queued"},
          {'p', "", 0, "posted:A"},
          {'a', "B", 1, "queued"},
          {'s', "A", 0, ""},
          {'a', "C", 1, "queued"},
          {'f', "A", 0, "run:B"},
          {'f', "B", 0, "run:A"},
          {'f', "A", 0, "run:C"}}},
        {"a request posted ahead and taken back is first in line again",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         1,
         {{'a', "A", 1, "run"},
          {'a', "B", 1, "queued"},
          {'a', "C", 1, "queued"},
          {'p', "", 0, "posted:B"},
          {'a', "D", 1, "queued"},
          {'b', "B", 0, ""},
          {'f', "A", 0, "run:B"},
          {'f', "B", 0, "run:C"},
          {'f', "C", 0, "run:D"}}},
        {"a request taken back keeps first place while its peer has another posted ahead",
         limits(0, 16, SIZE_MAX, SIZE_MAX),
         2,
         {{'a', "A", 1, "run"},
          {'a', "C", 1, "run"},
          {'a', "B", 1, "queued"},
          {'a', "B", 1, "queued"},
          {'p', "", 0, "posted:B"},
          {'p', "", 0, "posted:B"},
          {'b', "B", 0, ""},
          {'a', "E", 1, "queued"},
          {'f', "A", 0, "run:B"}}},
    };
    runCases(cases);
}

// The table of peers lets go of a peer only once none of its requests is left.
TEST(Admission, ForgetsPeersOnlyWhenNothingIsLeft) {
    World world(limits(0, 16, SIZE_MAX, SIZE_MAX), 1);
    EXPECT_EQ(world.arrive("A", 1), "run");
    EXPECT_EQ(world.arrive("B", 1), "queued");
    world.admission().sweep();
    EXPECT_EQ(world.admission().peerCount(), 2u);
    EXPECT_EQ(world.finish("A"), "run:B");
    world.admission().sweep();
    EXPECT_EQ(world.admission().peerCount(), 1u);
    EXPECT_EQ(world.finish("B"), "");
    world.admission().sweep();
    EXPECT_EQ(world.admission().peerCount(), 0u);
    EXPECT_EQ(world.admission().waitingBytes(), 0u);
}

} // namespace
