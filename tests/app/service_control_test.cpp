// Starting and stopping the service from the main window, and batches driven by its timer.
#include "support/live_settings.h"
#include "app/form1.h"
#include "core/settings.h"
#include "support/fake_wechat.h"
#include "support/sqlite_queue.h"
#include "ui/message_box.h"

#include <QLabel>
#include <QRegularExpression>
#include <QLineEdit>
#include "app/log_view.h"
#include <QPushButton>
#include <QSignalSpy>
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
    if (finished.isEmpty() && !finished.wait(10000))
        return false;
    return finished.at(0).at(0).toBool();
}

// Counts ticks by hand, as the timer would, up to the one on which a batch falls due.
void tickUntilBatch(Form1 &w)
{
    for (int i = 0; i < 200 && !w.batchRunning(); ++i)
        w.Timer1_Timer();
}

} // namespace

TEST(ServiceControl, StartRefusedWhenTheDatabaseCannotBeReached)
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
}

TEST(ServiceControl, StartThenStopLogsBothAndKeepsTheCounters)
{
    testsupport::SqliteQueue queue;
    queue.setParam("appid", "wxAPP");
    queue.setParam("appsecret", "SECRET");
    Form1 w(testsupport::liveSettings());
    EXPECT_EQ(w.Text1->toPlainText(), Form1::usageNote(true)) << "the note speaks of the SQLite file in use";
    ASSERT_TRUE(startAndWait(w));
    EXPECT_FALSE(w.startsvr->isEnabled());
    EXPECT_TRUE(w.endsvr->isEnabled());
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_EQ(w.svrflag, 1);
    EXPECT_EQ(testsupport::liveSettings().snapshot().temp, "10") << "the parameters were loaded";

    for (int i = 0; i < 75; ++i)
        w.Timer1_Timer();
    EXPECT_TRUE(w.statusLine->text().contains("运行中")) << w.statusLine->text().toStdString();
    EXPECT_TRUE(w.statusLine->text().contains(QRegularExpression("下一批次：\\d+分\\d\\d秒后"))) << w.statusLine->text().toStdString();

    // Closing the window would stop the service: it asks, and "No" keeps it open.
    w.show();
    ui::testing::reset();
    ui::testing::answerNext(QMessageBox::No);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    ASSERT_EQ(ui::testing::shown().size(), 1);
    ui::testing::reset();

    w.endsvr->click();
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_TRUE(w.startsvr->isEnabled());
    EXPECT_FALSE(w.endsvr->isEnabled());
    EXPECT_EQ(w.svrflag, 0);
    EXPECT_EQ(w.Text2->text(), "16");
    EXPECT_EQ(w.Text4->text(), "1");

    const QStringList lines = topLines(w, 3);
    EXPECT_TRUE(lines[0].endsWith("  服务停止"));
    EXPECT_TRUE(lines[1].endsWith("  服务启动成功"));
    EXPECT_EQ(lines[2], "") << "the usage note starts with an empty line";

    ASSERT_TRUE(startAndWait(w));
    EXPECT_EQ(w.Text4->text(), "1") << "a restart goes on counting where it stopped";
}

TEST(ServiceControl, StopBeforeAnyStart)
{
    testsupport::TempAppFolder folder;
    Form1 w(testsupport::liveSettings());
    w.endsvr->click();
    EXPECT_TRUE(topLines(w, 1).at(0).endsWith("  服务停止"));
    EXPECT_FALSE(w.endsvr->isEnabled());
    EXPECT_TRUE(w.startsvr->isEnabled());
}

TEST(ServiceControl, ASecondStartUsesTheMendedSettings)
{
    testsupport::TempAppFolder folder;
    WriteProfileValue(configFilePath(), "con", "db", folder.file("missing/queue.db"));
    WriteProfileValue(configFilePath(), "con", "driver", "sqlite");
    Form1 w(testsupport::liveSettings());
    EXPECT_FALSE(startAndWait(w));
    WriteProfileValue(configFilePath(), "con", "db", "queue.db");
    EXPECT_TRUE(startAndWait(w));
}

TEST(ServiceControl, TheTimerRunsBatchesOnTheWorkerAndStopWaitsForTheBatch)
{
    testsupport::SqliteQueue queue;
    testsupport::FakeWeChat fake;
    testsupport::ScopedApiBase api(fake);
    queue.setParam("appid", "wxAPP");
    queue.setParam("appsecret", "SECRET");
    queue.setParam("temp_timer", "1");
    for (int n = 0; n < 5; ++n)
        queue.add(QStringLiteral(R"({"touser":"o%1","template_id":"T","data":{}})").arg(n), 1);
    fake.setLatency(100); // long enough to press stop while the batch runs

    Form1 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(startAndWait(w));
    EXPECT_TRUE(w.statusLine->text().contains("待发：5")) << "counted at start, before any batch";
    QSignalSpy finished(&w, &Form1::batchFinished);
    tickUntilBatch(w);
    ASSERT_TRUE(w.batchRunning());
    EXPECT_EQ(w.Text4->text(), "0");
    EXPECT_EQ(w.Text2->text(), "1");

    const QString seconds = w.Text2->text();
    w.Timer1_Timer(); // falls due during the batch: not counted
    EXPECT_EQ(w.Text2->text(), seconds);

    for (int i = 0; i < 200 && fake.sendCount() == 0; ++i)
        QThread::msleep(10);
    w.endsvr->click(); // takes effect after the batch, which runs to its end
    EXPECT_TRUE(w.isVisible()) << "the window stays responsive";
    ASSERT_TRUE(!finished.isEmpty() || finished.wait(20000));
    EXPECT_EQ(queue.pending(), 0);
    EXPECT_EQ(fake.sendCount(), 5);
    EXPECT_FALSE(w.Timer1->isActive());
    EXPECT_TRUE(w.Text1->toPlainText().contains("  发送结果："));
    EXPECT_TRUE(w.statusLine->text().contains("待发：0")) << w.statusLine->text().toStdString();
    EXPECT_TRUE(w.statusLine->text().contains("上一批次：已发送 5（被拒 0），待发 0"));
}

TEST(ServiceControl, AnIntervalThatIsNotANumberIsLoggedOnce)
{
    testsupport::SqliteQueue queue;
    queue.setParam("temp_timer", "abc");
    Form1 w(testsupport::liveSettings());
    ASSERT_TRUE(startAndWait(w));
    for (int i = 0; i < 200; ++i)
        w.Timer1_Timer();
    EXPECT_FALSE(w.batchRunning());
    EXPECT_EQ(w.Text1->toPlainText().count("不是整数"), 1);
}
