#include "drivers/connect_ramp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ConnectRamp, SpacesStartsAtTheRateOnAFakeClock) {
    ConnectRamp ramp(4.0, 0, {}, 1);  // one start every 250 ms
    EXPECT_EQ(ramp.IntervalUs(), 250000);
    // Ten devices asking at once: one turn each, 250 ms apart, the first at once.
    std::vector<std::int64_t> turns;
    for (int i = 0; i < 10; ++i) turns.push_back(ramp.Reserve(1000000));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(turns[i], 1000000 + i * 250000) << i;
    // Asked later than the next free turn: at once, and the ramp goes on from there.
    EXPECT_EQ(ramp.Reserve(10000000), 10000000);
    EXPECT_EQ(ramp.Reserve(10000001), 10250000);
}

TEST(ConnectRamp, AQuietSpellSavesNoBurst) {
    ConnectRamp ramp(1000.0, 0, {}, 1);
    ramp.Reserve(0);
    // A minute later, two at the same moment still go a turn apart.
    const std::int64_t a = ramp.Reserve(60000000);
    const std::int64_t b = ramp.Reserve(60000000);
    EXPECT_EQ(a, 60000000);
    EXPECT_EQ(b - a, 1000);
}

TEST(ConnectRamp, SourcesAreTakenInTurn) {
    ConnectRamp ramp(10.0, 3, {}, 1);
    std::vector<std::size_t> taken;
    for (int i = 0; i < 7; ++i) taken.push_back(ramp.NextSource());
    EXPECT_EQ(taken, (std::vector<std::size_t>{0, 1, 2, 0, 1, 2, 0}));
    ConnectRamp none(10.0, 0, {}, 1);
    EXPECT_EQ(none.NextSource(), 0u);
}

TEST(ConnectRamp, BackoffDoublesUpToTheLongestWithinItsJitter) {
    ConnectRamp exact(10.0, 0, {100, 1000, 0.0}, 1);
    const std::int64_t expected[] = {100, 200, 400, 800, 1000, 1000};
    for (std::uint32_t failures = 1; failures <= 6; ++failures)
        EXPECT_EQ(exact.RetryDelayUs(failures), expected[failures - 1] * 1000) << failures;
    EXPECT_EQ(exact.RetryDelayUs(1000), 1000000);  // no overflow however long it fails

    ConnectRamp spread(10.0, 0, {1000, 30000, 0.2}, 5);
    ConnectRamp same(10.0, 0, {1000, 30000, 0.2}, 5);
    bool varied = false;
    std::int64_t previous = -1;
    for (int i = 0; i < 200; ++i) {
        const std::int64_t wait = spread.RetryDelayUs(1);
        EXPECT_GE(wait, 800000);
        EXPECT_LE(wait, 1200000);
        EXPECT_EQ(wait, same.RetryDelayUs(1));  // the seed decides: the same every run
        varied = varied || (previous >= 0 && wait != previous);
        previous = wait;
    }
    EXPECT_TRUE(varied) << "jitter spreads the reconnects";
}

}  // namespace
