// The record viewer's window: its boxes, the query on opening and on "查询", a failure keeps the
// list.
#include "core/database.h"
#include "core/profile.h"
#include "core/settings.h"
#include "records/form6.h"
#include "support/larger_text.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

using namespace veltrano;
using namespace veltrano::testsupport;

namespace {

// An application folder with a SQLite database holding a few sent messages.
class Records {
public:
    Records()
    {
        EXPECT_TRUE(folder.writeConfig("driver=sqlite\ndb=msg.db\n"));
        testsupport::loadConnection();
        Database created(testsupport::liveSettings().snapshot(), 0, MissingFile::Create);
    }
    void add(int kind, const QString &openid, const QVariant &stat, double hoursAgo = 1)
    {
        Database db(testsupport::liveSettings().snapshot());
        db.exec("insert into tempmsg (msg, kind, openid, stat, sendtime) values (?, ?, ?, ?, ?)",
                {"{}", kind, openid, stat,
                 QDateTime::currentDateTime()
                     .addSecs(qint64(-hoursAgo * 3600))
                     .toString("yyyy-MM-dd HH:mm:ss")});
    }
    testsupport::TempAppFolder folder;
};

bool waitForQuery(Form6 &w)
{
    return QTest::qWaitFor([&] { return !w.isQuerying(); }, 30000);
}

QString cell(const Form6 &w, int row, int column, int role = Qt::DisplayRole)
{
    return w.ListView1->model()->index(row, column).data(role).toString();
}

QStringList column(const Form6 &w, int c)
{
    QStringList out;
    for (int r = 0; r < w.ListView1->model()->rowCount(); ++r)
        out << cell(w, r, c);
    return out;
}

QStringList items(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

void query(Form6 &w, const QString &type, const QString &period)
{
    w.Combo1->setEditText(type);
    w.Combo2->setEditText(period);
    QTest::mouseClick(w.Command1, Qt::LeftButton);
    ASSERT_TRUE(waitForQuery(w));
}

} // namespace

TEST(Form6, OffersTheTypesAndPeriodsAndTheListTakesTheRoom)
{
    Records records;
    Form6 w(testsupport::liveSettings());
    testsupport::expectCaptions(w, {{"", "发送记录"},
                                    {"Label1", "消息类型："},
                                    {"Label2", "期间："},
                                    {"Command1", "查询"}});
    // Both boxes also take a typed text; the list offers what the query knows.
    EXPECT_TRUE(w.Combo1->isEditable());
    EXPECT_TRUE(w.Combo2->isEditable());
    EXPECT_EQ(items(w.Combo1), QStringList({"模板消息", "客服消息"}));
    EXPECT_EQ(items(w.Combo2), QStringList({"最近一天", "最近一周", "最近一月", "最近三月"}));
    EXPECT_EQ(w.Combo1->currentText(), "模板消息");
    EXPECT_EQ(w.Combo2->currentText(), "最近一天");
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const QSize listBefore = w.ListView1->size(), windowBefore = w.size();
    w.resize(900, 500);
    QTest::qWait(0);
    EXPECT_EQ(w.ListView1->size() - listBefore, w.size() - windowBefore);
    ASSERT_TRUE(waitForQuery(w));
}

TEST(Form6, OpensWithTodaysTemplateMessagesAndQueriesOnEveryClick)
{
    Records records;
    records.add(1, "oTemplateNew", "{\"errcode\":0,\"errmsg\":\"ok\"}", 2);
    records.add(1, "oTemplateOld", "{\"errcode\":40003,\"errmsg\":\"invalid openid\"}", 24 * 5);
    records.add(2, "oCustomer", "{\"errcode\":45015,\"errmsg\":\"response out of time limit\"}", 3);

    Form6 w(testsupport::liveSettings());
    EXPECT_TRUE(w.isQuerying()) << "the first query starts as the window opens";
    ASSERT_TRUE(waitForQuery(w));
    ASSERT_EQ(column(w, 2), QStringList({"oTemplateNew"}));
    EXPECT_EQ(cell(w, 0, 0), "1");
    EXPECT_EQ(cell(w, 0, 1), "模板消息");
    EXPECT_EQ(cell(w, 0, 3), "成功");
    EXPECT_EQ(cell(w, 0, 4), "0");
    EXPECT_EQ(cell(w, 0, 5), "{}");
    EXPECT_FALSE(cell(w, 0, 6).isEmpty());
    EXPECT_EQ(w.statusLine->text(), "共 1 条记录");
    EXPECT_FALSE(w.ListView1->model()
                     ->flags(w.ListView1->model()->index(0, 2))
                     .testFlag(Qt::ItemIsEditable));

    query(w, "模板消息", "最近一周");
    EXPECT_EQ(column(w, 2), QStringList({"oTemplateNew", "oTemplateOld"}));
    EXPECT_EQ(column(w, 0), QStringList({"1", "2"}));
    // The status and its code do not say why WeChat refused; its message does, in their tooltip.
    for (int c : {3, 4})
        EXPECT_EQ(cell(w, 1, c, Qt::ToolTipRole), "invalid openid") << c;
    EXPECT_EQ(cell(w, 1, 2, Qt::ToolTipRole), "oTemplateOld");
    EXPECT_EQ(w.ListView1->model()->columnCount(), 7) << "the message is no extra column";

    query(w, "客服消息", "最近一天");
    EXPECT_EQ(column(w, 2), QStringList({"oCustomer"}));
    EXPECT_EQ(cell(w, 0, 4), "45015");

    // An empty result shows the seven headers and no rows.
    query(w, "未知", "最近三月");
    EXPECT_EQ(w.ListView1->model()->rowCount(), 0);
    EXPECT_EQ(w.ListView1->model()->columnCount(), 7);
    EXPECT_EQ(w.statusLine->text(), "共 0 条记录");
}

TEST(Form6, AFailedQueryKeepsTheListAndSaysWhy)
{
    Records records;
    records.add(1, "oKept", "{\"errcode\":0,\"errmsg\":\"ok\"}");
    Form6 w(testsupport::liveSettings());
    ASSERT_TRUE(waitForQuery(w));
    ASSERT_EQ(column(w, 2), QStringList({"oKept"}));

    // The settings file is read again on every query: now it names a server nobody answers on.
    ASSERT_TRUE(
        records.folder.writeConfig("driver=sqlserver\nhost=127.0.0.1,1\nuid=sa\npwd=\ndb=msg\n"));
    QSignalSpy finished(&w, &Form6::queryFinished);
    w.Command1->click();
    EXPECT_TRUE(w.Command1->isEnabled()) << "the window stays usable while the query runs";
    ASSERT_TRUE(waitForQuery(w));
    ASSERT_EQ(finished.size(), 1);
    EXPECT_FALSE(finished[0][0].toBool());
    EXPECT_EQ(column(w, 2), QStringList({"oKept"}));
    EXPECT_TRUE(w.statusLine->text().startsWith("查询失败："))
        << w.statusLine->text().toStdString();
    EXPECT_GT(w.statusLine->text().size(), QString("查询失败：").size());
}

TEST(Form6, OnlyTheLatestQueryFillsTheList)
{
    Records records;
    records.add(1, "oTemplate", "{\"errcode\":0}");
    records.add(2, "oCustomer", "{\"errcode\":0}");
    Form6 w(testsupport::liveSettings());
    // Two more clicks before the first query has come back: the list shows the last one asked.
    w.Combo1->setEditText("模板消息");
    w.Command1->click();
    w.Combo1->setEditText("客服消息");
    w.Command1->click();
    ASSERT_TRUE(waitForQuery(w));
    EXPECT_EQ(column(w, 2), QStringList({"oCustomer"}));
}
