// Starting and stopping the service from the main window, and batches driven by its timer.
#include "app/form1.h"
#include "core/app_context.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/send_service.h"
#include "core/settings.h"
#include "support/fake_wechat.h"
#include "support/live_settings.h"
#include "support/log_lines.h"
#include "support/sqlite_queue.h"
#include "ui/message_box.h"

#include "app/log_view.h"
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {

QStringList topLines(const Form1 &w, int n)
{
    return w.Text1->toPlainText().split(u'\n').mid(0, n);
}

bool startAndWait(Form1 &w)
{
    QSignalSpy finished(&w, &Form1::startFinished);
    w.startsvr->click();
    // The check may end before the click returns: count what arrived before waiting for more.
    if (finished.isEmpty() && !finished.wait(30000))
        return false;
    return finished.at(0).at(0).toBool();
}

// One batch at once, as the timer would start it; true once it has ended.
bool runBatchNow(Form1 &w)
{
    QSignalSpy finished(&w, &Form1::batchFinished);
    w.service()->runBatchNow();
    return finished.wait(20000);
}

// Counts ticks by hand, as the timer would, up to the one on which a batch falls due.
void tickUntilBatch(Form1 &w)
{
    for (int i = 0; i < 200 && !w.batchRunning(); ++i)
        w.Timer1_Timer();
}

} // namespace

// A refused start names its cause and leaves the window stopped; a stop then is harmless, and the
// next start reads the mended config.ini.
TEST(ServiceControl, AStartRefusedForItsDatabaseSucceedsOnceTheFileIsMended)
{
    testsupport::TempAppFolder folder;
    WriteProfileValue(configFilePath(), "con", "db", folder.file("no/such/folder/queue.db"));
    WriteProfileValue(configFilePath(), "con", "driver", "sqlite");
    Form1 w(testsupport::liveSettings());
    EXPECT_FALSE(startAndWait(w));
    const QString line = topLines(w, 1).at(0);
    EXPECT_TRUE(line.contains("  服务启动失败，请检查数据库连接是否正确！"));
    EXPECT_FALSE(line.endsWith("正确！")) << "the cause follows the fixed text";
    EXPECT_TRUE(w.startsvr->isEnabled());
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_EQ(w.svrflag, 0);

    w.endsvr->click();
    EXPECT_TRUE(topLines(w, 1).at(0).endsWith("  服务停止"));
    EXPECT_FALSE(w.endsvr->isEnabled());

    WriteProfileValue(configFilePath(), "con", "db", "queue.db");
    EXPECT_TRUE(startAndWait(w));
}

// The window shows what the service reports: pending rows at start, each batch's answers and
// result, and the counters; closing asks first, and a stop logs after the start.
TEST(ServiceControl, TheWindowShowsTheBatchesItsTimerRunsAndStopsOnlyWhenAsked)
{
    testsupport::SqliteQueue queue;
    testsupport::FakeWeChat fake;
    testsupport::ScopedApiBase api(fake);
    queue.setParam("appid", "wxAPP");
    queue.setParam("appsecret", "SECRET");
    queue.setParam("temp_timer", "1");
    for (int n = 0; n < 5; ++n)
        queue.add(QStringLiteral(R"({"touser":"o%1","template_id":"T","data":{}})").arg(n), 1);

    Form1 w(testsupport::liveSettings());
    EXPECT_EQ(w.Text1->toPlainText(), Form1::usageNote(true))
        << "the note speaks of the SQLite file in use";
    w.show();
    ASSERT_TRUE(startAndWait(w));
    EXPECT_FALSE(w.startsvr->isEnabled());
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_EQ(w.svrflag, 1);
    EXPECT_TRUE(w.statusLine->text().contains("待发：5")) << "counted at start, before any batch";
    QSignalSpy finished(&w, &Form1::batchFinished);
    tickUntilBatch(w);
    ASSERT_TRUE(w.batchRunning());
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_EQ(fake.sendCount(), 5);
    EXPECT_TRUE(w.Text1->toPlainText().contains("  发送结果："));
    EXPECT_TRUE(w.statusLine->text().contains("上一批次：已发送 5（被拒 0），待发 0"))
        << w.statusLine->text().toStdString();
    for (int i = 0; i < 15; ++i)
        w.Timer1_Timer();
    EXPECT_TRUE(w.statusLine->text().contains(QRegularExpression("下一批次：\\d+分\\d\\d秒后")))
        << w.statusLine->text().toStdString();

    // Closing the window would stop the service: it asks, and "No" keeps it open.
    ui::testing::reset();
    ui::testing::answerNext(QMessageBox::No);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    ASSERT_EQ(ui::testing::shown().size(), 1);
    ui::testing::reset();

    w.endsvr->click();
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_TRUE(w.startsvr->isEnabled());
    EXPECT_EQ(w.svrflag, 0);
    EXPECT_EQ(w.Text2->text(), QString::number(w.service()->secondsCounted()));
    EXPECT_EQ(w.Text4->text(), QString::number(w.service()->minutesCounted()));
    const QStringList lines = topLines(w, 1);
    EXPECT_TRUE(lines[0].endsWith("  服务停止"));
    EXPECT_TRUE(w.Text1->toPlainText().contains("  服务启动成功"));
}

