// The headless runner: the send service driven by a one-second timer, stopped by SIGTERM or SIGINT.
#include "app/headless.h"

#include "app/service_notify.h"
#include "core/app_context.h"
#include "core/database.h"
#include "core/failure_text.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/secrets.h"
#include "core/send_service.h"
#include "core/settings.h"
#include "core/stop_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

namespace veltrano {
namespace {

void log(const QString &message)
{
    Logger::instance().log(message);
}

// Rows were due and the batch got none of them an answer or a local error text: WeChat, its
// token or the network stood in the way. A batch refused by the lease is not this case: another
// copy sends.
bool nothingSent(const BatchReport &report, int due)
{
    if (due <= 0 || report.posted > 0 || report.markedLocally > 0 || report.failure.isEmpty())
        return false;
    return report.ran ? report.endedEarly : report.tokenFailed;
}

// One tick a second. VELTRANO_TICK_MS shortens it, so tests and demos need not wait minutes.
int tickMilliseconds()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("VELTRANO_TICK_MS", &ok);
    return ok && ms > 0 ? ms : 1000;
}

} // namespace

int runHeadless(HeadlessMode mode, SharedSettings &live)
{
    DailyLogFile logFile(applicationFolder());
    ConsoleLogSink console(consoleOptions());
    // A reason that was logged already reached standard error through the console.
    const auto printError = [&console](const QString &text) {
        if (!endsTheRun(QStringLiteral("  ") + text))
            console.writeError(maskSecrets(text));
    };
    Settings settings = live.snapshot();
    LoadConnectionSettings(settings);
    live.update([&](Settings &s) { copyConnection(settings, s); });

    SendService service(live);

    int code = kExitOk;
    int due = 0; // --once: the rows waiting when the batch began
    bool finished = false;
    // The first reason to end decides the exit code.
    const auto finish = [&code, &finished](int exitCode) {
        if (finished)
            return;
        finished = true;
        code = exitCode;
        QCoreApplication::exit(exitCode);
    };

    ServiceNotifier systemd;
    QTimer ticker;
    ticker.setInterval(tickMilliseconds());
    QObject::connect(&ticker, &QTimer::timeout, &service, &SendService::tick);

    QObject::connect(&service, &SendService::batchFinished, &service,
                     [&](const BatchReport &report) {
                         if (report.ran) {
                             log(QStringLiteral(
                                     "  本批次结束：已发送 %1 条（其中被拒 %2 条），待发 %3 条")
                                     .arg(report.posted)
                                     .arg(report.refused)
                                     .arg(report.pending < 0 ? QStringLiteral("未知")
                                                             : QString::number(report.pending)));
                         }
                         if (mode != HeadlessMode::Once)
                             return;
                         if (nothingSent(report, due)) {
                             const QString summary =
                                 QStringLiteral("有 %1 条待发消息，本次一条也未能发出").arg(due);
                             console.writeError(
                                 maskSecrets(endsTheRun(QStringLiteral("  ") + report.failure)
                                                 ? summary
                                                 : summary + u'：' + report.failure));
                             finish(kExitNothingSent);
                         } else if (!report.ran) {
                             printError(report.failure.isEmpty() ? QStringLiteral("本批次未能运行")
                                                                 : report.failure);
                             finish(kExitFailed);
                         } else {
                             finish(kExitOk);
                         }
                     });

    // A stop lets the message in flight finish and its answer be written back, then ends.
    QObject::connect(&service, &SendService::shutDownFinished, &service, [&] { finish(kExitOk); });
    bool stopping = false;
    watchStopSignals(&service, [&] {
        if (stopping)
            return;
        stopping = true;
        ticker.stop();
        log(QStringLiteral("  收到停止信号，正在发送的消息完成后退出"));
        systemd.stopping();
        service.shutDown();
    });

    if (mode == HeadlessMode::Service) {
        QObject::connect(&service, &SendService::startFinished, &service,
                         [&](bool ok, const QString &reason) {
                             if (!ok) {
                                 printError(reason);
                                 finish(kExitFailed);
                                 return;
                             }
                             ticker.start();
                             systemd.ready();
                         });
        QTimer::singleShot(0, &service, &SendService::start);
    } else {
        // The batch reads its size and the account from sysParam, as a started service would have.
        // A missing SQLite file has nothing to send, so it is an error here rather than created.
        try {
            Database db(settings, 4, MissingFile::Fail);
            LoadParameters(db, settings);
            due = CountPending(db);
        } catch (const std::exception &e) {
            console.writeError(maskSecrets(
                QStringLiteral("服务启动失败，请检查数据库连接是否正确！") + causeOf(e)));
            return kExitFailed;
        }
        live.update([&](Settings &s) { copyParameters(settings, s); });
        QTimer::singleShot(0, &service, &SendService::runBatchNow);
    }

    QCoreApplication::exec();
    service.waitForIdle();
    return code;
}

int initDatabase()
{
    DailyLogFile logFile(applicationFolder());
    ConsoleLogSink console(consoleOptions());
    Settings settings;
    LoadConnectionSettings(settings);
    if (settings.driver != QStringLiteral("sqlite")) {
        console.writeError(
            QStringLiteral("--init-db 只创建 SQLite 数据库；SQL Server 请运行 %1")
                .arg(QDir(resourceFolder()).filePath(QStringLiteral("sql/sqlserver/schema.sql"))));
        return kExitFailed;
    }
    try {
        // A new file gets the schema and its full path is logged; an existing one is only opened.
        Database db(settings, 4, MissingFile::Create);
        Settings loaded = settings;
        LoadParameters(db, loaded);
    } catch (const std::exception &e) {
        console.writeError(QStringLiteral("无法创建数据库：") + causeOf(e));
        return kExitFailed;
    }
    Logger::instance().log(QStringLiteral("  数据库已就绪：可以向 tempmsg 添加消息"));
    return kExitOk;
}

} // namespace veltrano
