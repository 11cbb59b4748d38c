// spin_test.cpp - the adaptive spin before parking: that it never spins where it was
// disabled, shrinks to nothing when the other side keeps it waiting, and comes back.
#include <gtest/gtest.h>

#include "spin.h"

namespace qel {
namespace {

TEST(Spin, ShrinksWhenItFailsAndTriesAgainLater) {
    SpinBudget off(false);
    int looks = 0;
    EXPECT_FALSE(off.spin([&] { return ++looks > 0; }));
    EXPECT_EQ(looks, 0) << "a disabled spin must not even look";

    SpinBudget spin(true);
    EXPECT_TRUE(spin.spin([] { return true; }));
    EXPECT_EQ(spin.limit(), SpinBudget::kLongest.count());

    // Each failure halves the budget; within a bounded number it is gone.
    int failures = 0;
    while (spin.limit() > 0 && failures < 64) {
        const auto before = spin.limit();
        EXPECT_FALSE(spin.spin([] { return false; }));
        EXPECT_LT(spin.limit(), before);
        ++failures;
    }
    ASSERT_EQ(spin.limit(), 0);
    EXPECT_LE(failures, 8);

    // Spent, it skips most waits without looking, then tries a short spin again; one
    // that succeeds keeps a budget.
    int skipped = 0;
    looks = 0;
    while (looks == 0 && skipped < 1000) {
        if (!spin.spin([&] { return ++looks > 0; })) ++skipped;
    }
    EXPECT_EQ(looks, 1);
    EXPECT_GE(skipped, 8) << "a spent budget must skip spins for a while";
    EXPECT_LT(skipped, 1000);
    EXPECT_GT(spin.limit(), 0);
}

TEST(Spin, UsableCpusIsAtLeastOne) { EXPECT_GE(usableCpus(), 1); }

} // namespace
} // namespace qel
