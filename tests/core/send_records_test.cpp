// The viewer's query on a real SQLite file: the period table, the type as typed, NULL fields,
// failures.
#include "core/database.h"
#include "core/profile.h"
#include "core/send_records.h"
#include "core/settings.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QDateTime>
#include <QFile>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {

QString hoursAgo(double hours)
{
    return QDateTime::currentDateTime()
        .addSecs(qint64(-hours * 3600))
        .toString("yyyy-MM-dd HH:mm:ss");
}

// A sent message of the kind (1 template, 2 customer service) answered with `stat`.
void addSent(Database &db, int kind, const QString &openid, const QString &stat,
             const QString &sendtime)
{
    db.exec("insert into tempmsg (msg, kind, openid, stat, sendtime) values (?, ?, ?, ?, ?)",
            {QStringLiteral("{\"touser\":\"%1\"}").arg(openid), kind, openid, stat, sendtime});
}

QStringList openids(const SendRecordResult &result)
{
    QStringList ids;
    for (const QStringList &row : result.rows)
        ids << row.value(1);
    return ids;
}

} // namespace

TEST(SendRecords, PeriodTextsGiveTheirDayCountPlusOne)
{
    EXPECT_EQ(periodDays("最近一天"), 1);
    EXPECT_EQ(periodDays("最近一周"), 8);
    EXPECT_EQ(periodDays("最近一月"), 31);
    EXPECT_EQ(periodDays("最近三月"), 91);
    for (const char *other : {"", "最近一年", "最近一周 ", "7", "最近"})
        EXPECT_EQ(periodDays(QString::fromUtf8(other)), 1) << other;
}

TEST(SendRecords, EachPeriodReachesBackItsOffsetFromNow)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
    testsupport::loadConnection();
    {
        Database db(testsupport::liveSettings().snapshot(), 0, MissingFile::Create);
        const QString ok = "{\"errcode\":0,\"errmsg\":\"ok\"}";
        // Half a day either side of each offset, so an offset one day off shows.
        for (double days : {0.5, 1.5, 7.5, 8.5, 30.5, 31.5, 90.5, 91.5})
            addSent(db, 1, QStringLiteral("o%1").arg(days), ok, hoursAgo(days * 24));
        addSent(db, 2, "oCustomer", ok, hoursAgo(1));
        // Pending rows are no records yet.
        db.exec("insert into tempmsg (msg, kind, openid) values ('{}', 1, 'oPending')");
    }

    EXPECT_EQ(openids(querySendRecords(testsupport::liveSettings(), "模板消息", "最近一天")),
              QStringList({"o0.5"}));
    EXPECT_EQ(openids(querySendRecords(testsupport::liveSettings(), "模板消息", "最近一周")),
              QStringList({"o0.5", "o1.5", "o7.5"}));
    EXPECT_EQ(openids(querySendRecords(testsupport::liveSettings(), "模板消息", "最近一月")),
              QStringList({"o0.5", "o1.5", "o7.5", "o8.5", "o30.5"}));
    EXPECT_EQ(openids(querySendRecords(testsupport::liveSettings(), "模板消息", "最近三月")),
              QStringList({"o0.5", "o1.5", "o7.5", "o8.5", "o30.5", "o31.5", "o90.5"}));
    EXPECT_EQ(openids(querySendRecords(testsupport::liveSettings(), "模板消息", "最近两天")),
              QStringList({"o0.5"}));
    EXPECT_EQ(openids(querySendRecords(testsupport::liveSettings(), "客服消息", "最近一天")),
              QStringList({"oCustomer"}));
    // The type text is used as typed, bound: no match, no error, even with an apostrophe.
    for (const char *type : {"", "模板", "模板消息'", "' or ''='"}) {
        const SendRecordResult r =
            querySendRecords(testsupport::liveSettings(), QString::fromUtf8(type), "最近三月");
        EXPECT_TRUE(r.ok) << type << ": " << r.error.toStdString();
        EXPECT_TRUE(r.rows.isEmpty()) << type;
    }
}

