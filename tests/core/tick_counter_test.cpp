// The send cycle's tick arithmetic: when batches fall due, and what the counters hold meanwhile.
#include "core/settings.h"
#include "core/tick_counter.h"

#include <gtest/gtest.h>

#include <vector>

using veltrano::TickCounter;

namespace {
// The tick numbers (counted from 1 after the start) on which a batch fell due.
std::vector<int> batchTicks(TickCounter &counter, const QString &interval, int ticks,
                            bool running = true)
{
    std::vector<int> due;
    for (int t = 1; t <= ticks; ++t) {
        if (counter.tick(interval, running) == TickCounter::Outcome::BatchDue)
            due.push_back(t);
    }
    return due;
}
} // namespace

TEST(TickCounter, BatchesFallDueOnTheCountedTicks)
{
    const struct {
        const char *interval;
        std::vector<int> expected;
    } cases[] = {
        {"1", {60, 119, 178}},
        {"5", {296, 591, 886}},
        {"10", {591, 1181}},
    };
    for (const auto &c : cases) {
        TickCounter counter;
        EXPECT_EQ(batchTicks(counter, c.interval, c.expected.back()), c.expected) << c.interval;
    }
}

TEST(TickCounter, SecondsRestartAtOneAndMinutesReturnToZeroAtTheInterval)
{
    TickCounter counter;
    batchTicks(counter, "10", 59);
    EXPECT_EQ(counter.seconds(), 59);
    EXPECT_EQ(counter.minutes(), 0);
    counter.tick("10", true);
    EXPECT_EQ(counter.seconds(), 1);
    EXPECT_EQ(counter.minutes(), 1);
    batchTicks(counter, "10", 590 - 60 + 59);
    EXPECT_EQ(counter.minutes(), 0);
}

TEST(TickCounter, StoppedServiceCountsWithoutSending)
{
    TickCounter counter;
    EXPECT_TRUE(batchTicks(counter, "1", 200, /*running=*/false).empty());
    EXPECT_EQ(counter.minutes(), 0);
}

TEST(TickCounter, RestartAtMinuteThreeGoesOnFromThree)
{
    // Stopped at minutes 3, seconds 20: the counters were kept in their boxes and come back.
    TickCounter counter(20, 3);
    // Two minutes remain to an interval of 5: 40 ticks end this minute, then 59 more.
    EXPECT_EQ(batchTicks(counter, "5", 200), std::vector<int>({40 + 59}));
}

TEST(TickCounter, AnIntervalThatIsNotAPositiveWholeNumberRunsNoBatch)
{
    for (const char *bad : {"", "abc", "1.5", "5分钟", "0", "-5"}) {
        TickCounter counter;
        int badMinutes = 0;
        for (int t = 0; t < 200; ++t) {
            const auto outcome = counter.tick(bad, true);
            EXPECT_NE(outcome, TickCounter::Outcome::BatchDue);
            badMinutes += outcome == TickCounter::Outcome::BadInterval;
        }
        EXPECT_EQ(badMinutes, 3) << bad;
        EXPECT_EQ(counter.minutes(), 0);
    }
    EXPECT_EQ(veltrano::wholeNumber(" 007 "), 7);
    EXPECT_EQ(veltrano::wholeNumber("-2"), -2);
    EXPECT_FALSE(veltrano::wholeNumber("").has_value());
}
