// The send service: the schedule on the owner's thread, the batches and the lease on one worker.
#include "core/send_service.h"

#include "core/answer_ledger.h"
#include "core/database.h"
#include "core/logger.h"
#include "core/sender_lease.h"
#include "core/tick_counter.h"

#include <QtConcurrent/QtConcurrentRun>

namespace veltrano {
namespace {

void log(const QString &message)
{
    Logger::instance().log(message);
}

struct StartCheck {
    bool ok = false;
    QString cause;
    Settings loaded;
    int pending = -1;
};

// Mode 1 and 3 exchange the account's credentials; any other mode asks the central server.
void warnAboutMissingCredentials(const Settings &s)
{
    const QString mode = s.get_token_mod.trimmed();
    if (mode == QLatin1String("1") || mode == QLatin1String("3")) {
        if (s.appid.trimmed().isEmpty())
            log(QStringLiteral("  警告：appid 为空，获取 ACCESS_TOKEN 将失败，请在“公众号设置”中填写"));
        if (s.appsecret.trimmed().isEmpty())
            log(QStringLiteral("  警告：appsecret 为空，获取 ACCESS_TOKEN 将失败，请在“公众号设置”中填写"));
    } else if (s.token_server.trimmed().isEmpty()) {
        log(QStringLiteral("  警告：中控服务器地址（token_server）为空，获取 ACCESS_TOKEN 将失败"));
    }
}

} // namespace

SendService::SendService(QObject *parent) : QObject(parent)
{
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);
}

SendService::~SendService()
{
    ++m_generation;
    m_worker.waitForDone();
}

void SendService::setSettings(const Settings &settings)
{
    m_settings = settings;
}

void SendService::setCounters(int seconds, int minutes)
{
    m_seconds = seconds;
    m_minutes = minutes;
}

void SendService::start()
{
    if (m_running || m_starting)
        return;
    m_starting = true;
    Q_EMIT stateChanged();
    const int generation = ++m_generation;
    // The check may wait on a login time-out, so it never runs on the owner's thread; nor on the
    // worker, where it would wait behind a batch still running from before a stop.
    QtConcurrent::run([settings = m_settings]() {
        StartCheck check;
        check.loaded = settings;
        try {
            Database db(settings, 4, MissingFile::Create);
            SenderLease::prepare(db); // else every batch would fail while the window says it runs
            try {
                LoadParameters(db, check.loaded);
            } catch (const DbError &e) {
                // The schedule can still run: each batch loads the parameters again.
                log(QStringLiteral("  读取 sysParam 参数失败：") + QString::fromUtf8(e.what()));
            }
            try {
                check.pending = CountPending(db);
            } catch (const DbError &) {
                // Unknown until the first batch counts again.
            }
            check.ok = true;
        } catch (const std::exception &e) {
            check.cause = QString::fromUtf8(e.what());
        }
        return check;
    }).then(this, [this, generation](const StartCheck &check) {
        m_starting = false;
        if (generation != m_generation.load()) {
            Q_EMIT stateChanged();
            return; // stopped while the check ran
        }
        if (!check.ok) {
            const QString reason = QStringLiteral("服务启动失败，请检查数据库连接是否正确！") + check.cause;
            log(QStringLiteral("  ") + reason);
            Q_EMIT stateChanged();
            Q_EMIT startFinished(false, reason);
            return;
        }
        m_settings = check.loaded;
        m_pending = check.pending;
        Q_EMIT parametersLoaded(m_settings);
        log(QStringLiteral("  服务启动成功"));
        warnAboutMissingCredentials(m_settings);
        if (!postsInFlight(m_settings.posts_in_flight))
            log(QStringLiteral("  警告：config.ini 的 posts_in_flight=“%1”不是1到%2之间的整数，按%3发送")
                    .arg(m_settings.posts_in_flight)
                    .arg(kMaxPostsInFlight)
                    .arg(kDefaultPostsInFlight));
        m_running = true;
        keepLease(); // says at once when another copy holds the queue
        Q_EMIT stateChanged();
        Q_EMIT startFinished(true, QString());
    });
}

void SendService::stop()
{
    ++m_generation;
    const bool wasRunning = m_running;
    m_running = false;
    m_starting = false;
    log(QStringLiteral("  服务停止"));
    if (wasRunning) {
        // After the batch in flight, if any: it still needs the lease to finish.
        m_worker.start([this, settings = m_settings] {
            try {
                if (m_lease) {
                    Database db(settings);
                    m_lease->release(db);
                }
            } catch (const std::exception &) {
                // The lease expires by itself.
            }
        });
    }
    Q_EMIT stateChanged();
}

