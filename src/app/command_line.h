// The command line: its options and help, the checks made before any window or service starts,
// and where the headless modes write their lines.
#pragma once

#include "core/logger.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

namespace veltrano {

// Exit codes (--help lists them).
inline constexpr int kExitOk = 0;          // ran (WeChat may still have refused messages)
inline constexpr int kExitFailed = 1;      // could not start or run; the reason is on stderr
inline constexpr int kExitUsage = 2;       // the command line cannot be used
inline constexpr int kExitNothingSent = 3; // --once: messages were due and none could be posted

struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption start;
    QCommandLineOption service;
    QCommandLineOption once;
    QCommandLineOption initDb;
    QCommandLineOption config;
    QString error;

    CommandLine();
    // False with `error` set when the line cannot be used.
    bool parse(const QStringList &arguments);
    bool wantsHelp() const;
    // Help, version and the modes that need no window.
    bool headless() const;
    // The help text, with the folders this user's installed program reads (call once named).
    QString helpText() const;
};

// Why the settings file cannot be read (it names the file and the cause), or nothing.
std::optional<QString> configProblem(const QString &path);

// Why no window can open here (one line naming --service and --once), or nothing.
std::optional<QString> displayProblem();

// A reader that went away (`| head`, a closed terminal) must not end the program mid-batch.
void ignoreBrokenPipes();

// Where --service and --once write: log lines to standard output once, the lines that end a run
// to standard error only, and no time stamp of their own where journald reads them.
ConsoleLogSink::Options consoleOptions();
// True for the messages that end a start or a batch, which go to standard error.
bool endsTheRun(const QString &message);

} // namespace veltrano
