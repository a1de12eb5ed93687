// The send cycle's tick arithmetic, kept free of widgets so it can be checked tick by tick.
#include "core/tick_counter.h"

#include "core/settings.h"

namespace veltrano {

TickCounter::Outcome TickCounter::tick(const QString &interval, bool running)
{
    ++m_seconds;
    if (m_seconds <= 59)
        return Outcome::Counted;

    m_seconds = 1;
    ++m_minutes;
    const std::optional<int> minutes = wholeNumber(interval);
    if (!minutes || *minutes <= 0) {
        // Nothing can fall due on such an interval; keep the counter from growing without bound
        // until the interval is mended.
        m_minutes = 0;
        return Outcome::BadInterval;
    }
    if (m_minutes < *minutes)
        return Outcome::MinutePassed;

    // Reset before the batch, so the next one comes a whole interval later however this one ends.
    m_minutes = 0;
    return running ? Outcome::BatchDue : Outcome::MinutePassed;
}

} // namespace veltrano
