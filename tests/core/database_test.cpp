// The message database on a real SQLite file, and SQL Server up to the connection through FreeTDS.
#include "core/database.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/schema.h"
#include "core/settings.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QDateTime>
#include <QDir>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>

using namespace veltrano;

namespace {

Settings sqliteAt(const QString &file)
{
    Settings s;
    s.driver = QStringLiteral("sqlite");
    s.db = file;
    return s;
}

// Puts a mark in every parameter field, so a test can tell which ones a load replaced.
void markParameters(Settings &s, const QString &mark)
{
    for (QString *f : {&s.appid, &s.appsecret, &s.get_token_mod, &s.token_server, &s.temp,
                       &s.temp_timer, &s.cust, &s.cust_timer})
        *f = mark;
}

// The eight mirrored fields in the order the load copies them.
QStringList copyOrderValues(const Settings &s)
{
    return {s.appid,      s.appsecret, s.get_token_mod, s.cust,
            s.cust_timer, s.temp,      s.temp_timer,    s.token_server};
}

void setParam(Database &db, const QString &name, const QVariant &value)
{
    db.exec(QStringLiteral("update sysParam set ParamValue=? where ParamName=?"), {value, name});
}

QVariant scalar(Database &db, const QString &statement, const QVariantList &values = {})
{
    QSqlQuery q = db.exec(statement, values);
    return q.next() ? q.value(0) : QVariant();
}

void useConnection(const QString &host, const QString &db, const QString &driver = {})
{
    const QString ini = configFilePath();
    ASSERT_TRUE(WriteProfileValue(ini, "con", "host", host));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "uid", "sa"));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "pwd", ShiftPassword("secret", true)));
    ASSERT_TRUE(WriteProfileValue(ini, "con", "db", db));
    if (!driver.isEmpty()) {
        ASSERT_TRUE(WriteProfileValue(ini, "con", "driver", driver));
    }
}

} // namespace

TEST(Database, NewSqliteFileComesUpWithSchemaAndTheElevenKeys)
{
    testsupport::TempAppFolder folder;
    // Only a caller that asks for it gets a new file; the others are told which path is missing.
    try {
        Database missing(sqliteAt("data/../veltrano.db"));
        FAIL() << "a missing file opened";
    } catch (const DbError &e) {
        EXPECT_EQ(QString::fromUtf8(e.what()),
                  "SQLite 数据库文件不存在："
                      + QDir::toNativeSeparators(folder.file("veltrano.db")));
    }
    EXPECT_FALSE(QFile::exists(folder.file("veltrano.db")));
    QStringList logged;
    QObject receiver;
    QObject::connect(&Logger::instance(), &Logger::lineLogged, &receiver,
                     [&](const QDateTime &, const QString &line) { logged << line; });
    Database db(sqliteAt("data/../veltrano.db"), 0, MissingFile::Create);
    EXPECT_TRUE(QFile::exists(folder.file("veltrano.db")));
    EXPECT_EQ(logged, QStringList{"  新建 SQLite 数据库文件："
                                  + QDir::toNativeSeparators(folder.file("veltrano.db"))});
    // A writer's ordinary transaction is waited for rather than failing the batch.
    EXPECT_EQ(scalar(db, "pragma busy_timeout").toInt(), 30000);
    EXPECT_EQ(db.dialect(), Dialect::Sqlite);

    QSqlQuery params = db.exec("select * from sysParam order by id");
    EXPECT_EQ(params.record().fieldName(2), "ParamValue");
    QList<std::pair<QString, QString>> seen;
    while (params.next())
        seen.append({params.value(1).toString(), params.value(2).toString()});
    const QList<std::pair<QString, QString>> expected = {{"appid", ""},
                                                         {"appsecret", ""},
                                                         {"get_token_mod", "1"},
                                                         {"token_server", ""},
                                                         {"temp", "10"},
                                                         {"temp_timer", "5"},
                                                         {"cust", "10"},
                                                         {"cust_timer", "5"},
                                                         {"access_token", ""},
                                                         {"expires_in", ""},
                                                         {"in_time", "2020-01-01 00:00"}};
    EXPECT_EQ(seen, expected);

    const auto columns = [&](const char *object) {
        QSqlQuery q = db.exec(QStringLiteral("select * from %1").arg(QLatin1String(object)));
        QStringList names;
        for (int i = 0; i < q.record().count(); ++i)
            names << q.record().fieldName(i);
        return names;
    };
    EXPECT_EQ(columns("tempmsg"),
              QStringList({"id", "msg", "kind", "openid", "stat", "sendtime", "intime"}));
    EXPECT_EQ(columns("send_json").mid(0, 4), QStringList({"body", "id", "kind", "stat"}));
    EXPECT_EQ(columns("SEND_REC"), QStringList({"id", "消息类型", "OPENID", "发送状态", "状态代码",
                                                "JSON", "发送时间"}));
    // Names as the catalogue spells them in either case.
    EXPECT_EQ(scalar(db, "select PARAMVALUE from SYSPARAM where PARAMNAME='get_token_mod'"), "1");
    EXPECT_EQ(scalar(db, "select paramvalue from sysparam where paramname='GET_TOKEN_MOD'"), "1");

    // The seeded in_time is old enough for a first token request, young enough for 32 bits.
    const qint64 age = scalar(db, db.sql().tokenAge).toLongLong();
    EXPECT_GT(age, 6000);
    EXPECT_LT(age, 2147483647);
}

