// The statement catalogue of both dialects, and the dialect config.ini names.
#include "core/database.h"

namespace veltrano {
namespace {

using database_detail::fail;

} // namespace

const Statements &statementsFor(Dialect dialect)
{
    // SQL Server: the catalogue's own statements, with every value a parameter.
    static const Statements tsql = {
        QStringLiteral("select * from sysParam where ParamName=?"),
        QStringLiteral("select ParamName, ParamValue from sysParam"),
        QStringLiteral("select DATEDIFF(second, (select cast(ParamValue as datetime) from sysParam "
                       "where ParamName='in_time'), GETDATE())"),
        QStringLiteral("select ParamValue from sysParam where ParamName='access_token'"),
        QStringLiteral("update sysParam set ParamValue=? where ParamName=?"),
        QStringLiteral("update sysParam set ParamValue=cast(GETDATE() as varchar(40)) "
                       "where ParamName='in_time'"),
        QStringLiteral("select top (?) * from send_json where stat is null order by id"),
        QStringLiteral("update tempmsg set stat=?, sendtime=getdate() where id=?"),
        // The cast keeps "date minus a number of days" even when the days arrive as text. WeChat's
        // whole answer follows the view's columns, so the viewer can show its errmsg.
        QStringLiteral("select r.*, t.stat from SEND_REC r left join tempmsg t on t.id=r.id "
                       "where r.消息类型=? and r.发送时间>=getdate()-cast(? as int)"),
        QStringLiteral(
            "select * from SEND_REC where 消息类型=? and 发送时间>=getdate()-cast(? as int)"),
    };
    // SQLite: the same results in local time. in_time is written to the minute, as SQL Server's
    // default date text is, in a form strftime reads back; an unreadable or missing one gives NULL.
    static const Statements sqlite = {
        QStringLiteral("select * from sysParam where ParamName=?"),
        QStringLiteral("select ParamName, ParamValue from sysParam"),
        QStringLiteral("select cast(strftime('%s', 'now', 'localtime') as integer) - "
                       "cast(strftime('%s', (select ParamValue from sysParam "
                       "where ParamName='in_time')) as integer)"),
        QStringLiteral("select ParamValue from sysParam where ParamName='access_token'"),
        QStringLiteral("update sysParam set ParamValue=? where ParamName=?"),
        QStringLiteral(
            "update sysParam set ParamValue=strftime('%Y-%m-%d %H:%M', 'now', 'localtime') "
            "where ParamName='in_time'"),
        QStringLiteral("select * from send_json where stat is null order by id limit ?"),
        QStringLiteral("update tempmsg set stat=?, sendtime=strftime('%Y-%m-%d %H:%M:%S', 'now', "
                       "'localtime') where id=?"),
        QStringLiteral(
            "select r.*, t.stat from SEND_REC r left join tempmsg t on t.id=r.id "
            "where r.消息类型=? and julianday(r.发送时间)>=julianday('now', 'localtime')-?"),
        QStringLiteral("select * from SEND_REC where 消息类型=? and "
                       "julianday(发送时间)>=julianday('now', 'localtime')-?"),
    };
    return dialect == Dialect::Sqlite ? sqlite : tsql;
}

QString lockTimeoutStatement()
{
    return QStringLiteral("set lock_timeout %1").arg(kLockWaitMilliseconds);
}

Dialect dialectFor(const QString &driver)
{
    const QString name = driver.trimmed();
    if (name.isEmpty() || name.compare(QLatin1String("sqlserver"), Qt::CaseInsensitive) == 0)
        return Dialect::TSql;
    if (name.compare(QLatin1String("sqlite"), Qt::CaseInsensitive) == 0)
        return Dialect::Sqlite;
    fail(QStringLiteral("config.ini 的 driver=%1 无法识别（可用 sqlserver 或 sqlite）").arg(name));
}

} // namespace veltrano
