// Benchmark of the follower export: followers per second and peak memory against the fake WeChat
// API.
//
// The fake API runs in a child process (this program again, with --serve), so the memory figure is
// the export's own. Usage: export_followers [followers-at-0ms] [followers-at-20ms]
#include "core/database.h"
#include "core/http_client.h"
#include "core/profile.h"
#include "core/settings.h"
#include "records/follower_export.h"
#include "support/fake_wechat.h"
#include "support/live_settings.h"
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
        m_process.setArguments(
            {QStringLiteral("--serve"), QString::number(followers), QString::number(latencyMs)});
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

int serve(int followers, int latencyMs)
{
    testsupport::FakeWeChat fake;
    fake.setFollowerCount(followers);
    fake.setLatency(latencyMs);
    std::printf("listening on %s\n", fake.base().toUtf8().constData());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {}
    return 0;
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
    const WorkbookExportOutcome outcome =
        exportFollowersToWorkbook(testsupport::liveSettings().snapshot(), folder,
                                  QDateTime::currentDateTime());
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
    const int slow = argc > 2 ? std::atoi(argv[2]) : 100000;

    // A SQLite message database whose parameters ask for the token directly from the fake API.
    testsupport::TempAppFolder appFolder;
    {
        QFile ini(appFolder.file(QStringLiteral("config.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        ini.write("[con]\ndriver=sqlite\ndb=bench.db\n");
    }
    testsupport::loadConnection();
    {
        Database db(testsupport::liveSettings().snapshot(), 0, MissingFile::Create);
        for (const auto &[key, value] :
             {std::pair{"appid", "wxbench"}, {"appsecret", "secret"}, {"get_token_mod", "1"}}) {
            db.exec(db.sql().updateParam, {QString::fromLatin1(value), QString::fromLatin1(key)});
        }
    }
    QTemporaryDir out;

    std::printf("follower export, fake WeChat API on 127.0.0.1 in a child process\n");
    const auto report = [](const Run &run) {
        if (!run.ok) {
            std::printf("  failed: %s\n", qPrintable(run.message));
            return false;
        }
        std::printf("  %lld followers in %.2f s: %.0f followers/s; export's own CPU %.1f us per "
                    "follower; peak memory so far %.1f MB\n",
                    run.followers, run.seconds, double(run.followers) / run.seconds,
                    run.cpu * 1e6 / double(qMax<qint64>(run.followers, 1)), peakMegabytes());
        return true;
    };

    // The small run comes first: the peak after it, against the peak after the large one, shows
    // whether memory grows with the number of followers.
    const int small = qMax(bulk / 10, 1);
    std::printf("%d followers at 0 ms latency\n", small);
    if (!report(exportOnce(small, 0, out.path())))
        return 1;
    const double smallPeak = peakMegabytes();
    std::printf("%d followers at 0 ms latency\n", bulk);
    const Run fast = exportOnce(bulk, 0, out.path());
    if (!report(fast))
        return 1;
    std::printf("  target >= 20000 followers/s: %s\n",
                double(fast.followers) / fast.seconds >= 20000 ? "met" : "MISSED");
    std::printf("  peak memory at %d followers: %.1f MB (target < 100), %.2f x the peak at %d\n",
                bulk, peakMegabytes(), peakMegabytes() / smallPeak, small);

    std::printf("%d followers at 20 ms latency per request\n", slow);
    const Run lagged = exportOnce(slow, 20, out.path());
    if (!report(lagged))
        return 1;
    // Four hundreds in flight: the floor is one latency per four hundred followers, plus the list.
    const double floor =
        (double(lagged.followers) / 400.0 + double(lagged.followers) / 10000.0) * 0.020;
    std::printf("  target < 60 s: %s; the latency alone accounts for %.2f s (ratio %.2f)\n",
                lagged.seconds < 60 ? "met" : "MISSED", floor, lagged.seconds / floor);
    std::printf("  peak memory of the fake server: %.1f MB\n", peakMegabytes(true));
    return 0;
}
