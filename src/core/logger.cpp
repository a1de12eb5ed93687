// Log lines: one signal for every listener, and the daily file that keeps them after the window.
#include "core/logger.h"

#include "core/file_modes.h"

#include <QDir>
#include <QLocale>

#include <utility>

namespace veltrano {

Logger &Logger::instance()
{
    static Logger logger;
    return logger;
}

void Logger::log(const QString &message)
{
    const QDateTime now = QDateTime::currentDateTime();
    Q_EMIT lineLogged(now, message);
    QMutexLocker lock(&m_feedsMutex);
    if (m_feeds.isEmpty())
        return;
    const QString line = formatLogLine(now, message);
    for (LogFeed *feed : std::as_const(m_feeds)) {
        feed->m_pending.append(line);
        // A feed cannot go while the mutex is held: its destructor takes the mutex first.
        if (feed->m_pending.size() == 1)
            QMetaObject::invokeMethod(feed, &LogFeed::linesPending, Qt::QueuedConnection);
    }
}

LogFeed::LogFeed(QObject *parent) : QObject(parent)
{
    Logger &logger = Logger::instance();
    QMutexLocker lock(&logger.m_feedsMutex);
    logger.m_feeds.append(this);
}

LogFeed::~LogFeed()
{
    Logger &logger = Logger::instance();
    QMutexLocker lock(&logger.m_feedsMutex);
    logger.m_feeds.removeOne(this);
}

QStringList LogFeed::take()
{
    QMutexLocker lock(&Logger::instance().m_feedsMutex);
    return std::exchange(m_pending, {});
}

QString formatLogLine(const QDateTime &when, const QString &message)
{
    static const QLocale locale = QLocale::system();
    return locale.toString(when.date(), QLocale::ShortFormat) + u' '
           + when.time().toString(QStringLiteral("HH:mm:ss")) + message;
}

QString logExcerpt(const QString &text, int limit)
{
    QString folded = text.size() > limit ? text.left(limit) : text;
    folded.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
    folded.replace(u'\n', QLatin1String("\\n"));
    folded.replace(u'\r', QLatin1String("\\n"));
    if (text.size() > limit)
        folded += QStringLiteral("…（已截断，共%1个字符）").arg(text.size());
    return folded;
}

DailyLogFile::DailyLogFile(const QString &folder, QObject *parent)
    : QObject(parent), m_folder(folder)
{
    connect(&Logger::instance(), &Logger::lineLogged, this, &DailyLogFile::append,
            Qt::DirectConnection);
}

void DailyLogFile::append(const QDateTime &when, const QString &message)
{
    QMutexLocker lock(&m_mutex);
    if (!m_file.isOpen() || m_day != when.date() || !m_file.exists()) {
        m_file.close();
        m_day = when.date();
        QDir dir(m_folder);
        if (!dir.mkpath(QStringLiteral("logs")))
            return;
        m_file.setFileName(dir.filePath(QStringLiteral("logs/") + m_day.toString(u"yyyy-MM-dd")
                                        + QStringLiteral(".log")));
        const bool isNew = !m_file.exists();
        // A log that cannot be written must not stop the service; the window still shows the line.
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return;
        if (isNew)
            restrictToOwner(m_file);
    }
    m_file.write((formatLogLine(when, message) + u'\n').toUtf8());
}

StreamLogSink::StreamLogSink(FILE *stream, QObject *parent) : QObject(parent), m_stream(stream)
{
    connect(&Logger::instance(), &Logger::lineLogged, this, &StreamLogSink::append,
            Qt::DirectConnection);
}

void StreamLogSink::append(const QDateTime &when, const QString &message)
{
    QMutexLocker lock(&m_mutex);
    const QByteArray line = (formatLogLine(when, message) + u'\n').toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), m_stream);
    std::fflush(m_stream);
}

} // namespace veltrano