TEST(Database, ExistingFileKeepsItsContentOnReopen)
{
    testsupport::TempAppFolder folder;
    {
        Database db(sqliteAt("v.db"), 0, MissingFile::Create);
        setParam(db, "temp", "3");
        db.exec("delete from sysParam where ParamName='cust'");
    }
    Database again(sqliteAt(folder.file("v.db"))); // absolute paths too
    EXPECT_EQ(scalar(again, "select ParamValue from sysParam where ParamName=?", {"temp"}), "3");
    EXPECT_EQ(scalar(again, "select count(*) from sysParam where ParamName='cust'"), 0);
}

// The data folder may differ from the settings' folder (a read-only one): the queue is the one the
// settings name, never a new empty file in the data folder.
TEST(Database, ARelativeFileBelongsToTheFolderOfItsConfigFile)
{
    testsupport::TempAppFolder data;
    QTemporaryDir settings;
    setConfigFile(settings.filePath("config.ini"));
    {
        Database created(sqliteAt("q.db"), 0, MissingFile::Create);
    }
    setConfigFile(QString());
    EXPECT_TRUE(QFileInfo::exists(settings.filePath("q.db")));
    EXPECT_FALSE(QFileInfo::exists(data.file("q.db")));
}

TEST(Database, ConnectionsOnSeveralThreadsDoNotCollide)
{
    testsupport::TempAppFolder folder;
    Database first(sqliteAt("v.db"), 0, MissingFile::Create);
    Database second(sqliteAt("v.db"));
    setParam(first, "appid", "from-first");
    EXPECT_EQ(scalar(second, second.sql().cachedToken), "");
    EXPECT_EQ(scalar(second, "select ParamValue from sysParam where ParamName='appid'"),
              "from-first");

    std::thread worker([] {
        Database onWorker(sqliteAt("v.db"));
        setParam(onWorker, "appsecret", "from-worker");
    });
    worker.join();
    EXPECT_EQ(scalar(first, "select ParamValue from sysParam where ParamName='appsecret'"),
              "from-worker");
}

TEST(Database, UnknownDriverOrMissingFileNameIsAClearError)
{
    testsupport::TempAppFolder folder;
    Settings s = sqliteAt("v.db");
    s.driver = "oracle";
    EXPECT_THROW(Database{s}, DbError);
    EXPECT_THROW(Database{sqliteAt("")}, DbError);
    EXPECT_EQ(dialectFor(" SQLite "), Dialect::Sqlite);
    EXPECT_EQ(dialectFor(""), Dialect::TSql);
    EXPECT_EQ(dialectFor("SqlServer"), Dialect::TSql);
}

TEST(Database, FailedStatementThrowsWithTheDriversWords)
{
    testsupport::TempAppFolder folder;
    Database db(sqliteAt("v.db"), 0, MissingFile::Create);
    try {
        db.exec("select * from no_such_table");
        FAIL() << "no error";
    } catch (const DbError &e) {
        EXPECT_TRUE(QString::fromStdString(e.what()).contains("no_such_table"));
    }
}

