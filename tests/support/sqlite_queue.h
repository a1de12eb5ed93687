// A message queue on a real SQLite file in a temporary application folder, for cycle tests and
// benches.
#pragma once

#include "core/database.h"
#include "core/profile.h"
#include "core/settings.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QSqlQuery>
#include <QVariant>

namespace veltrano::testsupport {

// config.ini names an SQLite file in the folder; the live settings hold its connection fields.
class SqliteQueue {
public:
    SqliteQueue()
    {
        WriteProfileValue(configFilePath(), QStringLiteral("con"), QStringLiteral("db"),
                          QStringLiteral("queue.db"));
        WriteProfileValue(configFilePath(), QStringLiteral("con"), QStringLiteral("driver"),
                          QStringLiteral("sqlite"));
        testsupport::loadConnection();
        Database created(connection(), 0, MissingFile::Create);
    }

    Settings connection() const { return testsupport::liveSettings().snapshot(); }

    void setParam(const QString &name, const QString &value)
    {
        Database db(connection());
        db.exec(QStringLiteral("update sysParam set ParamValue=? where ParamName=?"),
                {value, name});
    }

    // Queues one message the way another system would; returns its id.
    qlonglong add(const QVariant &body, const QVariant &kind, const QString &openid = {})
    {
        Database db(connection());
        QSqlQuery q =
            db.exec(QStringLiteral("insert into tempmsg (msg, kind, openid) values (?, ?, ?)"),
                    {body, kind, openid});
        return q.lastInsertId().toLongLong();
    }

    // A database that will not take this row's answer, as a full disk would not; false takes the
    // refusal back.
    void refuseStat(qlonglong id, bool on) const
    {
        Database db(connection());
        db.exec(
            on ? QStringLiteral("create trigger refuse before update on tempmsg when new.id = %1 "
                                "begin select raise(abort, 'disk full'); end")
                     .arg(id)
               : QStringLiteral("drop trigger refuse"));
    }

    QVariant stat(qlonglong id) const { return column(QStringLiteral("stat"), id); }
    QVariant sendtime(qlonglong id) const { return column(QStringLiteral("sendtime"), id); }

    int pending() const
    {
        Database db(connection());
        QSqlQuery q = db.exec(QStringLiteral("select count(*) from tempmsg where stat is null"));
        return q.next() ? q.value(0).toInt() : -1;
    }

    // Loads sysParam into the live values, as the service start does.
    void load() const
    {
        Settings s = connection();
        Database db(s);
        LoadParameters(db, s);
        liveSettings().update([&](Settings &v) { copyParameters(s, v); });
    }

private:
    QVariant column(const QString &name, qlonglong id) const
    {
        Database db(connection());
        QSqlQuery q =
            db.exec(QStringLiteral("select ") + name + QStringLiteral(" from tempmsg where id=?"),
                    {id});
        return q.next() ? q.value(0) : QVariant();
    }

    TempAppFolder m_folder;
};

} // namespace veltrano::testsupport
