// Starts Veltrano: the command line, the folders, then the window or the headless service.
#include "app/form1.h"
#include "app/headless.h"
#include "core/app_context.h"
#include "core/logger.h"
#include "records/follower_export.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>

#include <cstdio>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

constexpr int kExitUsage = 2;

struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption start{QStringLiteral("start"),
                             QStringLiteral("打开窗口并立即启动服务（用于开机自启）。\n"
                                            "Open the window and start the service at once.")};
    QCommandLineOption service{QStringLiteral("service"),
                               QStringLiteral("不打开窗口，按计划发送，直到收到 SIGTERM 或 Ctrl+C。\n"
                                              "Run the send service without a window until SIGTERM or Ctrl+C.")};
    QCommandLineOption once{QStringLiteral("once"),
                            QStringLiteral("不打开窗口，立即发送一个批次后退出。\n"
                                           "Send one batch now without a window, then exit.")};
    QCommandLineOption config{QStringLiteral("config"),
                              QStringLiteral("读取指定的 config.ini。\nRead this config.ini instead."),
                              QStringLiteral("FILE")};
    QString error;

    CommandLine()
    {
        parser.setApplicationDescription(
            QStringLiteral("Veltrano：把数据库中排队的消息发送给微信公众号的粉丝。\n"
                           "Sends the messages queued in a database to the followers of a WeChat "
                           "Official Account.\n\n"
                           "退出码 / exit codes: 0 成功 ok; 1 无法启动或无法运行 could not start or run "
                           "(reason on stderr); 2 命令行有误 bad command line."));
        parser.addOptions({start, service, once, config});
    }

    // False with `error` set when the line cannot be used.
    bool parse(const QStringList &arguments)
    {
        if (!parser.parse(arguments)) {
            error = parser.errorText();
            return false;
        }
        if (!parser.positionalArguments().isEmpty()) {
            error = QStringLiteral("无法识别的参数 / unexpected argument: ") + parser.positionalArguments().join(u' ');
            return false;
        }
        const int modes = int(parser.isSet(start)) + int(parser.isSet(service)) + int(parser.isSet(once));
        if (modes > 1) {
            error = QStringLiteral("--start、--service 和 --once 只能选一个 / choose one of --start, --service, --once");
            return false;
        }
        return true;
    }

    bool wantsHelp() const { return parser.isSet(help) || parser.isSet(QStringLiteral("help-all")); }
    bool headless() const { return wantsHelp() || parser.isSet(version) || parser.isSet(service) || parser.isSet(once); }
};

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

int runWindow(QApplication &app, bool startService)
{
    QTranslator qtText;
    if (qtText.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtText);

    veltrano::DailyLogFile logFile(veltrano::applicationFolder());

    // The program ends once none of its windows is open; a main window that is merely hidden in
    // the background still counts as open, so closing the last dialog must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    auto *form1 = new veltrano::Form1;
    form1->setAttribute(Qt::WA_DeleteOnClose);
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
    form1->show();
    if (startService)
        QMetaObject::invokeMethod(form1, &veltrano::Form1::startsvr_Click, Qt::QueuedConnection);

    const int code = app.exec();
    // An export under way runs to its end before the program goes (a batch already has: the
    // window's send service waits for it when the window goes).
    veltrano::exportPool().waitForDone();
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
#ifndef _WIN32
    // Settings, the SQLite queue, logs and workbooks hold secrets or follower data: whatever the
    // program creates is readable by its owner only.
    ::umask(077);
#endif
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine line;
    const bool usable = line.parse(arguments);

    if (!usable || line.headless()) {
        // No QGuiApplication: no platform plugin loads, so no display is needed.
        QCoreApplication app(argc, argv);
        nameApplication();
        if (!usable) {
            print(stderr, line.error + QStringLiteral("\n使用 --help 查看用法 / see --help\n"));
            return kExitUsage;
        }
        if (line.wantsHelp()) {
            print(stdout, line.parser.helpText());
            return 0;
        }
        if (line.parser.isSet(line.version)) {
            print(stdout, QStringLiteral("Veltrano %1\n").arg(QCoreApplication::applicationVersion()));
            return 0;
        }
        veltrano::chooseFolders(QCoreApplication::applicationDirPath(), line.parser.value(line.config));
        return veltrano::runHeadless(line.parser.isSet(line.once) ? veltrano::HeadlessMode::Once
                                                                  : veltrano::HeadlessMode::Service);
    }

    QApplication app(argc, argv);
    nameApplication();
    veltrano::chooseFolders(QCoreApplication::applicationDirPath(), line.parser.value(line.config));
    return runWindow(app, line.parser.isSet(line.start));
}
