// The send service: the schedule on the owner's thread, the batches and the lease on one worker.
#include "core/send_service.h"
#include "core/failure_text.h"

#include "core/answer_ledger.h"
#include "core/app_context.h"
#include "core/async.h"
#include "core/database.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/sender_lease.h"
#include "core/tick_counter.h"

#include <QDir>

namespace veltrano {
namespace {

constexpr int kStartCheckSeconds = 4;

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

// The exchange modes need the account's credentials; the central server needs its address.
void warnAboutMissingCredentials(const Settings &s)
{
    const std::optional<TokenMode> mode = tokenMode(s.get_token_mod);
    if (!mode)
        return; // the token request says so at every batch
    if (*mode != TokenMode::Central) {
        if (s.appid.trimmed().isEmpty())
            log(QStringLiteral(
                "  警告：appid 为空，获取 ACCESS_TOKEN 将失败，请在“公众号设置”中填写"));
        if (s.appsecret.trimmed().isEmpty())
            log(QStringLiteral(
                "  警告：appsecret 为空，获取 ACCESS_TOKEN 将失败，请在“公众号设置”中填写"));
    } else if (s.token_server.trimmed().isEmpty()) {
        log(QStringLiteral("  警告：中控服务器地址（token_server）为空，获取 ACCESS_TOKEN 将失败"));
    }
}

// Why an interval cannot schedule a batch, or nothing when it can.
std::optional<QString> badInterval(const QString &interval)
{
    const std::optional<int> minutes = wholeNumber(interval);
    if (!minutes)
        return QStringLiteral("  发送时间间隔（temp_timer）“%1”不是整数，不会发送消息")
            .arg(interval);
    if (*minutes <= 0)
        return QStringLiteral("  发送时间间隔（temp_timer）“%1”不是正整数，不会发送消息")
            .arg(interval);
    return std::nullopt;
}

} // namespace

QString answerLedgerFile()
{
    return QDir(applicationFolder()).filePath(QStringLiteral("answer-ledger.json"));
}

SendService::SendService(SharedSettings &live, QObject *parent)
    : QObject(parent), m_live(live), m_ledgerFile(answerLedgerFile())
{
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);
    m_checks.setMaxThreadCount(2);
}

