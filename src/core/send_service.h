// The send service without any window: minute counting, the schedule, start and stop, the batches.
#pragma once

#include "core/send_batch.h"
#include "core/settings.h"

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <memory>
#include <optional>

namespace veltrano {

class AnswerLedger;
class SenderLease;

// Where the answers the database refused are kept across restarts: answer-ledger.json in the
// application folder, keyed inside by queue.
QString answerLedgerFile();

// The one send service of a program, put together the same way for the window and for the
// headless runner: the live values it reads and mirrors what it loads into, the kept answers in
// answerLedgerFile(), its own lease, posts in flight from config.ini.
//
// Driven by whoever owns it: the main window forwards its one-second timer, the headless runner
// its own. Batches and the lease's upkeep run on the service's own worker thread, one at a time;
// everything else runs on the thread that owns the object, which is where the signals arrive.
//
// The ordering promises: one batch at a time and each runs to its end; ticks that fall due during a
// batch are not counted; a stop during a batch takes effect after it; a batch that has not begun
// when the service stops never begins.
class SendService : public QObject {
    Q_OBJECT
public:
    // `live` must outlive the service.
    explicit SendService(SharedSettings &live, QObject *parent = nullptr);
    // Stops, waits for the batch in flight to end and gives the lease up.
    ~SendService() override;

    // Re-reads config.ini, checks the connection and loads sysParam off this thread, then runs;
    // emits startFinished. A SQLite file that does not exist yet is created here, and only here.
    void start();
    void stop();
    // One second of the schedule.
    void tick();
    // Runs one batch now unless one runs already; batchFinished follows. Works stopped, too.
    void runBatchNow();
    // Ends as a stop signal asks: the batch in flight ends after the message in flight, its answer
    // stored; then the service stops, gives the lease up and emits shutDownFinished.
    void shutDown();
    // Blocks until the worker is idle.
    void waitForIdle();

    bool isRunning() const { return m_running; }
    bool isStarting() const { return m_starting; }
    bool isBatchRunning() const { return m_batchRunning; }
    int secondsCounted() const { return m_seconds; }
    int minutesCounted() const { return m_minutes; }
    // Ticks until the next batch falls due; nothing while stopped or with an unusable interval.
    std::optional<int> secondsToNextBatch() const;
    // The latest batch's report, once one has run.
    const std::optional<BatchReport> &lastReport() const { return m_lastReport; }
    // Rows waiting for a post as last counted (at start, then after each batch); -1 when unknown.
    int pendingCount() const { return m_pending; }

Q_SIGNALS:
    void startFinished(bool ok, const QString &reason);
    void stateChanged();
    void batchStarted();
    void batchFinished(const veltrano::BatchReport &report);
    void shutDownFinished();

private:
    void runBatch();
    void prepareLedgerAndLease(const Settings &settings);
    void minuteUpkeep(bool reloadParameters);
    void releaseLease();
    void finishShutDown();

    SharedSettings &m_live;
    const QString m_ledgerFile;
    QThreadPool m_worker; // batches and the lease, one at a time
    QThreadPool m_checks; // start checks, which must not wait behind a batch
    // Used only on the worker thread.
    std::unique_ptr<AnswerLedger> m_ledger;
    std::unique_ptr<SenderLease> m_lease;

    bool m_running = false;
    bool m_starting = false;
    bool m_batchRunning = false;
    bool m_shuttingDown = false;
    int m_seconds = 0;
    int m_minutes = 0;
    std::optional<QString> m_reportedBadInterval;
    std::optional<BatchReport> m_lastReport;
    int m_pending = -1;
    std::atomic<int> m_generation{0}; // a stop makes every start or batch not yet begun stale
    std::atomic<bool> m_abort{false};
};

} // namespace veltrano
