// Log lines: one signal for every listener, and the daily file that keeps them after the window.
#include "core/logger.h"

#include "core/file_modes.h"
#include "core/secrets.h"

#include <QDir>
#include <QSet>
#include <QThreadStorage>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltrano {

Logger &Logger::instance()
{
    static Logger logger;
    return logger;
}

namespace {

// The local time to the second. Turning the clock into local time costs microseconds, and a batch
// logs thousands of lines a second: each thread converts once per second.
// Qt's per-thread storage rather than thread_local: MinGW frees a thread's thread_local block
// before it runs the destructors of what lives in it, so a QString or QDateTime there corrupts the
// heap each time a worker thread ends.
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

void Logger::log(const QString &text)
{
    // Every sink hears the line through here, so no answer or cause can carry a secret past it.
    const QString message = maskSecrets(text);
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

QString formatTimeStamp(const QDateTime &when)
{
    // Digits only, in the order that sorts: the same under every locale and in a Chinese window.
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString formatLogLine(const QDateTime &when, const QString &message)
{
    // Lines come in bursts within one second: the date and time are formatted once per second.
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
        stamp = formatTimeStamp(when);
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

struct ConsoleLogSink::State {
    std::mutex mutex;
    std::condition_variable wake;    // a line is queued, or the sink goes
    std::condition_variable drained; // the queue is empty and nothing is being written
    std::deque<std::pair<int, QByteArray>> lines;
    qsizetype bytes = 0;
    qint64 dropped = 0; // lines that found the queue full since the last note about it
    bool writing = false;
    bool closing = false;
    QSet<int> broken; // streams whose reader has gone: nothing more is written to them
};

namespace {

// False once the stream cannot take more (its reader has gone); a full pipe makes this wait, but
// only on the sink's own writer thread.
bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
#ifdef _WIN32
        const int n = ::_write(fd, bytes.constData() + done, unsigned(bytes.size() - done));
#else
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
#endif
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void writeQueued(const std::shared_ptr<ConsoleLogSink::State> &state)
{
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->wake.wait(lock, [&] { return state->closing || !state->lines.empty(); });
        if (state->lines.empty()) {
            state->drained.notify_all();
            return; // closing
        }
        auto [fd, bytes] = std::move(state->lines.front());
        state->lines.pop_front();
        state->bytes -= bytes.size();
        if (state->broken.contains(fd))
            continue;
        state->writing = true;
        lock.unlock();
        const bool ok = writeAll(fd, bytes);
        lock.lock();
        state->writing = false;
        if (!ok)
            state->broken.insert(fd);
        if (state->lines.empty())
            state->drained.notify_all();
    }
}

} // namespace

ConsoleLogSink::ConsoleLogSink(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_state(std::make_shared<State>())
{
    m_writer = std::thread(writeQueued, m_state);
    connect(&Logger::instance(), &Logger::lineLogged, this, &ConsoleLogSink::append,
            Qt::DirectConnection);
}

ConsoleLogSink::~ConsoleLogSink()
{
    disconnect(&Logger::instance(), nullptr, this, nullptr);
    std::unique_lock lock(m_state->mutex);
    const bool drained = m_state->drained.wait_for(lock, std::chrono::seconds(2), [&] {
        return m_state->lines.empty() && !m_state->writing;
    });
    m_state->closing = true;
    m_state->wake.notify_all();
    lock.unlock();
    // The writer is waited for, so no thread of the program still runs while the process exits.
    // One still waiting on a stream nobody reads keeps the state it shares and ends with the
    // process.
    if (drained)
        m_writer.join();
    else
        m_writer.detach();
}

void ConsoleLogSink::append(const QDateTime &when, const QString &message)
{
    if (m_options.isFailure && m_options.isFailure(message)) {
        writeError(message.trimmed());
        return;
    }
    queue(m_options.outFd, m_options.timeStamps ? formatLogLine(when, message) : message.trimmed());
}

void ConsoleLogSink::writeError(const QString &text)
{
    queue(m_options.errFd, m_options.errorPriority ? QStringLiteral("<3>") + text : text);
}

void ConsoleLogSink::queue(int fd, const QString &line)
{
    QByteArray bytes = (line + u'\n').toUtf8();
    std::lock_guard lock(m_state->mutex);
    if (m_state->bytes + bytes.size() > kMaxQueuedBytes) {
        ++m_state->dropped;
        return;
    }
    if (m_state->dropped > 0) {
        // Said where the lines went missing, so a reader knows the daily file has them all.
        const QByteArray note =
            QStringLiteral("（输出阻塞，%1 行日志未写到此处，日志文件中完整保留）\n")
                .arg(std::exchange(m_state->dropped, 0))
                .toUtf8();
        m_state->bytes += note.size();
        m_state->lines.emplace_back(m_options.outFd, note);
    }
    m_state->bytes += bytes.size();
    m_state->lines.emplace_back(fd, std::move(bytes));
    m_state->wake.notify_one();
}

bool journalReads(int fd)
{
#ifdef Q_OS_UNIX
    // "device:inode" of the stream journald connected; a redirected stream no longer matches.
    const QByteArray named = qgetenv("JOURNAL_STREAM");
    if (named.isEmpty())
        return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    return named
           == QByteArray::number(quint64(info.st_dev)) + ':'
                  + QByteArray::number(quint64(info.st_ino));
#else
    Q_UNUSED(fd);
    return false;
#endif
}

} // namespace veltrano