void SendService::tick()
{
    if (m_batchRunning)
        return; // a tick that falls due during a batch is not counted

    TickCounter counter(m_seconds, m_minutes);
    const QString interval = m_settings.temp_timer;
    const TickCounter::Outcome outcome = counter.tick(interval, m_running);
    m_seconds = counter.seconds();
    m_minutes = counter.minutes();

    if (outcome == TickCounter::Outcome::BadInterval) {
        // Once per bad value, not once a minute.
        if (m_reportedBadInterval != interval) {
            m_reportedBadInterval = interval;
            log(QStringLiteral("  发送时间间隔（temp_timer）“%1”不是整数，不会发送消息").arg(interval));
        }
        return;
    }
    if (outcome != TickCounter::Outcome::Counted)
        m_reportedBadInterval.reset();
    if (outcome == TickCounter::Outcome::MinutePassed && m_running)
        keepLease();
    if (outcome == TickCounter::Outcome::BatchDue)
        runBatch();
}

void SendService::runBatchNow()
{
    if (!m_batchRunning)
        runBatch();
}

void SendService::runBatch()
{
    m_batchRunning = true;
    m_abort = false;
    Q_EMIT batchStarted();
    Q_EMIT stateChanged();
    const int generation = m_generation.load();
    const bool releaseAfter = !m_running; // a single batch of a stopped service (--once)
    QtConcurrent::run(&m_worker, [this, generation, releaseAfter, settings = m_settings] {
        std::optional<BatchReport> report;
        if (generation != m_generation.load())
            return report; // the service stopped before the batch began
        try {
            const QString key = AnswerLedger::queueKey(settings.driver, settings.host, settings.db);
            if (!m_ledger || m_ledger->queue() != key)
                m_ledger = std::make_unique<AnswerLedger>(m_ledgerFile, key);
            if (!m_lease)
                m_lease = std::make_unique<SenderLease>();
            BatchContext context{settings, m_ledger.get(), m_lease.get(), &m_abort,
                                 postsInFlight(settings.posts_in_flight).value_or(kDefaultPostsInFlight)};
            report = RunSendBatch(context);
            if (releaseAfter) {
                Database db(settings);
                m_lease->release(db);
            }
        } catch (...) {
            // The batch boundary: nothing may leave the service unable to send again.
            if (!report) {
                report.emplace();
                report->failure = QStringLiteral("发送批次意外中止");
                report->endedEarly = true;
                log(QStringLiteral("  ") + report->failure);
            }
        }
        return report;
    }).then(this, [this](const std::optional<BatchReport> &report) {
        m_batchRunning = false;
        if (report) {
            m_lastReport = report;
            if (report->ran)
                m_pending = report->pending;
            if (report->parameters) {
                m_settings = *report->parameters;
                Q_EMIT parametersLoaded(m_settings);
            }
        }
        Q_EMIT stateChanged();
        Q_EMIT batchFinished(report.value_or(BatchReport{}));
    });
}

// Renews the lease between batches, so a copy that holds the queue keeps it and one that does not
// says so once per holder.
void SendService::keepLease()
{
    m_worker.start([this, generation = m_generation.load(), settings = m_settings] {
        if (generation != m_generation.load())
            return;
        try {
            if (!m_lease)
                m_lease = std::make_unique<SenderLease>();
            Database db(settings);
            const bool wasHeld = m_lease->held();
            const QString before = m_lease->holder();
            if (m_lease->acquire(db)) {
                if (!wasHeld && !before.isEmpty())
                    log(QStringLiteral("  已取得发送权，本副本开始发送"));
            } else if (m_lease->holder() != before) {
                log(QStringLiteral("  另一个副本正在发送（%1），本副本暂不发送，待其停止后自动接替")
                        .arg(m_lease->holder()));
            }
        } catch (const std::exception &) {
            // The next batch reports a database that does not answer.
        }
    });
}

std::optional<int> SendService::secondsToNextBatch() const
{
    const std::optional<int> interval = TickCounter::wholeNumber(m_settings.temp_timer);
    if (!m_running || !interval || *interval <= 0)
        return std::nullopt;
    return (60 - m_seconds) + 59 * std::max(0, *interval - m_minutes - 1);
}

void SendService::waitForIdle()
{
    m_worker.waitForDone();
}

} // namespace veltrano
