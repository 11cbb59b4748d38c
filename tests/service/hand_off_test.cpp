// hand_off_test.cpp - the hand-off between the supervisor and one worker through the
// control block, run in every interleaving of the two sides' steps (hand_off_world.h);
// the worker may die at any step, or write any of a list of values into a word of the
// block first.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "hand_off_world.h"

namespace {

using handoff::Areas;
using handoff::Forgery;
using handoff::World;

// Every path from the start, each state expanded once; a path is replayed from the
// start, since the areas and the block cannot be copied.
struct Search {
    std::size_t states = 0;
    std::size_t ends = 0;
    std::vector<std::string> faults;
};

Search searchAll(bool withForgeries, int requests) {
    Areas areas;
    const std::vector<Forgery> forged =
        withForgeries ? handoff::forgeries() : std::vector<Forgery>{};
    Search search;
    std::set<std::string> seen;
    std::vector<std::vector<int>> paths{{}};
    while (!paths.empty() && search.faults.empty()) {
        const std::vector<int> path = std::move(paths.back());
        paths.pop_back();
        World world(areas, forged, requests);
        for (int action : path)
            world.apply(action);
        if (!seen.insert(world.key()).second) continue;
        ++search.states;
        const std::vector<int> next = world.enabled();
        if (next.empty()) {
            ++search.ends;
            world.finish();
        }
        for (const std::string& fault : world.faults) {
            std::string steps;
            for (int action : path)
                steps += handoff::nameOf(action) + ", ";
            search.faults.push_back(fault + " after steps " + steps);
        }
        for (int action : next) {
            paths.push_back(path);
            paths.back().push_back(action);
        }
    }
    return search;
}

TEST(HandOffInterleaving, EveryInterleavingAnswersEachRequestOnceFromItsOwnReply) {
    const Search search = searchAll(false, handoff::kRequests);
    EXPECT_TRUE(search.faults.empty()) << search.faults.front();
    EXPECT_GT(search.ends, 0u);
    RecordProperty("states", static_cast<int>(search.states));
}

// Two requests are enough for a forgery to meet every step of the supervisor's: a
// dispatch, a request posted ahead, an arena reply and a reply area.
TEST(HandOffInterleaving, NoForgedWordMakesTheSupervisorReadOutsideItsAreasOrAnswerTwice) {
    const Search search = searchAll(true, 2);
    EXPECT_TRUE(search.faults.empty()) << search.faults.front();
    RecordProperty("states", static_cast<int>(search.states));
}

} // namespace
