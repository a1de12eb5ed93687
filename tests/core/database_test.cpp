// The message database on a real SQLite file: a new file, settings that cannot open one, the
// statement catalogue and the parameter load.
#include "core/database.h"
#include "core/logger.h"
#include "core/settings.h"
#include "support/log_lines.h"
#include "support/temp_app_folder.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace veltrano;

namespace {

Settings connection(const QString &driver, const QString &db, const QString &host = {},
                    const QString &pwd = {})
{
    Settings s;
    s.driver = driver;
    s.db = db;
    s.host = host;
    s.uid = QStringLiteral("sa");
    s.pwd = pwd;
    return s;
}

Settings sqliteAt(const QString &file)
{
    return connection(QStringLiteral("sqlite"), file);
}

QVariant scalar(Database &db, const QString &statement, const QVariantList &values = {})
{
    QSqlQuery q = db.exec(statement, values);
    return q.next() ? q.value(0) : QVariant();
}

QVariant param(Database &db, const QString &name)
{
    return scalar(db, QStringLiteral("select ParamValue from sysParam where ParamName=?"), {name});
}

void setParam(Database &db, const QString &name, const QVariant &value)
{
    db.exec(QStringLiteral("update sysParam set ParamValue=? where ParamName=?"), {value, name});
}

// v.db, an existing file in a fresh application folder.
class SqliteDatabase : public ::testing::Test {
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

} // namespace

TEST(Database, AMissingFileIsAnErrorUnlessCreatedThenSeededOnceAndKept)
{
    testsupport::TempAppFolder folder;
    const QString path = QDir::toNativeSeparators(folder.file("veltrano.db"));
    // Only a caller that asks for it gets a new file; the others are told which path is missing.
    try {
        Database missing(sqliteAt("data/../veltrano.db"));
        ADD_FAILURE() << "a missing file opened";
    } catch (const DbError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).endsWith(path)) << e.what();
    }
    EXPECT_FALSE(QFile::exists(path));

    QStringList logged;
    const auto logging = testsupport::collectLogLines(logged);
    {
        Database db(sqliteAt("data/../veltrano.db"), 0, MissingFile::Create);
        EXPECT_EQ(logged, QStringList{"  新建 SQLite 数据库文件：" + path});
        // A writer's ordinary transaction is waited for rather than failing the batch.
        EXPECT_EQ(scalar(db, "pragma busy_timeout").toInt(), kLockWaitMilliseconds);

        // Every key in its row, none of them NULL, which would stop the parameter load there.
        QSqlQuery params = db.exec("select ParamName, ParamValue from sysParam order by id");
        QStringList seen;
        while (params.next())
            seen << params.value(0).toString() + "="
                        + (params.isNull(1) ? "<null>" : params.value(1).toString());
        EXPECT_EQ(seen, QStringList({"appid=", "appsecret=", "get_token_mod=1", "token_server=",
                                     "temp=10", "temp_timer=5", "cust=10", "cust_timer=5",
                                     "access_token=", "expires_in=", "in_time=2020-01-01 00:00"}));
        // Names match in any case, as under SQL Server's case-insensitive collation.
        EXPECT_EQ(param(db, "GET_TOKEN_MOD"), "1");
        // The seeded in_time is old enough for a first token request, young enough for 32 bits.
        const qint64 age = scalar(db, db.sql().tokenAge).toLongLong();
        EXPECT_GT(age, 6000);
        EXPECT_LT(age, 2147483647);

        setParam(db, "temp", "3");
        db.exec("delete from sysParam where ParamName='cust'");
    }
    // Opened again, by its absolute path too, the file keeps what was changed and what was removed.
    Database again(sqliteAt(folder.file("veltrano.db")));
    EXPECT_EQ(param(again, "temp"), "3");
    EXPECT_FALSE(param(again, "cust").isValid());
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

