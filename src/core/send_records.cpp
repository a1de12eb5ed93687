// Reads SEND_REC for the viewer, with its own connection, and turns each field into display text.
#include "core/send_records.h"
#include "core/failure_text.h"

#include "core/database.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/settings.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlRecord>

namespace veltrano {
namespace {
constexpr int kShownFields = 6; // fields 1 to 6; field 0 is never shown
constexpr int kNoteLimit = 500; // a tooltip, not a page
} // namespace

int periodDays(const QString &period)
{
    // Each comparison stands on its own, as typed text matches at most one of them.
    int days = 0;
    if (period == QStringLiteral("最近一天"))
        days = 0;
    if (period == QStringLiteral("最近一周"))
        days = 7;
    if (period == QStringLiteral("最近一月"))
        days = 30;
    if (period == QStringLiteral("最近三月"))
        days = 90;
    return days + 1;
}

QString fieldText(const QVariant &value)
{
    if (value.isNull())
        return QString();
    switch (value.typeId()) {
    case QMetaType::QDateTime: return formatTimeStamp(value.toDateTime());
    case QMetaType::QDate: return value.toDate().toString(u"yyyy-MM-dd");
    case QMetaType::QTime: return value.toTime().toString(u"HH:mm:ss");
    default: return value.toString();
    }
}

QString timeText(const QVariant &value)
{
    QDateTime when;
    if (value.typeId() == QMetaType::QString) {
        QString text = value.toString().trimmed();
        text.replace(u' ', u'T');
        when = QDateTime::fromString(text, Qt::ISODateWithMs);
    } else if (value.typeId() == QMetaType::QDateTime) {
        when = value.toDateTime();
    }
    if (!when.isValid())
        return fieldText(value);
    // The database keeps the second of every post; two posts a few seconds apart must not read
    // as one. Written as the log writes it, so a row and its log line are found by the same text.
    return formatTimeStamp(when);
}

QString answerNote(const QVariant &answer)
{
    const QString text = answer.toString().trimmed();
    const QJsonDocument json = QJsonDocument::fromJson(text.toUtf8());
    if (json.isObject()) {
        const QJsonValue errmsg = json.object().value(QStringLiteral("errmsg"));
        return errmsg.isString() ? errmsg.toString().left(kNoteLimit) : QString();
    }
    // A local error text (a row that was never posted) says what happened in its own words.
    return text.left(kNoteLimit);
}

SendRecordResult querySendRecords(SharedSettings &live, const QString &type, const QString &period)
{
    SendRecordResult result;
    const int days = periodDays(period);
    const Settings connection = ReloadSettings(live);
    try {
        Database db(connection);
        // The answer for the tooltip comes from tempmsg by SEND_REC's id; a SEND_REC without one
        // is still listed, by position, only without the tooltip.
        bool joined = true;
        QSqlQuery query;
        try {
            query = db.exec(db.sql().sendRecords, {type, days});
        } catch (const DbError &) {
            joined = false;
            query = db.exec(db.sql().sendRecordsOnly, {type, days});
        }
        const int viewFields = query.record().count() - (joined ? 1 : 0);
        const int answerField = joined ? viewFields : -1;
        if (viewFields < kShownFields + 1) {
            result.error = QStringLiteral("SEND_REC 的列少于 %1 个").arg(kShownFields + 1);
            return result;
        }
        while (query.next()) {
            QStringList row;
            row.reserve(kShownFields);
            for (int field = 1; field < kShownFields; ++field)
                row << fieldText(query.value(field));
            row << timeText(query.value(kShownFields));
            row << (answerField >= 0 ? answerNote(query.value(answerField)) : QString());
            result.rows.append(row);
        }
        // A connection lost half-way ends the loop early; that is a failure, not a short list.
        if (query.lastError().isValid()) {
            result.rows.clear();
            result.error = query.lastError().text();
            return result;
        }
        result.ok = true;
    } catch (const std::exception &e) {
        result.error = causeOf(e);
    }
    return result;
}

} // namespace veltrano
