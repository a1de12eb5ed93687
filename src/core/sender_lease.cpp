// The send lease: conditional updates of one sysParam row, judged by the database's own clock.
#include "core/sender_lease.h"

#include "core/answer_ledger.h"
#include "core/database.h"
#include "core/logger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>

namespace veltrano {
namespace {

struct LeaseStatements {
    QString take; // (rest of value, ParamName, owner pattern, keeper pattern): renew ours or take
                  //    an expired one
    QString takeKept; // the same with an expiry that never comes
    QString create;   // (ParamName, rest of value, ParamName): only when no such row exists
    QString createKept;
    QString read;    // (ParamName) -> ParamValue
    QString release; // (ParamName, owner pattern)
    QString blank;   // (ParamName, ParamName): the row with an empty value, when it is missing
    QString touch;   // (ParamName): writes the row without changing it
};

// Far beyond any clock: a lease that holds kept answers never expires.
const QString kNever = QStringLiteral("'9999-12-31 23:59:59'");

// The expiry leads the value so that "expired" is a plain text comparison with the current time,
// both written as YYYY-MM-DD HH:MM:SS.
const LeaseStatements &leaseStatements(Dialect dialect)
{
    const auto make = [](const QString &expiry, const QString &now, const QString &join) {
        const QString take =
            QStringLiteral("update sysParam set ParamValue=%1 %3 ? where ParamName=? and "
                           "(ParamValue is null or ParamValue='' or ParamValue<%2 or "
                           "ParamValue like ? or ParamValue like ?)");
        const QString create =
            QStringLiteral("insert into sysParam (ParamName, ParamValue) select ?, %1 %2 ? "
                           "where not exists (select 1 from sysParam where ParamName=?)");
        return LeaseStatements{
            take.arg(expiry, now, join),
            take.arg(kNever, now, join),
            create.arg(expiry, join),
            create.arg(kNever, join),
            QStringLiteral("select ParamValue from sysParam where ParamName=?"),
            QStringLiteral(
                "update sysParam set ParamValue='' where ParamName=? and ParamValue like ?"),
            QStringLiteral("insert into sysParam (ParamName, ParamValue) select ?, '' "
                           "where not exists (select 1 from sysParam where ParamName=?)"),
            QStringLiteral("update sysParam set ParamValue=ParamValue where ParamName=?"),
        };
    };
    static const LeaseStatements tsql =
        make(QStringLiteral("convert(varchar(19), dateadd(second, %1, getutcdate()), 120)")
                 .arg(SenderLease::kLeaseSeconds),
             QStringLiteral("convert(varchar(19), getutcdate(), 120)"), QStringLiteral("+"));
    static const LeaseStatements sqlite =
        make(QStringLiteral("strftime('%Y-%m-%d %H:%M:%S', 'now', '+%1 seconds')")
                 .arg(SenderLease::kLeaseSeconds),
             QStringLiteral("strftime('%Y-%m-%d %H:%M:%S', 'now')"), QStringLiteral("||"));
    return dialect == Dialect::Sqlite ? sqlite : tsql;
}

// "主机 H，进程 P，自 T 起" from a stored value, with the start in local time.
QString describeHolder(const QString &value)
{
    const QStringList parts = value.split(u'|');
    if (parts.size() < 5)
        return QStringLiteral("未知（%1）").arg(value);
    const QString kept = parts.size() > 5 && parts[5].startsWith(QLatin1String("kept:"))
                             ? QStringLiteral("，保存着未写入数据库的发送结果")
                             : QString();
    QDateTime since = QDateTime::fromString(parts[4], QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    since.setTimeSpec(Qt::UTC);
    const QString sinceText =
        since.isValid() ? since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                        : parts[4];
    return QStringLiteral("主机 %1，进程 %2，自 %3 起").arg(parts[2], parts[3], sinceText) + kept;
}

} // namespace

SenderLease::SenderLease()
    : m_owner(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_since(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
{}

void SenderLease::prepare(Database &db)
{
    const LeaseStatements &sql = leaseStatements(db.dialect());
    try {
        db.exec(sql.blank, {kParamName, kParamName});
        db.exec(sql.touch, {kParamName});
    } catch (const DbError &e) {
        throw DbError(
            QStringLiteral(
                "sysParam 中的发送权记录 send_lock 无法建立或写入（%1）。请在数据库中执行："
                "insert into sysParam (ParamName, ParamValue) values ('send_lock', '')，"
                "并允许本登录修改该行")
                .arg(QString::fromUtf8(e.what()))
                .toStdString());
    }
}

bool SenderLease::acquire(Database &db)
{
    const LeaseStatements &sql = leaseStatements(db.dialect());
    const bool keeping = m_ledger && !m_ledger->unstored().isEmpty();
    // Host names and process ids are for the operator to read; "|" would only blur the fields.
    QString host = QSysInfo::machineHostName();
    host.replace(u'|', u'_');
    QString rest = u'|' + m_owner + u'|' + host + u'|'
                   + QString::number(QCoreApplication::applicationPid()) + u'|' + m_since;
    const QString mine = QStringLiteral("%|") + m_owner + QStringLiteral("|%");
    QString keeper = mine;
    if (keeping) {
        rest += QStringLiteral("|kept:") + m_ledger->keeper();
        keeper = QStringLiteral("%|kept:") + m_ledger->keeper();
    }

    // Read first, only to say so when the lease of a copy that stopped renewing it is taken over.
    QString before;
    {
        QSqlQuery current = db.exec(sql.read, {kParamName});
        before = current.next() ? current.value(0).toString() : QString();
    }
    m_held = db.exec(keeping ? sql.takeKept : sql.take, {rest, kParamName, mine, keeper})
                 .numRowsAffected()
             > 0;
    if (!m_held)
        m_held = db.exec(keeping ? sql.createKept : sql.create, {kParamName, rest, kParamName})
                     .numRowsAffected()
                 > 0;
    if (m_held) {
        const QString previous = QStringLiteral("|") + m_owner + QStringLiteral("|");
        if (!before.trimmed().isEmpty() && !before.contains(previous)
            && !(keeping && before.endsWith(QStringLiteral("|kept:") + m_ledger->keeper())))
            Logger::instance().log(QStringLiteral("  发送权的租约已过期（%1），本副本接替发送")
                                       .arg(describeHolder(before)));
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
    // Kept answers hold the lease: another copy would post their rows again.
    if (m_ledger && !m_ledger->unstored().isEmpty())
        return;
    m_held = false;
    db.exec(leaseStatements(db.dialect()).release,
            {kParamName, QStringLiteral("%|") + m_owner + QStringLiteral("|%")});
}

} // namespace veltrano