// Settings that cannot open a database fail the test with a cause that names what to fix, and
// create nothing on the way; a file that can be created passes and is there afterwards.
TEST(TestConnection, BadSettingsFailWithACauseThatNamesThem)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(QDir(folder.path()).mkdir("a-folder"));
    QFile junk(folder.file("notes.db"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    const auto native = [&](const char *file) {
        return QDir::toNativeSeparators(folder.file(file));
    };

    const struct {
        Settings settings;
        QString cause;
    } cases[] = {
        // The default driver is SQL Server's; a blank server is refused before the driver guesses.
        {connection("", "", "  "), "config.ini 的 host"},
        {connection("oracle", "v.db"), "driver=oracle"},
        {sqliteAt("  "), "config.ini 的 db"},
        {sqliteAt("a-folder"), native("a-folder")},
        {sqliteAt("missing/v.db"), native("missing/v.db")},
        {sqliteAt("notes.db"), native("notes.db")},
        // FreeTDS ends a braced value at "};": such a value would split the connection string.
        {connection("SqlServer", "d", "h", "a};b"), "FreeTDS 不能传递含有 \"};\" 的连接设置 pwd"},
    };
    for (const auto &c : cases) {
        QString cause;
        EXPECT_FALSE(TestConnection(c.settings, &cause)) << c.cause.toStdString();
        EXPECT_TRUE(QDir::toNativeSeparators(cause).contains(c.cause))
            << c.cause.toStdString() << ": " << cause.toStdString();
    }
    EXPECT_FALSE(QDir(folder.file("missing")).exists());

    EXPECT_TRUE(TestConnection(connection(" SQLite ", "v.db")));
    EXPECT_TRUE(QFile::exists(folder.file("v.db")));
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

TEST_F(SqliteDatabase, ConnectionsOnSeveralThreadsDoNotCollide)
{
    Database second(sqliteAt("v.db"));
    setParam(db, "appid", "from-first");
    EXPECT_EQ(param(second, "appid"), "from-first");
    std::thread worker([] {
        Database onWorker(sqliteAt("v.db"));
        setParam(onWorker, "appsecret", "from-worker");
    });
    worker.join();
    EXPECT_EQ(param(db, "appsecret"), "from-worker");
}

TEST_F(SqliteDatabase, AFailedStatementThrowsWithTheDriversWords)
{
    try {
        db.exec("select * from no_such_table");
        ADD_FAILURE() << "no error";
    } catch (const DbError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains("no_such_table")) << e.what();
    }
}

// The load copies appid, appsecret, get_token_mod, cust, cust_timer, temp, temp_timer and
// token_server in this order (the token cache's three keys mirror no field). A missing row or NULL
// value stops the copy at its key, an empty value is a value, and a failed query changes nothing.
TEST_F(SqliteDatabase, LoadParametersStopsAtAMissingValueAndChangesNothingOnFailure)
{
    for (const ParameterKey &key : kParameterKeys)
        setParam(db, key.name, QStringLiteral("new-%1").arg(QLatin1String(key.name)));
    // Each change adds to the ones before it.
    const struct {
        const char *change;
        int keysCopied;
        QString rest;
    } steps[] = {
        {"", 8, ""},
        {"update sysParam set ParamValue=NULL where ParamName='token_server'", 7, "old"},
        {"update sysParam set ParamValue='' where ParamName='token_server'", 7, ""},
        {"delete from sysParam where ParamName='cust'", 3, "old"},
        {"alter table sysParam drop column ParamValue", 0, "old"},
    };
    for (const auto &step : steps) {
        if (*step.change)
            db.exec(step.change);
        Settings into;
        for (const ParameterKey &key : kParameterKeys)
            if (key.field)
                into.*key.field = "old";
        bool threw = false;
        try {
            Database loading(sqliteAt("v.db"));
            LoadParameters(loading, into);
        } catch (const DbError &) {
            threw = true;
        }
        EXPECT_EQ(threw, step.keysCopied == 0) << step.change;
        QStringList got, expected;
        for (const ParameterKey &key : kParameterKeys) {
            if (!key.field)
                continue;
            got << into.*key.field;
            expected << (expected.size() < step.keysCopied ? "new-" + QLatin1String(key.name)
                                                           : step.rest);
        }
        EXPECT_EQ(got, expected) << step.change;
    }
}

// Every value of the catalogue is bound: apostrophes, comment marks and Chinese arrive as they
// are, and a name that tries to widen its match only matches no row.
TEST_F(SqliteDatabase, ApostropheAndChineseRoundTripThroughEveryValue)
{
    const QString text = QStringLiteral("O'Brien 的'令牌' -- ; drop table sysParam");
    const Statements &s = db.sql();
    db.exec(s.updateParam, {text, "access_token"});
    EXPECT_EQ(scalar(db, s.cachedToken), text);
    EXPECT_FALSE(db.exec(s.selectParam, {"x' or '1'='1"}).next());
    db.exec(s.updateParam, {"ignored", "x' or '1'='1"});
    EXPECT_EQ(scalar(db, s.cachedToken), text);

    const qint64 id = queue("{}", 1);
    db.exec(s.markSent, {text, id});
    EXPECT_EQ(scalar(db, "select stat from tempmsg where id=?", {id}), text);
    // The type text of the viewer's query is bound as well (see send_records_test).
}

// Pending rows come in queue order, at most a batch of them; a row with an answer, even an empty
// one, is never pending again.
TEST_F(SqliteDatabase, PendingTakesAtMostTheBatchAndDropsAnsweredRows)
{
    for (int i = 0; i < 25; ++i)
        queue(QStringLiteral(R"({"n":%1})").arg(i), i % 2 ? 2 : 1);
    EXPECT_EQ(pendingIds(5).size(), 5);
    const QList<qint64> answered = pendingIds(11);
    ASSERT_EQ(answered.size(), 11);
    EXPECT_TRUE(std::is_sorted(answered.begin(), answered.end()));
    for (qint64 id : answered.mid(0, 10))
        db.exec(db.sql().markSent, {R"({"errcode":40003,"errmsg":"invalid openid"})", id});
    db.exec(db.sql().markSent, {QString(), answered.last()});
    const QList<qint64> rest = pendingIds(100);
    EXPECT_EQ(rest.size(), 14);
    for (qint64 id : answered)
        EXPECT_FALSE(rest.contains(id)) << id;
}

TEST_F(SqliteDatabase, TokenAgeByTheDatabaseClock)
{
    // Two hours ago in local time, as the SQLite dialect writes in_time.
    setParam(db, "in_time",
             QDateTime::currentDateTime().addSecs(-7200).toString("yyyy-MM-dd HH:mm"));
    const qint64 age = scalar(db, db.sql().tokenAge).toLongLong();
    EXPECT_GE(age, 7200 - 120);
    EXPECT_LE(age, 7200 + 120);
}

TEST_F(SqliteDatabase, SendRecordsDeriveTypeStatusAndCodeFromTheAnswer)
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