TEST(SendRecords, FieldsAsTextWithNullAsEmpty)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
    testsupport::loadConnection();
    const QString sent = hoursAgo(2);
    {
        Database db(testsupport::liveSettings().snapshot(), 0, MissingFile::Create);
        addSent(db, 1, "oFirst", "{\"errcode\":43004,\"errmsg\":\"require subscribe\"}", sent);
        // A local error text is no JSON: its status code is NULL.
        addSent(db, 1, "oSecond", "消息类型无效", sent);
        addSent(db, 1, "oThird", "{\"errcode\":0,\"errmsg\":\"ok\"}", sent);
    }
    const SendRecordResult r =
        querySendRecords(testsupport::liveSettings(), "模板消息", "最近一天");
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    ASSERT_EQ(r.rows.size(), 3);
    // The send time keeps its seconds and reads as the log writes it, whatever the locale;
    // WeChat's errmsg follows the six fields.
    EXPECT_EQ(r.rows[0], QStringList({"模板消息", "oFirst", "失败", "43004",
                                      "{\"touser\":\"oFirst\"}", sent, "require subscribe"}));
    EXPECT_EQ(r.rows[1].value(3), "") << "NULL shows as an empty cell";
    EXPECT_EQ(r.rows[1].value(6), "消息类型无效") << "a local error text is its own note";
    EXPECT_EQ(r.rows[1].value(1), "oSecond");
    EXPECT_EQ(r.rows[2].value(1), "oThird") << "the rows after a NULL still come";
    EXPECT_EQ(r.rows[2].value(3), "0");
}

TEST(SendRecords, FailuresSayWhy)
{
    testsupport::TempAppFolder folder;
    // A database file whose folder does not exist cannot be opened.
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=no/such/folder/msg.db\n"));
    SendRecordResult r = querySendRecords(testsupport::liveSettings(), "模板消息", "最近一天");
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());

    // A database without SEND_REC.
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
    testsupport::loadConnection();
    {
        Database db(testsupport::liveSettings().snapshot(), 0, MissingFile::Create);
        db.exec("drop view SEND_REC");
    }
    r = querySendRecords(testsupport::liveSettings(), "模板消息", "最近一天");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains("SEND_REC")) << r.error.toStdString();
}

TEST(SendRecords, ReloadsTheSettingsFileAndTheParameters)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
    testsupport::liveSettings().update([](Settings &s) {
        s.db.clear();
        s.driver.clear();
        s.appid = "old";
    });
    {
        Settings connection;
        connection.driver = "sqlite";
        connection.db = "msg.db";
        Database db(connection, 0, MissingFile::Create);
        db.exec(db.sql().updateParam, {"wxNEW", "appid"});
    }
    EXPECT_TRUE(querySendRecords(testsupport::liveSettings(), "模板消息", "最近一天").ok);
    const Settings s = testsupport::liveSettings().snapshot();
    EXPECT_EQ(s.db, "msg.db");
    EXPECT_EQ(s.appid, "wxNEW");
}

// SEND_REC is read by position: one without an id column is listed all the same, without the
// answer's tooltip.
TEST(SendRecords, ASendRecWithoutIdIsListedWithoutTheTooltip)
{
    testsupport::TempAppFolder folder;
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
    {
        Settings connection;
        connection.driver = "sqlite";
        connection.db = "msg.db";
        Database db(connection, 0, MissingFile::Create);
        db.exec("drop view SEND_REC");
        db.exec("create view SEND_REC as select kind as 种类, '模板消息' as 消息类型, openid as "
                "OPENID, "
                "'成功' as 发送状态, 0 as 状态代码, msg as JSON, sendtime as 发送时间 from tempmsg "
                "where stat is not null");
        addSent(db, 1, "oNOID", R"({"errcode":0,"errmsg":"ok"})", hoursAgo(1));
    }
    const SendRecordResult result =
        querySendRecords(testsupport::liveSettings(), "模板消息", "最近一天");
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    ASSERT_EQ(openids(result), QStringList{"oNOID"});
    EXPECT_TRUE(result.rows.first().last().isEmpty());
}
