// The one logger the core reports through; the main window's log and the daily log file listen.
#pragma once

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QObject>
#include <QString>

namespace veltrano {

class Logger : public QObject {
    Q_OBJECT
public:
    static Logger &instance();

    // Safe from any thread; listeners on the GUI thread receive the line through a queued signal.
    void log(const QString &message);

Q_SIGNALS:
    void lineLogged(const QDateTime &when, const QString &message);
};

// Short date, a blank, the time with seconds, then the message (which brings its own two blanks).
QString formatLogLine(const QDateTime &when, const QString &message);

// Appends every logged line to logs/YYYY-MM-DD.log in UTF-8, one file per day.
class DailyLogFile : public QObject {
    Q_OBJECT
public:
    explicit DailyLogFile(const QString &folder, QObject *parent = nullptr);
    void append(const QDateTime &when, const QString &message);

private:
    QString m_folder;
    QMutex m_mutex;
};

} // namespace veltrano
