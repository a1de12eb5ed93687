// The send cycle's clock: seconds and minutes counted tick by tick, and when a batch falls due.
#pragma once

#include <QString>

namespace veltrano {

// Counts handled ticks, not elapsed time. The seconds restart at 1, so the first minute takes 60
// ticks and every later one 59: with an interval of N minutes the first batch comes on tick
// 60 + 59 * (N - 1) and each later one 59 * N ticks after the one before.
class TickCounter {
public:
    enum class Outcome {
        Counted,      // nothing more this tick
        MinutePassed, // a minute was counted, no batch is due
        BatchDue,     // the interval was reached while the service runs
        BadInterval,  // a minute was counted but the interval is not a positive whole number
    };

    TickCounter(int seconds = 0, int minutes = 0) : m_seconds(seconds), m_minutes(minutes) {}

    // One tick of the one-second timer. `interval` is temp_timer as stored (decimal text).
    Outcome tick(const QString &interval, bool running);

    int seconds() const { return m_seconds; }
    int minutes() const { return m_minutes; }

private:
    int m_seconds;
    int m_minutes;
};

} // namespace veltrano
