// The send service as the window and --service both drive it: the schedule, start and stop, the
// lease between copies, values mended while it runs, and log lines that outlive every window.
#include "core/app_context.h"
#include "core/database.h"
#include "core/logger.h"
#include "core/send_service.h"
#include "support/fake_wechat.h"
#include "support/live_settings.h"
#include "support/log_lines.h"
#include "support/sqlite_queue.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {

bool startAndWait(SendService &service)
{
    QSignalSpy finished(&service, &SendService::startFinished);
    service.start();
    return (!finished.isEmpty() || finished.wait(30000)) && finished.at(0).at(0).toBool();
}

QByteArray templateBody(int n)
{
    return QStringLiteral(R"({"touser":"o%1","template_id":"T","data":{}})").arg(n).toUtf8();
}

// A queue with an account, the fake API and the log; each test makes its own services on `live`.
class Service : public ::testing::Test {
protected:
    Service() : api(fake)
    {
        queue.setParam("appid", "wxAPP");
        queue.setParam("appsecret", "SECRET");
        queue.setParam("temp", "5");
    }

    // Ticks as the one-second timer would, until a batch begins; the tick it began on, or 0. The
    // worker's minute upkeep is waited for, as a second between ticks would.
    static int tickUntilBatch(SendService &service, int most = 400)
    {
        for (int t = 1; t <= most; ++t) {
            service.tick();
            if (service.isBatchRunning())
                return t;
            service.waitForIdle();
        }
        return 0;
    }

    static bool waitBatch(SendService &service)
    {
        return QTest::qWaitFor([&] { return !service.isBatchRunning(); }, 20000);
    }

    int logged(const QString &part) const { return int(log.filter(part).size()); }

    testsupport::SqliteQueue queue;
    FakeWeChat fake;
    testsupport::ScopedApiBase api;
    SharedSettings live;
    QStringList log;
    std::unique_ptr<QObject> logging = testsupport::collectLogLines(log);
};

} // namespace

// Interval 1: the first batch on tick 60, then every 59; ticks during a batch are not counted; a
// stop during a batch takes effect after it; a restart goes on counting where the stop left off.
TEST_F(Service, TheScheduleCountsTicksAndABatchRunsToItsEnd)
{
    queue.setParam("temp_timer", "1");
    for (int n = 0; n < 5; ++n)
        queue.add(templateBody(n), 1);
    fake.setLatency(100); // long enough to stop while the batch runs

    SendService service(live);
    ASSERT_TRUE(startAndWait(service));
    EXPECT_EQ(service.pendingCount(), 5) << "counted at start, before any batch";
    EXPECT_EQ(tickUntilBatch(service), 60);
    EXPECT_EQ(service.secondsCounted(), 1);
    EXPECT_EQ(service.minutesCounted(), 0);
    service.tick(); // falls due during the batch: not counted
    EXPECT_EQ(service.secondsCounted(), 1);

    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.sendCount() > 0; }, 10000));
    service.stop();
    ASSERT_TRUE(waitBatch(service));
    EXPECT_EQ(queue.pending(), 0) << "the batch ran to its end";
    EXPECT_EQ(service.lastReport()->posted, 5);

    for (int n = 0; n < 5; ++n)
        queue.add(templateBody(10 + n), 1);
    ASSERT_TRUE(startAndWait(service));
    for (int t = 0; t < 20; ++t)
        service.tick();
    EXPECT_EQ(service.secondsCounted(), 21) << "a restart goes on from the counted seconds";
    EXPECT_EQ(tickUntilBatch(service), 59 - 21 + 1)
        << "every later batch 59 ticks after the one before";
    ASSERT_TRUE(waitBatch(service));
    EXPECT_EQ(fake.sendCount(), 10);
}

// A batch asked for, but not begun when the service stops, never begins.
TEST_F(Service, AStopBeforeABatchBeginsMeansItNeverBegins)
{
    queue.add(templateBody(1), 1);
    queue.setParam("temp_timer", "2");
    SendService service(live);
    ASSERT_TRUE(startAndWait(service));
    service.waitForIdle();
    QSignalSpy finished(&service, &SendService::batchFinished);
    {
        // Another writer holds the database: the lease's upkeep waits on it, and the batch waits
        // behind the upkeep on the worker.
        Database writer(queue.connection());
        writer.exec(QStringLiteral("begin immediate"));
        for (int t = 0; t < 200 && !service.isBatchRunning(); ++t)
            service.tick(); // the first minute's upkeep, then the batch at the second
        ASSERT_TRUE(service.isBatchRunning());
        service.stop();
        writer.exec(QStringLiteral("rollback"));
    }
    ASSERT_TRUE(finished.wait(40000));
    EXPECT_FALSE(finished.at(0).at(0).value<BatchReport>().ran);
    EXPECT_EQ(fake.sendCount(), 0);
    EXPECT_EQ(queue.pending(), 1);
}

