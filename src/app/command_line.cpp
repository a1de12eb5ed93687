// The options, the help an admin reads, and the checks that turn a doomed start into one clear
// line.
#include "app/command_line.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace veltrano {

CommandLine::CommandLine()
    : start(QStringLiteral("start"),
            QStringLiteral("打开窗口并立即启动服务（用于开机自启）。\n"
                           "Open the window and start the service at once.")),
      service(QStringLiteral("service"),
              QStringLiteral("不打开窗口，按计划发送，直到收到 SIGTERM 或 Ctrl+C。\n"
                             "Run the send service without a window until SIGTERM or Ctrl+C.")),
      once(QStringLiteral("once"),
           QStringLiteral("不打开窗口，立即发送一个批次后退出。\n"
                          "Send one batch now without a window, then exit.")),
      initDb(QStringLiteral("init-db"),
             QStringLiteral(
                 "创建 config.ini 指定的 SQLite 数据库（表、视图和 sysParam 参数）后退出；"
                 "已有的数据库保持不变。\n"
                 "Create the SQLite queue config.ini names (tables, views, sysParam), then "
                 "exit; an existing one is left as it is.")),
      config(QStringLiteral("config"),
             QStringLiteral("读取指定的 config.ini。\nRead this config.ini instead."),
             QStringLiteral("FILE"))
{
    parser.setApplicationDescription(
        QStringLiteral("Veltrano：把数据库中排队的消息发送给微信公众号的粉丝。\n"
                       "Sends the messages queued in a database to the followers of a WeChat "
                       "Official Account."));
    parser.addOptions({start, service, once, initDb, config});
}

bool CommandLine::parse(const QStringList &arguments)
{
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("无法识别的参数 / unexpected argument: ")
                + parser.positionalArguments().join(u' ');
        return false;
    }
    const int modes = int(parser.isSet(start)) + int(parser.isSet(service))
                      + int(parser.isSet(once)) + int(parser.isSet(initDb));
    if (modes > 1) {
        error = QStringLiteral("--start、--service、--once 和 --init-db 只能选一个 / "
                               "choose one of --start, --service, --once, --init-db");
        return false;
    }
    return true;
}

bool CommandLine::wantsHelp() const
{
    return parser.isSet(help) || parser.isSet(QStringLiteral("help-all"));
}

bool CommandLine::headless() const
{
    return wantsHelp() || parser.isSet(version) || parser.isSet(service) || parser.isSet(once)
           || parser.isSet(initDb);
}

QString CommandLine::helpText() const
{
    const QString configFolder =
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return parser.helpText()
           + QStringLiteral(
                 "\nconfig.ini:\n"
                 "  不带 --config 时，程序文件夹可写（从构建目录运行）则读程序文件夹中的 "
                 "config.ini，\n"
                 "  安装后的程序读 %1/config.ini，日志和已保存的回答在 %2。\n"
                 "  系统服务 veltrano.service 读 /var/lib/veltrano/config.ini。\n"
                 "  Without --config: beside the program when its folder is writable; an "
                 "installed\n"
                 "  program reads %1/config.ini and keeps its logs in %2;\n"
                 "  the systemd unit reads /var/lib/veltrano/config.ini.\n"
                 "\n环境变量 / environment:\n"
                 "  VELTRANO_API_BASE  微信接口地址，默认 https://api.weixin.qq.com / WeChat API "
                 "base\n"
                 "  VELTRANO_TICK_MS   计划的一秒按多少毫秒计，仅供测试和演示 / schedule tick, "
                 "tests only\n"
                 "  XDG_CONFIG_HOME, XDG_DATA_HOME  上面两个用户文件夹的位置 / the user folders "
                 "above\n"
                 "  JOURNAL_STREAM     由 systemd 设置：输出行不带时间戳 / set by systemd: no time "
                 "stamps\n"
                 "  QT_QPA_PLATFORM    窗口所用的显示平台 / the display platform of the window\n"
                 "\n退出码 / exit codes:\n"
                 "  0 成功 ok\n"
                 "  1 无法启动或无法运行，原因在标准错误 / could not start or run (reason on "
                 "stderr)\n"
                 "  2 命令行有误 / bad command line\n"
                 "  3 --once：有待发消息，但一条也未能发出（网络、接口调用上限、ACCESS_TOKEN）/\n"
                 "    --once: messages were due and none could be posted\n")
                 .arg(configFolder, dataFolder);
}

std::optional<QString> configProblem(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.absoluteFilePath();
    if (!info.exists())
        return QStringLiteral("无法读取配置文件 %1：文件不存在 / no such file").arg(name);
    if (info.isDir())
        return QStringLiteral("无法读取配置文件 %1：这是一个文件夹 / is a folder").arg(name);
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("无法读取配置文件 %1：%2").arg(name, file.errorString());
    return std::nullopt;
}

std::optional<QString> displayProblem()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Only the display platforms need a display; offscreen, vnc and the framebuffer ones do not.
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    const bool needsDisplay =
        platform.isEmpty() || platform.startsWith(u"xcb") || platform.startsWith(u"wayland");
    if (needsDisplay && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QStringLiteral(
            "没有可用的显示（DISPLAY 和 WAYLAND_DISPLAY 均未设置），无法打开窗口；"
            "无显示时请使用 --service 或 --once / no display: use --service or --once");
#endif
    return std::nullopt;
}

void ignoreBrokenPipes()
{
#ifdef Q_OS_UNIX
    // A write to a stream whose reader has gone then fails with EPIPE, which the log sink handles.
    ::signal(SIGPIPE, SIG_IGN);
#endif
}

bool endsTheRun(const QString &message)
{
    static const QStringList openings = {
        QStringLiteral("  服务启动失败"),         QStringLiteral("  获取ACCESS_TOKEN失败"),
        QStringLiteral("  每次发送批量（temp）"), QStringLiteral("  数据库操作失败"),
        QStringLiteral("  发送批次意外中止"),
    };
    for (const QString &opening : openings) {
        if (message.startsWith(opening))
            return true;
    }
    // The copy that finds the queue taken skips its batch; the service waits for the lease instead.
    return message.startsWith(u"  另一个副本正在发送（") && message.endsWith(u"本副本跳过本批次");
}

ConsoleLogSink::Options consoleOptions()
{
    ConsoleLogSink::Options options;
    options.timeStamps = !journalReads(1);
    options.errorPriority = journalReads(2);
    options.isFailure = endsTheRun;
    return options;
}

} // namespace veltrano