SendService::~SendService()
{
    ++m_generation;
    if (m_running)
        releaseLease(); // the next start of any copy need not wait for it to expire
    m_worker.waitForDone();
    m_checks.waitForDone();
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
    runThen(
        m_checks, this,
        [settings = m_live.snapshot()] {
            StartCheck check;
            check.loaded = settings;
            // config.ini may have changed since the last start.
            LoadConnectionSettings(check.loaded);
            try {
                Database db(check.loaded, kStartCheckSeconds, MissingFile::Create);
                // Without its row every batch would fail while the window says it runs.
                SenderLease::prepare(db);
                try {
                    LoadParameters(db, check.loaded);
                } catch (const DbError &e) {
                    // The schedule can still run: each batch loads the parameters again.
                    log(QStringLiteral("  读取 sysParam 参数失败：") + causeOf(e));
                }
                try {
                    check.pending = CountPending(db);
                } catch (const DbError &) {
                    // Unknown until the first batch counts again.
                }
                check.ok = true;
            } catch (const std::exception &e) {
                check.cause = causeOf(e);
            }
            return check;
        },
        [this, generation](const StartCheck &check) {
            m_starting = false;
            m_live.update([&](Settings &s) {
                copyConnection(check.loaded, s);
                copyParameters(check.loaded, s);
            });
            if (generation != m_generation.load()) {
                Q_EMIT stateChanged();
                return; // stopped while the check ran
            }
            if (!check.ok) {
                const QString reason =
                    QStringLiteral("服务启动失败，请检查数据库连接是否正确！") + check.cause;
                log(QStringLiteral("  ") + reason);
                Q_EMIT stateChanged();
                Q_EMIT startFinished(false, reason);
                return;
            }
            m_pending = check.pending;
            log(QStringLiteral("  服务启动成功"));
            warnAboutMissingCredentials(check.loaded);
            if (!postsInFlight(check.loaded.posts_in_flight))
                log(QStringLiteral(
                        "  警告：config.ini 的 posts_in_flight=“%1”不是1到%2之间的整数，按%3发送")
                        .arg(check.loaded.posts_in_flight)
                        .arg(kMaxPostsInFlight)
                        .arg(kDefaultPostsInFlight));
            m_running = true;
            minuteUpkeep(false); // says at once when another copy holds the queue
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
    if (wasRunning)
        releaseLease();
    Q_EMIT stateChanged();
}

// After the batch in flight, if any: it still needs the lease to finish.
void SendService::releaseLease()
{
    m_worker.start([this, settings = m_live.snapshot()] {
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

void SendService::shutDown()
{
    if (m_shuttingDown)
        return;
    m_shuttingDown = true;
    if (m_batchRunning) {
        m_abort = true; // the batch's end goes on with the shut-down
        return;
    }
    finishShutDown();
}

void SendService::finishShutDown()
{
    if (m_running || m_starting)
        stop();
    // Behind the lease's release on the worker.
    runThen(
        m_worker, this, [] {}, [this] { Q_EMIT shutDownFinished(); });
}

void SendService::tick()
{
    if (m_batchRunning)
        return; // a tick that falls due during a batch is not counted

    TickCounter counter(m_seconds, m_minutes);
    const QString interval = m_live.snapshot().temp_timer;
    const TickCounter::Outcome outcome = counter.tick(interval, m_running);
    m_seconds = counter.seconds();
    m_minutes = counter.minutes();

    if (outcome == TickCounter::Outcome::BadInterval) {
        // Once per bad value, not once a minute.
        if (m_reportedBadInterval != interval) {
            m_reportedBadInterval = interval;
            log(badInterval(interval).value_or(QString()));
        }
        // No batch will read sysParam while the interval stays bad: look at it again every minute.
        if (m_running)
            minuteUpkeep(true);
        return;
    }
    if (outcome != TickCounter::Outcome::Counted)
        m_reportedBadInterval.reset();
    if (outcome == TickCounter::Outcome::MinutePassed && m_running)
        minuteUpkeep(false);
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
    runThen(
        m_worker, this,
        [this, generation, releaseAfter, settings = m_live.snapshot()]() mutable {
            std::optional<BatchReport> report;
            if (generation != m_generation.load())
                return report; // the service stopped before the batch began
            try {
                // The batch reads sysParam first; what it read becomes the live values.
                prepareLedgerAndLease(settings);
                BatchContext context{settings, m_ledger.get(), m_lease.get(), &m_abort,
                                     postsInFlight(settings.posts_in_flight)
                                         .value_or(kDefaultPostsInFlight)};
                report = RunSendBatch(context);
                if (report->parameters)
                    m_live.update([&](Settings &s) { copyParameters(*report->parameters, s); });
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
        },
        [this](const std::optional<BatchReport> &report) {
            m_batchRunning = false;
            if (report) {
                m_lastReport = report;
                if (report->ran)
                    m_pending = report->pending;
            }
            Q_EMIT stateChanged();
            Q_EMIT batchFinished(report.value_or(BatchReport{}));
            if (m_shuttingDown)
                finishShutDown();
        });
}

// On the worker: the ledger of the queue these settings name, and the lease that knows it, so a
// copy that keeps answers takes its own lease back after a restart.
void SendService::prepareLedgerAndLease(const Settings &settings)
{
    const QString key = AnswerLedger::queueKey(settings.driver, settings.host, settings.db);
    if (!m_ledger || m_ledger->queue() != key)
        m_ledger = std::make_unique<AnswerLedger>(m_ledgerFile, key);
    if (!m_lease)
        m_lease = std::make_unique<SenderLease>();
    m_lease->keepAnswersOf(m_ledger.get());
}

// Renews the lease between batches, so a copy that holds the queue keeps it and one that does not
// says so once per holder; with `reloadParameters` also takes sysParam's values into the live ones.
void SendService::minuteUpkeep(bool reloadParameters)
{
    m_worker.start([this, reloadParameters, generation = m_generation.load(),
                    settings = m_live.snapshot()] {
        if (generation != m_generation.load())
            return;
        try {
            prepareLedgerAndLease(settings);
            Database db(settings);
            if (reloadParameters) {
                Settings loaded = settings;
                LoadParameters(db, loaded);
                m_live.update([&](Settings &s) { copyParameters(loaded, s); });
            }
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
    const std::optional<int> interval = wholeNumber(m_live.snapshot().temp_timer);
    if (!m_running || !interval || *interval <= 0)
        return std::nullopt;
    return (60 - m_seconds) + 59 * std::max(0, *interval - m_minutes - 1);
}

void SendService::waitForIdle()
{
    m_worker.waitForDone();
}

} // namespace veltrano
