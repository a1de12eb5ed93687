// The send cycle's tick arithmetic, kept free of widgets so it can be checked tick by tick.
#include "core/tick_counter.h"

namespace veltrano {

std::optional<int> TickCounter::wholeNumber(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

TickCounter::Outcome TickCounter::tick(const QString &interval, bool running)
{
    ++m_seconds;
    if (m_seconds <= 59)
        return Outcome::Counted;

    m_seconds = 1;
    ++m_minutes;
    const std::optional<int> minutes = wholeNumber(interval);
    if (!minutes) {
        // Nothing can fall due on an interval that is not a number; keep the counter from growing
        // without bound until the interval is mended.
        m_minutes = 0;
        return Outcome::BadInterval;
    }
    if (m_minutes < *minutes)
        return Outcome::MinutePassed;

    // Reset before the batch, so the next one comes a whole interval later however this one ends.
    m_minutes = 0;
    return running && *minutes > 0 ? Outcome::BatchDue : Outcome::MinutePassed;
}

} // namespace veltrano
