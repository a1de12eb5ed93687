// The send lease: conditional updates of one sysParam row, judged by the database's own clock.
#include "core/sender_lease.h"

#include "core/database.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSysInfo>
#include <QSqlQuery>
#include <QUuid>

namespace veltrano {
namespace {

struct LeaseStatements {
    QString take;    // (rest of value, ParamName, owner pattern): renew ours or take an expired one
    QString create;  // (ParamName, rest of value, ParamName): only when no such row exists
    QString read;    // (ParamName) -> ParamValue
    QString release; // (ParamName, owner pattern)
};

// The expiry leads the value so that "expired" is a plain text comparison with the current time,
// both written as YYYY-MM-DD HH:MM:SS.
const LeaseStatements &leaseStatements(Dialect dialect)
{
    static const LeaseStatements tsql = {
        QStringLiteral("update sysParam set ParamValue=convert(varchar(19), dateadd(second, %1, "
                       "getutcdate()), 120) + ? where ParamName=? and (ParamValue is null or "
                       "ParamValue='' or ParamValue<convert(varchar(19), getutcdate(), 120) or "
                       "ParamValue like ?)")
            .arg(SenderLease::kLeaseSeconds),
        QStringLiteral("insert into sysParam (ParamName, ParamValue) select ?, "
                       "convert(varchar(19), dateadd(second, %1, getutcdate()), 120) + ? "
                       "where not exists (select 1 from sysParam where ParamName=?)")
            .arg(SenderLease::kLeaseSeconds),
        QStringLiteral("select ParamValue from sysParam where ParamName=?"),
        QStringLiteral("update sysParam set ParamValue='' where ParamName=? and ParamValue like ?"),
    };
    static const LeaseStatements sqlite = {
        QStringLiteral("update sysParam set ParamValue=strftime('%Y-%m-%d %H:%M:%S', 'now', "
                       "'+%1 seconds') || ? where ParamName=? and (ParamValue is null or "
                       "ParamValue='' or ParamValue<strftime('%Y-%m-%d %H:%M:%S', 'now') or "
                       "ParamValue like ?)")
            .arg(SenderLease::kLeaseSeconds),
        QStringLiteral("insert into sysParam (ParamName, ParamValue) select ?, "
                       "strftime('%Y-%m-%d %H:%M:%S', 'now', '+%1 seconds') || ? "
                       "where not exists (select 1 from sysParam where ParamName=?)")
            .arg(SenderLease::kLeaseSeconds),
        QStringLiteral("select ParamValue from sysParam where ParamName=?"),
        QStringLiteral("update sysParam set ParamValue='' where ParamName=? and ParamValue like ?"),
    };
    return dialect == Dialect::Sqlite ? sqlite : tsql;
}

// "主机 H，进程 P，自 T 起" from a stored value, with the start in local time.
QString describeHolder(const QString &value)
{
    const QStringList parts = value.split(u'|');
    if (parts.size() < 5)
        return QStringLiteral("未知（%1）").arg(value);
    QDateTime since = QDateTime::fromString(parts[4], QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    since.setTimeSpec(Qt::UTC);
    const QString sinceText = since.isValid()
                                  ? since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                  : parts[4];
    return QStringLiteral("主机 %1，进程 %2，自 %3 起").arg(parts[2], parts[3], sinceText);
}

} // namespace

SenderLease::SenderLease()
    : m_owner(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_since(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
{
}

bool SenderLease::acquire(Database &db)
{
    const LeaseStatements &sql = leaseStatements(db.dialect());
    // Host names and process ids are for the operator to read; "|" would only blur the fields.
    QString host = QSysInfo::machineHostName();
    host.replace(u'|', u'_');
    const QString rest = u'|' + m_owner + u'|' + host + u'|'
                         + QString::number(QCoreApplication::applicationPid()) + u'|' + m_since;
    const QString mine = QStringLiteral("%|") + m_owner + QStringLiteral("|%");

    m_held = db.exec(sql.take, {rest, kParamName, mine}).numRowsAffected() > 0;
    if (!m_held)
        m_held = db.exec(sql.create, {kParamName, rest, kParamName}).numRowsAffected() > 0;
    if (m_held) {
        m_holder.clear();
        m_renewed.start();
        return true;
    }
    QSqlQuery current = db.exec(sql.read, {kParamName});
    m_holder = current.next() ? describeHolder(current.value(0).toString()) : QString();
    return false;
}

bool SenderLease::renewIfDue(Database &db)
{
    if (m_held && m_renewed.isValid() && m_renewed.elapsed() < kRenewAfterSeconds * 1000)
        return true;
    return acquire(db);
}

void SenderLease::release(Database &db)
{
    if (!m_held)
        return;
    m_held = false;
    db.exec(leaseStatements(db.dialect()).release,
            {kParamName, QStringLiteral("%|") + m_owner + QStringLiteral("|%")});
}

} // namespace veltrano