// The load copies appid, appsecret, get_token_mod, cust, cust_timer, temp, temp_timer,
// token_server, access_token, expires_in, in_time, in this order; the last three are the token
// cache's, which no field mirrors.
class LoadParametersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Database db(sqliteAt("v.db"), 0, MissingFile::Create);
        for (const ParameterKey &key : kParameterKeys)
            setParam(db, key.name, QStringLiteral("new-%1").arg(QLatin1String(key.name)));
        markParameters(into, "old");
    }
    // A failure changes nothing and is thrown.
    void load(const Settings &connection = sqliteAt("v.db"))
    {
        try {
            Database db(connection);
            LoadParameters(db, into);
        } catch (const DbError &) {}
    }

    testsupport::TempAppFolder folder;
    Settings into;
};

TEST_F(LoadParametersTest, CopiesEveryKey)
{
    load();
    EXPECT_EQ(copyOrderValues(into),
              QStringList({"new-appid", "new-appsecret", "new-get_token_mod", "new-cust",
                           "new-cust_timer", "new-temp", "new-temp_timer", "new-token_server"}));
}

TEST_F(LoadParametersTest, MissingRowOrNullValueStopsTheCopyAtItsKey)
{
    {
        Database db(sqliteAt("v.db"));
        db.exec("delete from sysParam where ParamName='cust'");
    }
    load();
    EXPECT_EQ(copyOrderValues(into), QStringList({"new-appid", "new-appsecret", "new-get_token_mod",
                                                  "old", "old", "old", "old", "old"}));

    {
        Database db(sqliteAt("v.db"));
        db.exec("insert into sysParam (ParamName, ParamValue) values ('cust', 'new-cust')");
        db.exec("update sysParam set ParamValue=NULL where ParamName='token_server'");
    }
    markParameters(into, "old");
    load();
    EXPECT_EQ(copyOrderValues(into),
              QStringList({"new-appid", "new-appsecret", "new-get_token_mod", "new-cust",
                           "new-cust_timer", "new-temp", "new-temp_timer", "old"}));

    // An empty value is a value, not a stop.
    {
        Database db(sqliteAt("v.db"));
        db.exec("update sysParam set ParamValue='' where ParamName='token_server'");
    }
    load();
    EXPECT_EQ(into.token_server, "");
}

TEST_F(LoadParametersTest, FailedConnectionOrQueryChangesNothing)
{
    load(sqliteAt("no-such-folder/v.db"));
    EXPECT_EQ(copyOrderValues(into), QStringList(8, "old"));

    {
        // A sysParam that has lost its value column fails every key's query.
        Database db(sqliteAt("v.db"));
        db.exec("alter table sysParam drop column ParamValue");
    }
    load();
    EXPECT_EQ(copyOrderValues(into), QStringList(8, "old"));

    {
        Database db(sqliteAt("v.db"));
        db.exec("drop view SEND_REC");
        db.exec("drop table sysParam");
    }
    load();
    EXPECT_EQ(copyOrderValues(into), QStringList(8, "old"));

    // A driver the file does not name is a failed connection as well.
    Settings server = sqliteAt("v.db");
    server.driver = "sqlserver";
    load(server);
    EXPECT_EQ(copyOrderValues(into), QStringList(8, "old"));
}

TEST(TestConnection, FalseWithoutConfigFile)
{
    testsupport::TempAppFolder folder;
    EXPECT_FALSE(TestConnection(testsupport::loadConnection()));
    EXPECT_TRUE(testsupport::liveSettings().snapshot().host.isEmpty());
}

TEST(TestConnection, SqliteFileThatCannotBeOpened)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(QDir(folder.path()).mkdir("a-folder"));
    useConnection("", "a-folder", "sqlite");
    EXPECT_FALSE(TestConnection(testsupport::loadConnection()));
    useConnection("", "missing/v.db", "sqlite");
    QString cause;
    EXPECT_FALSE(TestConnection(testsupport::loadConnection(), &cause));
    EXPECT_TRUE(cause.contains(folder.file("missing/v.db"))) << cause.toStdString();
    EXPECT_FALSE(QDir(folder.file("missing")).exists());

    useConnection("", "v.db", "sqlite");
    EXPECT_TRUE(TestConnection(testsupport::loadConnection()));
    EXPECT_TRUE(QFile::exists(folder.file("v.db")));
}

