// Log lines: one signal for every listener, and the daily file that keeps them after the window.
#include "core/logger.h"

#include <QDir>
#include <QLocale>

namespace veltrano {

Logger &Logger::instance()
{
    static Logger logger;
    return logger;
}

void Logger::log(const QString &message)
{
    Q_EMIT lineLogged(QDateTime::currentDateTime(), message);
}

QString formatLogLine(const QDateTime &when, const QString &message)
{
    const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + u' '
           + when.time().toString(QStringLiteral("HH:mm:ss")) + message;
}

DailyLogFile::DailyLogFile(const QString &folder, QObject *parent)
    : QObject(parent), m_folder(folder)
{
    connect(&Logger::instance(), &Logger::lineLogged, this, &DailyLogFile::append);
}

void DailyLogFile::append(const QDateTime &when, const QString &message)
{
    QMutexLocker lock(&m_mutex);
    QDir dir(m_folder);
    if (!dir.mkpath(QStringLiteral("logs")))
        return;
    QFile file(dir.filePath(QStringLiteral("logs/") + when.date().toString(u"yyyy-MM-dd") + QStringLiteral(".log")));
    // A log that cannot be written must not stop the service; the window still shows the line.
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write((formatLogLine(when, message) + u'\n').toUtf8());
}

} // namespace veltrano