// Values mended in sysParam while the service runs count from the next batch, though the batches
// before stopped early: an empty appid, a batch size that is no number, an interval that is none.
TEST_F(Service, AValueFixedInSysParamReachesARunningService)
{
    queue.setParam("appid", "");
    queue.setParam("temp", "abc");
    queue.add(templateBody(1), 1);
    SendService service(live);
    ASSERT_TRUE(startAndWait(service));
    EXPECT_EQ(logged("appid 为空"), 1);
    service.runBatchNow();
    ASSERT_TRUE(waitBatch(service));
    EXPECT_EQ(logged("“abc”不是整数"), 1);

    queue.setParam("appid", "wxAPP");
    queue.setParam("temp", "5");
    queue.setParam("temp_timer", "-5");
    service.runBatchNow();
    ASSERT_TRUE(waitBatch(service));
    EXPECT_EQ(fake.sendCount(), 1);

    queue.add(templateBody(2), 1);
    EXPECT_EQ(tickUntilBatch(service, 3 * 60), 0);
    EXPECT_EQ(logged("“-5”不是正整数"), 1) << "logged once while it stays";
    queue.setParam("temp_timer", "abc");
    EXPECT_EQ(tickUntilBatch(service, 2 * 60), 0);
    EXPECT_EQ(logged("“abc”不是整数，不会发送消息"), 1) << "and again when it changes";

    queue.setParam("temp_timer", "1");
    EXPECT_GT(tickUntilBatch(service, 3 * 60), 0) << "looked at again every minute";
    ASSERT_TRUE(waitBatch(service));
    EXPECT_EQ(fake.sendCount(), 2);
}

// Two copies on one queue: only the lease holder posts, the other names it and takes over as soon
// as the holder stops. (A dead holder's lease expiring is the lease's own promise.)
TEST_F(Service, OneCopyPostsAndAnotherTakesOverWhenItStops)
{
    for (int n = 0; n < 20; ++n)
        queue.add(templateBody(n), 1);
    fake.setLatency(30);

    SendService first(live), second(live);
    ASSERT_TRUE(startAndWait(first));
    ASSERT_TRUE(startAndWait(second));
    for (int round = 0; round < 2; ++round) {
        QSignalSpy a(&first, &SendService::batchFinished), b(&second, &SendService::batchFinished);
        first.runBatchNow();
        second.runBatchNow();
        ASSERT_TRUE(a.wait(20000) || !a.isEmpty());
        ASSERT_TRUE(!b.isEmpty() || b.wait(20000));
    }
    EXPECT_EQ(fake.sendCount(), 10) << "two batches of five, all from the holder";
    EXPECT_TRUE(log.filter("另一个副本正在发送").value(0).contains("进程 ")) << "naming the holder";

    first.stop(); // gives the lease up: the other copy takes over at once
    first.waitForIdle();
    second.runBatchNow();
    ASSERT_TRUE(waitBatch(second));
    EXPECT_TRUE(second.lastReport()->ran);
    EXPECT_EQ(queue.pending(), 5);
    QSet<QByteArray> bodies;
    for (const auto &send : fake.sends())
        bodies.insert(send.body);
    EXPECT_EQ(bodies.size(), int(fake.sends().size())) << "no row posted twice";
}

// Lines logged on a worker thread reach the daily file at once, with no event loop to carry them.
TEST(SendService, LogLinesReachTheFileFromAnyThread)
{
    testsupport::TempAppFolder folder;
    DailyLogFile file(folder.path());
    QtConcurrent::run([] {
        Logger::instance().log(QStringLiteral("  from the worker"));
    }).waitForFinished();
    QFile written(QDir(folder.path())
                      .filePath(QStringLiteral("logs/")
                                + QDate::currentDate().toString(u"yyyy-MM-dd") + ".log"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().contains("  from the worker"));
#ifndef Q_OS_WIN // Windows keeps others out by the folder's access list, not by file modes
    EXPECT_EQ(written.permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
#endif
}

// Where the lease row cannot be made (another required column, a login that may only update), the
// start fails with the statement to make it by hand: every batch would fail otherwise.
TEST_F(Service, AStartFailsWhenTheLeaseRowCannotBeMade)
{
    {
        Database db(queue.connection());
        db.exec(QStringLiteral(
            "create trigger required before insert on sysParam "
            "begin select raise(abort, 'NOT NULL constraint failed: sysParam.owner'); end"));
    }
    SendService service(live);
    QSignalSpy finished(&service, &SendService::startFinished);
    service.start();
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_FALSE(finished.at(0).at(0).toBool());
    const QString reason = finished.at(0).at(1).toString();
    EXPECT_TRUE(reason.contains("sysParam.owner") && reason.contains("insert into sysParam"))
        << reason.toStdString();
    EXPECT_FALSE(service.isRunning());
}
