// The viewer's query on a real SQLite file: the periods, the type as typed, fields as text,
// failures. How SEND_REC derives its fields from an answer is the database's, in database_test.
#include "core/database.h"
#include "core/send_records.h"
#include "core/settings.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QDateTime>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {

QString hoursAgo(double hours)
{
    return QDateTime::currentDateTime()
        .addSecs(qint64(-hours * 3600))
        .toString("yyyy-MM-dd HH:mm:ss");
}

QStringList openids(const SendRecordResult &result)
{
    QStringList ids;
    for (const QStringList &row : result.rows)
        ids << row.value(1);
    return ids;
}

// config.ini names msg.db, a new SQLite file in a fresh application folder; every query reads the
// file again, as the viewer does.
class SendRecords : public ::testing::Test {
protected:
    SendRecords()
    {
        EXPECT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
        Database created(connection(), 0, MissingFile::Create);
    }
    static Settings connection()
    {
        Settings s;
        s.driver = QStringLiteral("sqlite");
        s.db = QStringLiteral("msg.db");
        return s;
    }
    // A sent message of the kind (1 template, 2 customer service) answered with `stat`.
    static void addSent(int kind, const QString &openid, const QString &stat,
                        const QString &sendtime)
    {
        Database db(connection());
        db.exec("insert into tempmsg (msg, kind, openid, stat, sendtime) values (?, ?, ?, ?, ?)",
                {QStringLiteral("{\"touser\":\"%1\"}").arg(openid), kind, openid, stat, sendtime});
    }
    static SendRecordResult query(const QString &type, const QString &period)
    {
        return querySendRecords(testsupport::liveSettings(), type, period);
    }

    testsupport::TempAppFolder folder;
};

} // namespace

// Each period reaches back its day count plus one; any other period text is one day, also one that
// only looks like a known one. The type text is used as typed, bound: no match and no error.
TEST_F(SendRecords, EachPeriodReachesBackItsOffsetFromNow)
{
    const QString ok = "{\"errcode\":0,\"errmsg\":\"ok\"}";
    // Half a day either side of each offset, so an offset one day off shows.
    for (double days : {0.5, 1.5, 7.5, 8.5, 30.5, 31.5, 90.5, 91.5})
        addSent(1, QStringLiteral("o%1").arg(days), ok, hoursAgo(days * 24));
    addSent(2, "oCustomer", ok, hoursAgo(1));
    {
        Database db(connection()); // a pending row is no record yet
        db.exec("insert into tempmsg (msg, kind, openid) values ('{}', 1, 'oPending')");
    }
    const struct {
        const char *type, *period;
        QStringList openids;
    } cases[] = {
        {"模板消息", "最近一天", {"o0.5"}},
        {"模板消息", "最近一周", {"o0.5", "o1.5", "o7.5"}},
        {"模板消息", "最近一月", {"o0.5", "o1.5", "o7.5", "o8.5", "o30.5"}},
        {"模板消息", "最近三月", {"o0.5", "o1.5", "o7.5", "o8.5", "o30.5", "o31.5", "o90.5"}},
        {"模板消息", "最近两天", {"o0.5"}},
        {"模板消息", "最近一周 ", {"o0.5"}},
        {"客服消息", "最近一天", {"oCustomer"}},
        {"模板", "最近三月", {}},
        {"模板消息'", "最近三月", {}},
        {"' or ''='", "最近三月", {}},
    };
    for (const auto &c : cases) {
        const SendRecordResult r = query(QString::fromUtf8(c.type), QString::fromUtf8(c.period));
        EXPECT_TRUE(r.ok) << c.type << c.period << ": " << r.error.toStdString();
        EXPECT_EQ(openids(r), c.openids) << c.type << c.period;
    }
}

// Six fields as text, the send time with its seconds as the log writes it whatever the locale, then
// WeChat's errmsg. A NULL field is an empty cell, a local error text is its own note, and the rows
// after one still come.
TEST_F(SendRecords, FieldsAsTextWithNullAsEmpty)
{
    const QString sent = hoursAgo(2);
    addSent(1, "oFirst", "{\"errcode\":43004,\"errmsg\":\"require subscribe\"}", sent);
    addSent(1, "oSecond", "消息类型无效", sent);
    addSent(1, "oThird", "{\"errcode\":0,\"errmsg\":\"ok\"}", sent);
    const SendRecordResult r = query("模板消息", "最近一天");
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const QList<QStringList> expected = {
        {"模板消息", "oFirst", "失败", "43004", "{\"touser\":\"oFirst\"}", sent,
         "require subscribe"},
        {"模板消息", "oSecond", "失败", "", "{\"touser\":\"oSecond\"}", sent, "消息类型无效"},
        {"模板消息", "oThird", "成功", "0", "{\"touser\":\"oThird\"}", sent, "ok"},
    };
    EXPECT_EQ(r.rows, expected);
}

TEST_F(SendRecords, FailuresSayWhy)
{
    {
        Database db(connection());
        db.exec("drop view SEND_REC");
    }
    SendRecordResult r = query("模板消息", "最近一天");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains("SEND_REC")) << r.error.toStdString();

    // A database file whose folder does not exist cannot be opened.
    ASSERT_TRUE(folder.writeConfig("driver=sqlite\ndb=no/such/folder/msg.db\n"));
    r = query("模板消息", "最近一天");
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
}

TEST_F(SendRecords, ReloadsTheSettingsFileAndTheParameters)
{
    testsupport::liveSettings().update([](Settings &s) {
        s.db.clear();
        s.driver.clear();
        s.appid = "old";
    });
    {
        Database db(connection());
        db.exec(db.sql().updateParam, {"wxNEW", "appid"});
    }
    EXPECT_TRUE(query("模板消息", "最近一天").ok);
    const Settings s = testsupport::liveSettings().snapshot();
    EXPECT_EQ(s.db, "msg.db");
    EXPECT_EQ(s.appid, "wxNEW");
}

// SEND_REC is read by position: one without an id column is listed all the same, without the
// answer's tooltip.
TEST_F(SendRecords, ASendRecWithoutIdIsListedWithoutTheTooltip)
{
    {
        Database db(connection());
        db.exec("drop view SEND_REC");
        db.exec("create view SEND_REC as select kind as 种类, '模板消息' as 消息类型, openid as "
                "OPENID, '成功' as 发送状态, 0 as 状态代码, msg as JSON, sendtime as 发送时间 "
                "from tempmsg where stat is not null");
    }
    addSent(1, "oNOID", R"({"errcode":0,"errmsg":"ok"})", hoursAgo(1));
    const SendRecordResult r = query("模板消息", "最近一天");
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    ASSERT_EQ(openids(r), QStringList{"oNOID"});
    EXPECT_TRUE(r.rows.first().last().isEmpty());
}