TEST(TestConnection, SqliteFileThatIsNotADatabase)
{
    testsupport::TempAppFolder folder;
    QFile junk(folder.file("notes.db"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    useConnection("", "notes.db", "sqlite");
    EXPECT_FALSE(TestConnection(testsupport::loadConnection()));
}

// Nothing but placeholders carries a value, in either dialect; the two T-SQL forms a plain
// placeholder breaks keep their shape.
TEST(Statements, ValuesArePlaceholdersOnly)
{
    const Statements &t = statementsFor(Dialect::TSql);
    EXPECT_TRUE(t.pendingMessages.contains("top (?)")) << "T-SQL takes no bare top ?";
    EXPECT_TRUE(t.sendRecords.contains("cast(? as int)")) << "days may arrive as text";
    for (Dialect d : {Dialect::TSql, Dialect::Sqlite}) {
        const Statements &s = statementsFor(d);
        EXPECT_EQ(s.updateParam.count('?'), 2);
        EXPECT_EQ(s.markSent.count('?'), 2);
        EXPECT_EQ(s.sendRecords.count('?'), 2);
        EXPECT_EQ(s.pendingMessages.count('?'), 1);
        EXPECT_TRUE(s.pendingMessages.contains("order by id")) << "rows go in queue order";
        EXPECT_EQ(s.sendRecordsOnly.count('?'), 2);
        EXPECT_EQ(s.selectParam.count('?'), 1);
    }
}

class SqliteStatementsTest : public ::testing::Test {
protected:
    qint64 queue(const QVariant &msg, int kind, const QVariant &openid = QVariant())
    {
        db.exec("insert into tempmsg (msg, kind, openid) values (?, ?, ?)", {msg, kind, openid});
        return scalar(db, "select max(id) from tempmsg").toLongLong();
    }
    QList<qint64> pendingIds(int batch)
    {
        QSqlQuery q = db.exec(db.sql().pendingMessages, {batch});
        QList<qint64> ids;
        while (q.next())
            ids << q.value(1).toLongLong();
        return ids;
    }

    testsupport::TempAppFolder folder;
    Database db{sqliteAt("v.db"), 0, MissingFile::Create};
};

TEST_F(SqliteStatementsTest, ApostropheAndChineseRoundTripThroughEveryValue)
{
    const QString text = QStringLiteral("O'Brien 的'令牌' -- ; drop table sysParam");
    const Statements &s = db.sql();

    db.exec(s.updateParam, {text, "access_token"});
    EXPECT_EQ(scalar(db, s.cachedToken), text);
    QSqlQuery row = db.exec(s.selectParam, {"access_token"});
    ASSERT_TRUE(row.next());
    EXPECT_EQ(row.value(2).toString(), text);
    EXPECT_EQ(scalar(db, "select count(*) from sysParam"), 11);
    // A name with an apostrophe is only a name that matches no row.
    EXPECT_FALSE(db.exec(s.selectParam, {"x' or '1'='1"}).next());
    db.exec(s.updateParam, {"ignored", "x' or '1'='1"});
    EXPECT_EQ(scalar(db, s.cachedToken), text);

    const QString body = QStringLiteral(R"({"touser":"o'1","text":{"content":"你好'"}})");
    const qint64 id = queue(body, 1, "o'1");
    QSqlQuery pending = db.exec(s.pendingMessages, {10});
    ASSERT_TRUE(pending.next());
    EXPECT_EQ(pending.value(0).toString(), body);
    EXPECT_EQ(pending.value(1).toLongLong(), id);
    EXPECT_EQ(pending.value(2).toInt(), 1);
    pending.finish();

    const QString answer = QStringLiteral(R"({"errcode":0,"errmsg":"it's 好的"})");
    db.exec(s.markSent, {answer, id});
    EXPECT_EQ(scalar(db, "select stat from tempmsg where id=?", {id}), answer);

    QSqlQuery records = db.exec(s.sendRecords, {QStringLiteral("模板消息"), 1});
    ASSERT_TRUE(records.next());
    EXPECT_EQ(records.value(2).toString(), "o'1");
    EXPECT_EQ(records.value(5).toString(), body);
    records.finish();
    EXPECT_FALSE(db.exec(s.sendRecords, {QStringLiteral("模板消息' or '1'='1"), 1}).next());
}

TEST_F(SqliteStatementsTest, EmptyAnswerMarksTheRowSent)
{
    const qint64 id = queue("{}", 2);
    db.exec(db.sql().markSent, {QString(), id});
    EXPECT_EQ(scalar(db, "select stat is not null and stat='' from tempmsg where id=?", {id}), 1);
    EXPECT_TRUE(pendingIds(10).isEmpty());
}

TEST_F(SqliteStatementsTest, PendingTakesAtMostTheBatchAndDropsSentRows)
{
    for (int i = 0; i < 25; ++i)
        queue(QStringLiteral(R"({"n":%1})").arg(i), i % 2 ? 2 : 1);
    EXPECT_EQ(pendingIds(10).size(), 10);
    EXPECT_EQ(pendingIds(5).size(), 5);
    const QList<qint64> first = pendingIds(10);
    for (qint64 id : first)
        db.exec(db.sql().markSent, {R"({"errcode":40003,"errmsg":"invalid openid"})", id});
    const QList<qint64> rest = pendingIds(100);
    EXPECT_EQ(rest.size(), 15);
    for (qint64 id : first)
        EXPECT_FALSE(rest.contains(id));
}

TEST_F(SqliteStatementsTest, TokenAgeByTheDatabaseClock)
{
    const Statements &s = db.sql();
    // Two hours ago in local time, as the SQLite dialect writes in_time.
    const QString twoHoursAgo =
        QDateTime::currentDateTime().addSecs(-7200).toString("yyyy-MM-dd HH:mm");
    db.exec(s.updateParam, {twoHoursAgo, "in_time"});
    const qint64 age = scalar(db, s.tokenAge).toLongLong();
    EXPECT_GE(age, 7200 - 120);
    EXPECT_LE(age, 7200 + 120);

    db.exec(s.touchInTime);
    const QString written =
        scalar(db, "select ParamValue from sysParam where ParamName='in_time'").toString();
    EXPECT_EQ(written.size(), 16) << written.toStdString(); // to the minute
    const qint64 fresh = scalar(db, s.tokenAge).toLongLong();
    EXPECT_GE(fresh, 0);
    EXPECT_LT(fresh, 120);

    // No age at all: one row whose value is NULL.
    db.exec("update sysParam set ParamValue=NULL where ParamName='in_time'");
    QSqlQuery nullAge = db.exec(s.tokenAge);
    ASSERT_TRUE(nullAge.next());
    EXPECT_TRUE(nullAge.isNull(0));
    EXPECT_FALSE(nullAge.next());
    nullAge.finish();
    db.exec("delete from sysParam where ParamName='in_time'");
    QSqlQuery noRow = db.exec(s.tokenAge);
    ASSERT_TRUE(noRow.next());
    EXPECT_TRUE(noRow.isNull(0));
}

TEST_F(SqliteStatementsTest, SendRecordsDeriveTypeStatusAndCodeFromTheAnswer)
{
    const qint64 ok = queue(R"({"touser":"oA","template_id":"t"})", 1);
    const qint64 refused = queue(R"({"touser":"oB","msgtype":"text"})", 2, "oB-column");
    const qint64 local = queue(R"({"touser":"oC"})", 1);
    const qint64 empty = queue(R"({"touser":"oD"})", 2);
    queue(R"({"touser":"oE"})", 1); // still pending: not a record
    db.exec(db.sql().markSent, {R"({"errcode":0,"errmsg":"ok","msgid":3717005636572528642})", ok});
    db.exec(db.sql().markSent, {R"({"errcode" : 40001, "errmsg":"invalid credential"})", refused});
    db.exec(db.sql().markSent, {QStringLiteral("本地错误：消息类型 3 无法发送"), local});
    db.exec(db.sql().markSent, {QString(), empty});

    QSqlQuery q = db.exec("select * from SEND_REC order by id");
    QList<QStringList> rows;
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < 5; ++i)
            row << (q.isNull(i) ? QStringLiteral("<null>") : q.value(i).toString());
        EXPECT_FALSE(q.value(6).toString().isEmpty());
        rows << row;
    }
    const QList<QStringList> expected = {
        {QString::number(ok), "模板消息", "oA", "成功", "0"},
        {QString::number(refused), "客服消息", "oB-column", "失败", "40001"},
        {QString::number(local), "模板消息", "oC", "失败", "<null>"},
        {QString::number(empty), "客服消息", "oD", "失败", "<null>"},
    };
    EXPECT_EQ(rows, expected);
}
