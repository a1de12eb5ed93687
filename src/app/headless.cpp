// The headless runner: the send service driven by a one-second timer, stopped by SIGTERM or SIGINT.
#include "app/headless.h"

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
#include <QTimer>

#include <cstdio>

namespace veltrano {
namespace {

void log(const QString &message)
{
    Logger::instance().log(message);
}

void printError(const QString &text)
{
    const QByteArray line = (maskSecrets(text) + u'\n').toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
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
    StreamLogSink console(stdout);
    Settings settings = live.snapshot();
    LoadConnectionSettings(settings);
    live.update([&](Settings &s) { copyConnection(settings, s); });

    SendService service(live);

    int code = kExitOk;
    bool finished = false;
    // The first reason to end decides the exit code.
    const auto finish = [&code, &finished](int exitCode) {
        if (finished)
            return;
        finished = true;
        code = exitCode;
        QCoreApplication::exit(exitCode);
    };

    QTimer ticker;
    ticker.setInterval(tickMilliseconds());
    QObject::connect(&ticker, &QTimer::timeout, &service, &SendService::tick);

    QObject::connect(&service, &SendService::batchFinished, &service, [&](const BatchReport &report) {
        if (report.ran) {
            log(QStringLiteral("  本批次结束：已发送 %1 条（其中被拒 %2 条），待发 %3 条")
                    .arg(report.posted)
                    .arg(report.refused)
                    .arg(report.pending < 0 ? QStringLiteral("未知") : QString::number(report.pending)));
        }
        if (mode == HeadlessMode::Once) {
            if (!report.ran)
                printError(report.failure.isEmpty() ? QStringLiteral("本批次未能运行") : report.failure);
            finish(report.ran ? kExitOk : kExitFailed);
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
                         });
        QTimer::singleShot(0, &service, &SendService::start);
    } else {
        // The batch reads its size and the account from sysParam, as a started service would have.
        // A missing SQLite file has nothing to send, so it is an error here rather than created.
        try {
            Database db(settings, 4, MissingFile::Fail);
            LoadParameters(db, settings);
        } catch (const std::exception &e) {
            printError(QStringLiteral("服务启动失败，请检查数据库连接是否正确！") + causeOf(e));
            return kExitFailed;
        }
        live.update([&](Settings &s) { copyParameters(settings, s); });
        QTimer::singleShot(0, &service, &SendService::runBatchNow);
    }

    QCoreApplication::exec();
    service.waitForIdle();
    return code;
}

} // namespace veltrano
