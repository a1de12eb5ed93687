// The send cycle's tick arithmetic: when batches fall due, and what the counters hold meanwhile.
#include "core/settings.h"
#include "core/tick_counter.h"

#include <gtest/gtest.h>

#include <vector>

using veltrano::TickCounter;

// From the counters a start finds (a restart finds those the stop left in their boxes), the ticks
// on which a batch falls due and what the counters hold after the last tick. Seconds run 1 to 59;
// the minute turns on the 60th tick and again every 59, and goes back to 0 when the interval is
// reached, whether the service is running (a batch) or stopped (none).
TEST(TickCounter, BatchesFallDueOnTheCountedTicks)
{
    const struct {
        int seconds, minutes;
        const char *interval;
        bool running;
        int ticks;
        std::vector<int> due;
        int secondsAfter, minutesAfter;
    } cases[] = {
        {0, 0, "10", true, 59, {}, 59, 0},
        {0, 0, "10", true, 60, {}, 1, 1},
        {0, 0, "1", true, 178, {60, 119, 178}, 1, 0},
        {0, 0, "5", true, 886, {296, 591, 886}, 1, 0},
        {0, 0, "10", true, 1181, {591, 1181}, 1, 0},
        {0, 0, "1", false, 200, {}, 23, 0},
        // Stopped at minute 3, second 20: 40 ticks end that minute, then 59 more reach 5.
        {20, 3, "5", true, 200, {40 + 59}, 43, 1},
    };
    for (const auto &c : cases) {
        TickCounter counter(c.seconds, c.minutes);
        std::vector<int> due;
        for (int t = 1; t <= c.ticks; ++t)
            if (counter.tick(c.interval, c.running) == TickCounter::Outcome::BatchDue)
                due.push_back(t);
        const std::string name = std::string(c.interval) + " for " + std::to_string(c.ticks);
        EXPECT_EQ(due, c.due) << name;
        EXPECT_EQ(counter.seconds(), c.secondsAfter) << name;
        EXPECT_EQ(counter.minutes(), c.minutesAfter) << name;
    }
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
