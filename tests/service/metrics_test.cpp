// metrics_test.cpp - the metrics' one writer: what it counts reaches the page's series,
// and a write from a thread other than the one that made it is refused and said.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "capture.h"
#include "metrics.h"

TEST(MetricsWriter, OnlyTheThreadThatMadeItWrites) {
    qel::Metrics metrics;
    qel::MetricsWriter writer(metrics);
    writer.add(writer.series().postedAhead, 2);
    writer.answered(qel::Outcome::Ok, 0.0003);
    ASSERT_EQ(metrics.postedAhead.read(), 2u);
    ASSERT_EQ(metrics.requests[static_cast<std::size_t>(qel::Outcome::Ok)].read(), 1u);

    const Console console = captureConsole([&] {
        std::thread other([&] {
            writer.add(writer.series().postedAhead);
            writer.set(writer.series().queued, 5);
            writer.recount(qel::Outcome::Ok, qel::Outcome::Undelivered);
        });
        other.join();
    });
    EXPECT_EQ(metrics.postedAhead.read(), 2u);
    EXPECT_EQ(metrics.queued.read(), 0u);
    EXPECT_EQ(metrics.requests[static_cast<std::size_t>(qel::Outcome::Ok)].read(), 1u);
    EXPECT_NE(console.err.find("broken rule: only the serving loop's thread writes a metric"),
              std::string::npos)
        << console.err;
}
