// The one logger the core reports through; the main window's log and the daily log file listen.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>

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

// Short date, a blank, the time with seconds, then the message (which brings its own two blanks).
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
    QFile m_file;  // today's file, kept open between lines
    QDate m_day;
    int m_lookedAt = -1; // the second of the day the file was last looked for
};

// Writes every logged line to a C stream (standard output for the headless service), flushed per line.
class StreamLogSink : public QObject {
    Q_OBJECT
public:
    explicit StreamLogSink(FILE *stream, QObject *parent = nullptr);
    void append(const QDateTime &when, const QString &message);

private:
    FILE *m_stream;
    QMutex m_mutex;
};

} // namespace veltrano
