// Log lines: one signal for every listener, and the daily file that keeps them after the window.
#include "core/logger.h"

#include "core/file_modes.h"

#include <QDir>
#include <QLocale>
#include <QThreadStorage>

#include <utility>

namespace veltrano {

Logger &Logger::instance()
{
    static Logger logger;
    return logger;
}

namespace {

// The local time to the second. Turning the clock into local time costs microseconds, and a batch
// logs thousands of lines a second: each thread converts once per second.
// Qt's per-thread storage rather than thread_local: MinGW frees a thread's thread_local block before
// it runs the destructors of what lives in it, so a QString or QDateTime there corrupts the heap
// each time a worker thread ends.
struct SecondCache {
    qint64 second = -1;
    QDateTime when;
};
QThreadStorage<SecondCache> secondCache;

QDateTime currentSecond()
{
    qint64 &second = secondCache.localData().second;
    QDateTime &when = secondCache.localData().when;
    const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (now != second) {
        second = now;
        when = QDateTime::fromSecsSinceEpoch(now);
    }
    return when;
}

} // namespace

void Logger::log(const QString &message)
{
    const QDateTime now = currentSecond();
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
    // Lines come in bursts within one second: the date and time are formatted once per second.
    static const QLocale locale = QLocale::system();
    struct StampCache {
        QDate day;
        int second = -1;
        QString stamp;
    };
    static QThreadStorage<StampCache> cache;
    QDate &day = cache.localData().day;
    int &second = cache.localData().second;
    QString &stamp = cache.localData().stamp;
    const QDate date = when.date();
    const QTime time = when.time();
    if (date != day || time.msecsSinceStartOfDay() / 1000 != second) {
        day = date;
        second = time.msecsSinceStartOfDay() / 1000;
        stamp = locale.toString(date, QLocale::ShortFormat) + u' ' + time.toString(QStringLiteral("HH:mm:ss"));
    }
    return stamp + message;
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
    // A file deleted or moved away is opened anew; looking for it by path costs more than writing
    // the line, so that is done once a second.
    const int second = when.time().msecsSinceStartOfDay() / 1000;
    const bool look = second != m_lookedAt;
    m_lookedAt = second;
    if (!m_file.isOpen() || m_day != when.date() || (look && !m_file.exists())) {
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
