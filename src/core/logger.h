// The one logger the core reports through; the main window's log and the daily log file listen.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <thread>

namespace veltrano {

class LogFeed;

class Logger : public QObject {
    Q_OBJECT
public:
    static Logger &instance();

    // Safe from any thread. Sinks connected with Qt::DirectConnection (the daily file, standard
    // output) write on the logging thread, so no line is lost when the window or its event loop
    // is gone; windows receive the line through a queued signal. Secrets are masked first.
    void log(const QString &text);

Q_SIGNALS:
    void lineLogged(const QDateTime &when, const QString &message);

private:
    friend class LogFeed;
    QMutex m_feedsMutex;
    QList<LogFeed *> m_feeds;
};

// Formatted lines for one window, gathered on whatever thread logs them and handed over in bunches:
// a burst of lines wakes the window's thread once, not once per line.
class LogFeed : public QObject {
    Q_OBJECT
public:
    explicit LogFeed(QObject *parent = nullptr);
    ~LogFeed() override;
    // The lines logged since the last take, oldest first.
    QStringList take();

Q_SIGNALS:
    // Lines wait to be taken; emitted on the feed's own thread, once per bunch.
    void linesPending();

private:
    friend class Logger;
    QStringList m_pending; // guarded by the logger's m_feedsMutex
};

// "yyyy-MM-dd HH:mm:ss" in local time, whatever the locale: log lines and the send records.
QString formatTimeStamp(const QDateTime &when);
// The time stamp, then the message (which brings its own two blanks).
QString formatLogLine(const QDateTime &when, const QString &message);

// An answer or other outside text fit for one log line: line breaks folded to "\n" so no text can
// forge a line of its own, and cut after `limit` characters with a visible mark.
QString logExcerpt(const QString &text, int limit = 2048);

// Appends every logged line to logs/YYYY-MM-DD.log in UTF-8, one file per day, on the thread that
// logs it. The file is readable by its owner only: answers name followers.
class DailyLogFile : public QObject {
    Q_OBJECT
public:
    explicit DailyLogFile(const QString &folder, QObject *parent = nullptr);
    void append(const QDateTime &when, const QString &message);

private:
    QString m_folder;
    QMutex m_mutex;
    QFile m_file; // today's file, kept open between lines
    QDate m_day;
    int m_lookedAt = -1; // the second of the day the file was last looked for
};

// Standard output and standard error of the headless service. The logging thread only queues a
// line; a writer thread of the sink's own writes it. A stream nobody reads (a full pipe) or nobody
// keeps (a closed pipe, `| head`) therefore never holds up a batch or a stop signal: past
// kMaxQueuedBytes lines are dropped and counted, and a broken stream takes no more lines.
class ConsoleLogSink : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype kMaxQueuedBytes = 4 * 1024 * 1024;

    struct Options {
        int outFd = 1;
        int errFd = 2;
        // Lines without a time stamp of their own (journald stamps every line it reads).
        bool timeStamps = true;
        // Messages that go to standard error instead of standard output, written without their
        // leading blanks (and, for journald, ranked as errors).
        std::function<bool(const QString &message)> isFailure;
        // journald reads standard error: its lines start with the error priority.
        bool errorPriority = false;
    };

    explicit ConsoleLogSink(Options options, QObject *parent = nullptr);
    // Waits up to two seconds for the queued lines to be written, then leaves the rest.
    ~ConsoleLogSink() override;

    void append(const QDateTime &when, const QString &message);
    // One line on standard error, outside the log (a reason to stop that was never logged).
    void writeError(const QString &text);

    struct State;

private:
    void queue(int fd, const QString &line);

    Options m_options;
    std::shared_ptr<State> m_state;
    std::thread m_writer;
};

// True when journald reads `fd`: systemd names the stream it connected in JOURNAL_STREAM.
bool journalReads(int fd);

} // namespace veltrano
