// Benchmark of the follower export: followers per second and peak memory against the fake WeChat API.
//
// The fake API runs in a child process (this program again, with --serve), so the memory figure is
// the export's own. Usage: export_followers [followers-at-0ms] [followers-at-2ms]
#include "core/database.h"
#include "core/http_client.h"
#include "core/profile.h"
#include "core/settings.h"
#include "records/follower_export.h"
#include "support/fake_wechat.h"
#include "support/temp_app_folder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

using namespace veltrano;

namespace {

// Processor time and peak memory come from getrusage; elsewhere they read 0.
#ifdef Q_OS_UNIX
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double peakMegabytes(bool children = false)
{
    rusage usage{};
    getrusage(children ? RUSAGE_CHILDREN : RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}
#else
double cpuSeconds()
{
    return 0;
}

double peakMegabytes(bool = false)
{
    return 0;
}
#endif

// The fake API for one run: this program with --serve in a child process.
class FakeServer {
public:
    FakeServer(int followers, int latencyMs)
    {
        m_process.setProgram(QCoreApplication::applicationFilePath());
        m_process.setArguments({QStringLiteral("--serve"), QString::number(followers),
                                QString::number(latencyMs)});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        while (m_process.waitForReadyRead(30000)) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (line.startsWith(QStringLiteral("listening on "))) {
                m_base = line.mid(13);
                return;
            }
        }
        throw std::runtime_error("the fake WeChat API did not start");
    }
    ~FakeServer()
    {
        m_process.closeWriteChannel(); // the child serves until its input closes
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    QString base() const { return m_base; }

private:
    QProcess m_process;
    QString m_base;
};

// What the fake's added latency really costs per request here: a 2 ms sleep oversleeps a little.
double sleptMilliseconds(int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return double(clock.nsecsElapsed()) / 1e6 / 200;
}

int serve(int followers, int latencyMs)
{
    testsupport::FakeWeChat fake;
    fake.setFollowerCount(followers);
    fake.setLatency(latencyMs);
    std::printf("listening on %s\n", fake.base().toUtf8().constData());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

// Plain profile requests on one kept-alive client, without the export around them: the floor
// that the fake server and this machine allow.
double bareMillisecondsPerRequest(int latencyMs, int count)
{
    FakeServer server(count, latencyMs);
    testsupport::ScopedApiBase base(server.base());
    HttpClient http;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= count; ++i) {
        http.HttpGet(apiUrl(QStringLiteral("/cgi-bin/user/info?access_token=T&openid=oFake")
                            + QStringLiteral("%1").arg(i, 23, 10, QChar(u'0'))
                            + QStringLiteral("&lang=zh_CN")));
    }
    return double(clock.nsecsElapsed()) / 1e6 / count;
}

struct Run {
    qint64 followers = 0;
    double seconds = 0;
    double cpu = 0; // processor time of the export itself, without the fake server
    bool ok = false;
    QString message;
};

Run exportOnce(int followers, int latencyMs, const QString &folder)
{
    FakeServer server(followers, latencyMs);
    testsupport::ScopedApiBase base(server.base());
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds();
    const WorkbookExportOutcome outcome = exportFollowersToWorkbook(folder, QDateTime::currentDateTime());
    Run run;
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpu = cpuSeconds() - cpuBefore;
    run.followers = outcome.export_.followers;
    run.ok = outcome.export_.status == FollowerExportOutcome::Status::Finished;
    run.message = outcome.export_.message;
    if (run.ok) {
        std::printf("  workbook: %s (%.1f MB)\n", qPrintable(QFileInfo(outcome.path).fileName()),
                    double(QFileInfo(outcome.path).size()) / 1e6);
        QFile::remove(outcome.path);
    }
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::string(argv[1]) == "--serve")
        return serve(std::atoi(argv[2]), std::atoi(argv[3]));

    QCoreApplication app(argc, argv);
    const int bulk = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int slow = argc > 2 ? std::atoi(argv[2]) : 10000;

    // A SQLite message database whose parameters ask for the token directly from the fake API.
    testsupport::TempAppFolder appFolder;
    {
        QFile ini(appFolder.file(QStringLiteral("config.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        ini.write("[con]\ndriver=sqlite\ndb=bench.db\n");
    }
    LoadConnectionSettings();
    {
        Database db(gobal().snapshot(), 0, MissingFile::Create);
        for (const auto &[key, value] : {std::pair{"appid", "wxbench"}, {"appsecret", "secret"},
                                         {"get_token_mod", "1"}}) {
            db.exec(db.sql().updateParam, {QString::fromLatin1(value), QString::fromLatin1(key)});
        }
    }
    QTemporaryDir out;

    std::printf("follower export, fake WeChat API on 127.0.0.1 in a child process\n");
    std::printf("%d followers at 0 ms latency\n", bulk);
    const Run fast = exportOnce(bulk, 0, out.path());
    if (!fast.ok) {
        std::printf("  failed: %s\n", qPrintable(fast.message));
        return 1;
    }
    std::printf("  %lld followers in %.2f s: %.0f followers/s (target >= 2000); export's own CPU "
                "%.1f us per follower\n",
                fast.followers, fast.seconds, double(fast.followers) / fast.seconds,
                fast.cpu * 1e6 / double(qMax<qint64>(fast.followers, 1)));
    std::printf("  peak memory of the export: %.1f MB (target < 150)\n", peakMegabytes());

    std::printf("%d followers at 2 ms latency per request\n", slow);
    const Run lagged = exportOnce(slow, 2, out.path());
    if (!lagged.ok) {
        std::printf("  failed: %s\n", qPrintable(lagged.message));
        return 1;
    }
    const double floor = lagged.followers * 0.002;
    std::printf("  %lld followers in %.2f s: %.0f followers/s; followers x latency = %.2f s, "
                "ratio %.3f (target <= 1.15)\n",
                lagged.followers, lagged.seconds, double(lagged.followers) / lagged.seconds, floor,
                lagged.seconds / floor);
    const double slept = sleptMilliseconds(2);
    const double bare = bareMillisecondsPerRequest(2, 2000);
    std::printf("  for comparison: a 2 ms sleep takes %.3f ms here, and a bare profile request on the "
                "fake at 2 ms %.3f ms (ratio %.3f); the export spends %.3f ms per follower\n",
                slept, bare, bare / 2, lagged.seconds * 1000 / double(qMax<qint64>(lagged.followers, 1)));
    std::printf("  peak memory of the export: %.1f MB; of the fake server: %.1f MB\n", peakMegabytes(),
                peakMegabytes(true));
    return 0;
}
