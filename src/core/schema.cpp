// The SQLite message database's tables and views, created once when a file is new.
#include "core/schema.h"
#include "core/settings.h"

#include "core/database_error.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

namespace veltrano {
namespace {

// Same tables, views and columns as sql/sqlserver/schema.sql. SQLite already matches table and
// column names without regard to case; ParamName compares that way too, as under a _CI_ collation.
const char *const kSchema[] = {
    // ParamValue is the third column: the parameter load reads it by position.
    R"(create table if not exists sysParam (
        id integer primary key,
        ParamName text not null collate nocase unique,
        ParamValue text))",

    // One row per queued message. msg is the complete WeChat JSON body; kind 1 is a template
    // message, 2 a customer-service message; stat stays NULL until the answer is written.
    R"(create table if not exists tempmsg (
        id integer primary key autoincrement,
        msg text,
        kind integer,
        openid text,
        stat text,
        sendtime text,
        intime text not null default (strftime('%Y-%m-%d %H:%M:%S', 'now', 'localtime'))))",

    // The pending query looks only at rows whose stat is NULL; this keeps it quick on a long
    // history.
    R"(create index if not exists tempmsg_pending on tempmsg (id) where stat is null)",

    // Body, id and kind come first: the send batch reads them by position.
    R"(create view if not exists send_json as
        select msg as body, id, kind, stat, openid, sendtime, intime from tempmsg)",

    // Sent rows as the record viewer lists them, fields 0 to 6 by position. The answer may be a
    // local error text rather than JSON, so errcode is read only from valid JSON; the recipient
    // falls back to the body's touser when the row names none.
    R"(create view if not exists SEND_REC as
        select id,
               case kind when 1 then '模板消息' when 2 then '客服消息' else '未知类型' end as 消息类型,
               coalesce(openid, case when json_valid(msg) then json_extract(msg, '$.touser') end)
                   as OPENID,
               case when errcode = 0 then '成功' else '失败' end as 发送状态,
               errcode as 状态代码,
               msg as JSON,
               sendtime as 发送时间
        from (select t.*,
                     case when json_valid(t.stat) then json_extract(t.stat, '$.errcode') end
                         as errcode
              from tempmsg t
              where t.stat is not null))",
};

[[noreturn]] void fail(const char *what, const QSqlQuery &query)
{
    throw DbError(QString(QString::fromUtf8(what) + query.lastError().text()).toStdString());
}

void run(QSqlQuery &query, const QString &statement, const QVariantList &values = {})
{
    if (!query.prepare(statement))
        fail("SQLite 数据库结构创建失败：", query);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        fail("SQLite 数据库结构创建失败：", query);
}

int schemaObjectCount(QSqlQuery &query)
{
    run(query, QStringLiteral("select count(*) from sqlite_master"));
    if (!query.next())
        fail("无法读取 SQLite 数据库：", query);
    const int count = query.value(0).toInt();
    query.finish();
    return count;
}

} // namespace

void ensureSqliteSchema(const QString &connectionName)
{
    QSqlDatabase db = QSqlDatabase::database(connectionName, false);
    QSqlQuery query(db);
    // Reading the catalogue is also the first real touch of the file: a path that is a folder, or
    // a file that is not a database, fails here rather than at the first statement.
    if (schemaObjectCount(query) > 0)
        return;

    // Two threads may open a new file at once; the write lock makes the second wait and then find
    // the schema in place.
    run(query, QStringLiteral("begin immediate"));
    try {
        if (schemaObjectCount(query) == 0) {
            for (const char *statement : kSchema)
                run(query, QString::fromUtf8(statement));
            for (int row = 1; row <= int(std::size(kParameterKeys)); ++row) {
                for (const ParameterKey &key : kParameterKeys) {
                    if (key.newRow != row)
                        continue;
                    // Empty text, never NULL: a NULL value would stop the parameter load at that
                    // key.
                    run(query,
                        QStringLiteral(
                            "insert or ignore into sysParam (ParamName, ParamValue) values (?, ?)"),
                        {QString::fromLatin1(key.name), QString::fromLatin1(key.initialValue)});
                }
            }
        }
        run(query, QStringLiteral("commit"));
    } catch (...) {
        QSqlQuery rollback(db);
        rollback.exec(QStringLiteral("rollback"));
        throw;
    }
}

} // namespace veltrano
