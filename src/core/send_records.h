// The send records the viewer lists: the period table, the query on SEND_REC and each field's text.
#pragma once

#include "core/settings.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace veltrano {

// Days subtracted from the database's current time for a period text: "最近一天" 1, "最近一周" 8,
// "最近一月" 31, "最近三月" 91 (the day count plus one); the texts must match exactly, and any
// other text gives 1.
int periodDays(const QString &period);

struct SendRecordResult {
    bool ok = false;
    QString error; // why the query failed, in the driver's words
    // Fields 1 to 6 of each SEND_REC row as text, in the server's order, then WeChat's errmsg for
    // that row (or the local error text it was marked with; empty when there is none).
    QList<QStringList> rows;
};

// Re-reads config.ini into the live values, runs LoadParameters, then reads the SEND_REC rows of
// the type text (as typed, bound) sent within the period. Never throws. Safe on any thread: the
// connection is opened and closed inside the call.
SendRecordResult querySendRecords(SharedSettings &live, const QString &type, const QString &period);

// The text form of a field: numbers as decimal text, date-times in the system's short date and
// time format, texts as they are, NULL as an empty text.
QString fieldText(const QVariant &value);
// The send time: the system's short date and the time with its seconds; SQLite hands it over as
// ISO text rather than as a date-time.
QString timeText(const QVariant &value);

// WeChat's errmsg out of a stored answer; an answer that is no JSON object (a local error text)
// comes back as it is. Bounded in length.
QString answerNote(const QVariant &answer);

} // namespace veltrano