// A window ended by a stop signal (a logout) finishes the post in flight, stores its answer and
// gives the lease up; the next window writes back the answer the database refused before, and
// posts no row twice.
TEST(ServiceControl, AWindowRestartAfterAStopSignalPostsNothingTwice)
{
    testsupport::SqliteQueue queue;
    testsupport::FakeWeChat fake;
    testsupport::ScopedApiBase api(fake);
    queue.setParam("appid", "wxAPP");
    queue.setParam("appsecret", "SECRET");
    fake.setCredentials("wxAPP", "SECRET");
    std::vector<qlonglong> ids;
    for (int n = 0; n < 3; ++n)
        ids.push_back(
            queue.add(QStringLiteral(R"({"touser":"o%1","template_id":"T","data":{}})").arg(n), 1));
    QStringList log;
    const auto logging = testsupport::collectLogLines(log);

    // One post at a time, so the slow one is the only one on its way.
    WriteProfileValue(configFilePath(), QStringLiteral("send"), QStringLiteral("posts_in_flight"),
                      QStringLiteral("1"));
    queue.refuseStat(ids[0], true);
    {
        Form1 w(testsupport::liveSettings());
        ASSERT_TRUE(startAndWait(w));
        ASSERT_TRUE(runBatchNow(w));
        EXPECT_EQ(fake.sendCount(), 1) << "the refused write-back ends the batch";

        fake.setLatency(300);
        QSignalSpy ended(w.service(), &SendService::shutDownFinished);
        w.service()->runBatchNow();
        ASSERT_TRUE(
            QTest::
                qWaitFor([&] { return fake.requestCount("/cgi-bin/message/template/send") == 2; },
                         10000));
        w.endOnStopSignal();
        ASSERT_TRUE(ended.wait(20000));
        EXPECT_FALSE(w.isVisible());
    }
    EXPECT_FALSE(queue.stat(ids[1]).isNull()) << "the post in flight was stored";
    EXPECT_TRUE(queue.stat(ids[2]).isNull()) << "the rows behind it wait";

    queue.refuseStat(ids[0], false);
    fake.setLatency(0);
    Form1 again(testsupport::liveSettings());
    ASSERT_TRUE(startAndWait(again));
    ASSERT_TRUE(runBatchNow(again));
    EXPECT_EQ(fake.sendCount(), 3) << "each row posted once";
    EXPECT_EQ(queue.stat(ids[0]).toString(), fake.sends().at(0).answer);
    EXPECT_EQ(queue.pending(), 0);
    EXPECT_TRUE(log.filter("另一个副本正在发送").isEmpty()) << "the lease was given up";
}
