// The window-free send service: two copies on one queue, and log lines that outlive every window.
#include "core/app_context.h"
#include "core/logger.h"
#include "core/send_service.h"
#include "support/fake_wechat.h"
#include "support/sqlite_queue.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>

using namespace veltrano;
using testsupport::FakeWeChat;

namespace {

bool startAndWait(SendService &service, const Settings &settings)
{
    QSignalSpy finished(&service, &SendService::startFinished);
    service.setSettings(settings);
    service.start();
    return finished.wait(10000) && finished.at(0).at(0).toBool();
}

} // namespace

// Two copies on one queue: only the lease holder posts, the other names it and takes over once the
// holder stops.
TEST(SendService, TwoCopiesOnOneQueuePostEveryRowOnce)
{
    testsupport::SqliteQueue queue;
    FakeWeChat fake;
    testsupport::ScopedApiBase api(fake);
    queue.setParam("appid", "wxAPP");
    queue.setParam("appsecret", "SECRET");
    queue.setParam("temp", "5");
    for (int n = 0; n < 20; ++n)
        queue.add(QStringLiteral(R"({"touser":"o%1","template_id":"T","data":{}})").arg(n), 1);
    fake.setLatency(30);

    QStringList log;
    QObject receiver;
    QObject::connect(&Logger::instance(), &Logger::lineLogged, &receiver,
                     [&](const QDateTime &, const QString &line) { log << line; });

    SendService first, second;
    ASSERT_TRUE(startAndWait(first, queue.connection()));
    ASSERT_TRUE(startAndWait(second, queue.connection()));
    for (int round = 0; round < 2; ++round) {
        QSignalSpy a(&first, &SendService::batchFinished), b(&second, &SendService::batchFinished);
        first.runBatchNow();
        second.runBatchNow();
        ASSERT_TRUE(a.wait(20000) || !a.isEmpty());
        ASSERT_TRUE(!b.isEmpty() || b.wait(20000));
    }
    EXPECT_EQ(fake.sendCount(), 10) << "two batches of five, all from the holder";
    EXPECT_EQ(queue.pending(), 10);
    EXPECT_FALSE(log.filter(QStringLiteral("另一个副本正在发送")).isEmpty());
    EXPECT_TRUE(log.filter(QStringLiteral("另一个副本正在发送")).first().contains(QStringLiteral("进程 ")));

    first.stop(); // gives the lease up: the other copy takes over at once
    first.waitForIdle();
    QSignalSpy b(&second, &SendService::batchFinished);
    second.runBatchNow();
    ASSERT_TRUE(b.wait(20000));
    EXPECT_TRUE(b.at(0).at(0).value<BatchReport>().ran);
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
    QtConcurrent::run([] { Logger::instance().log(QStringLiteral("  from the worker")); }).waitForFinished();
    QFile written(QDir(folder.path()).filePath(QStringLiteral("logs/")
                                               + QDate::currentDate().toString(u"yyyy-MM-dd") + ".log"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().contains("  from the worker"));
#ifndef Q_OS_WIN // Windows keeps others out by the folder's access list, not by file modes
    EXPECT_EQ(written.permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
#endif
}
