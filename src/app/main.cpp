// Starts Veltrano: the command line, the folders, then the window or the headless service.
#include "app/command_line.h"
#include "app/form1.h"
#include "app/headless.h"
#include "app/single_window.h"
#include "core/app_context.h"
#include "core/logger.h"
#include "core/process_exit.h"
#include "core/send_service.h"
#include "core/settings.h"
#include "core/stop_signals.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QThreadPool>
#include <QTranslator>

#include <cstdio>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("Veltrano"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELTRANO_VERSION));
}

int runWindow(QApplication &app, bool startService, veltrano::SharedSettings &live)
{
    QTranslator qtText;
    if (qtText.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtText);

    // A window already sends for this config.ini: it comes forward and this start ends.
    veltrano::SingleWindow single(veltrano::configFile());
    if (single.handedOver())
        return veltrano::kExitOk;

    veltrano::DailyLogFile logFile(veltrano::applicationFolder());

    // The program ends once none of its windows is open; a main window that is merely hidden in
    // the background still counts as open, so closing the last dialog must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    auto *form1 = new veltrano::Form1(live);
    form1->setAttribute(Qt::WA_DeleteOnClose);
    const QPointer<veltrano::Form1> window(form1);
    const auto quitWhenNoWindowOpen = [&app, mainWindow = QPointer<veltrano::Form1>(form1)] {
        if (mainWindow)
            return; // shown or hidden in the background, the main window is open
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->isVisible())
                return;
        }
        app.quit();
    };
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, quitWhenNoWindowOpen);
    QObject::connect(form1, &QObject::destroyed, &app, quitWhenNoWindowOpen, Qt::QueuedConnection);
    // A logout or shutdown ends the window as it ends --service: nothing half sent, the lease given
    // up.
    veltrano::watchStopSignals(form1, [form1] { form1->endOnStopSignal(); });
    QObject::connect(form1->service(), &veltrano::SendService::shutDownFinished, &app,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&single, &veltrano::SingleWindow::raiseRequested, form1, [form1] {
        form1->show();
        form1->setWindowState(form1->windowState() & ~Qt::WindowMinimized);
        form1->raise();
        form1->activateWindow();
    });
    form1->show();
    if (startService)
        QMetaObject::invokeMethod(form1, &veltrano::Form1::startsvr_Click, Qt::QueuedConnection);

    const int code = app.exec();
    // An export under way and a batch in flight end before the program goes: the window waits for
    // both when it goes, which a quit from the event loop may not have let it do yet.
    delete window.data();
    // A dialog's load or save, or a record query, may still wait on the database on the shared
    // pool; it reads the live settings, which go when this returns.
    QThreadPool::globalInstance()->waitForDone();
    return code;
}

int run(int argc, char *argv[])
{
#ifndef _WIN32
    // Settings, the SQLite queue, logs and workbooks hold secrets or follower data: whatever the
    // program creates is readable by its owner only.
    ::umask(077);
#endif
    veltrano::ignoreBrokenPipes();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // The program's live settings, handed to whatever needs them.
    veltrano::SharedSettings live;
    veltrano::CommandLine line;
    const bool usable = line.parse(arguments);
    const QString configOverride = line.parser.value(line.config);

    if (!usable || line.headless()) {
        // No QGuiApplication: no platform plugin loads, so no display is needed.
        QCoreApplication app(argc, argv);
        nameApplication();
        if (!usable) {
            print(stderr, line.error + QStringLiteral("\n使用 --help 查看用法 / see --help\n"));
            return veltrano::kExitUsage;
        }
        if (line.wantsHelp()) {
            print(stdout, line.helpText());
            return veltrano::kExitOk;
        }
        if (line.parser.isSet(line.version)) {
            print(stdout,
                  QStringLiteral("Veltrano %1\n").arg(QCoreApplication::applicationVersion()));
            return veltrano::kExitOk;
        }
        veltrano::chooseFolders(QCoreApplication::applicationDirPath(), configOverride);
        // Without a window nobody can fill in the settings: the file must be there.
        if (const auto problem = veltrano::configProblem(veltrano::configFile())) {
            print(stderr, *problem + u'\n');
            return veltrano::kExitFailed;
        }
        if (line.parser.isSet(line.initDb))
            return veltrano::initDatabase();
        return veltrano::runHeadless(line.parser.isSet(line.once) ? veltrano::HeadlessMode::Once
                                                                  : veltrano::HeadlessMode::Service,
                                     live);
    }

    // Qt would abort with a plugin message; an admin on a server needs the way out instead.
    if (const auto problem = veltrano::displayProblem()) {
        print(stderr, *problem + u'\n');
        return veltrano::kExitFailed;
    }
    if (!configOverride.isEmpty()) {
        if (const auto problem = veltrano::configProblem(configOverride)) {
            print(stderr, *problem + u'\n');
            return veltrano::kExitFailed;
        }
    }
    QApplication app(argc, argv);
    nameApplication();
    // The window belongs to veltrano.desktop (its icon and name in docks and on Wayland).
    QGuiApplication::setDesktopFileName(QStringLiteral("veltrano"));
    veltrano::chooseFolders(QCoreApplication::applicationDirPath(), configOverride);
    return runWindow(app, line.parser.isSet(line.start), live);
}

} // namespace

int main(int argc, char *argv[])
{
    return veltrano::endProcess(run(argc, argv));
}
