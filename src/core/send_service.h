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
    explicit SendService(QObject *parent = nullptr);
    // Stops, and waits for the batch in flight to end.
    ~SendService() override;

    // The connection fields and parameters the next start, tick and batch use.
    void setSettings(const Settings &settings);
    Settings settings() const { return m_settings; }
    // Where answers the database refused are kept across restarts ("" keeps them in memory only).
    void setLedgerFile(const QString &path) { m_ledgerFile = path; }

    // Checks the connection and loads sysParam off this thread, then runs; emits startFinished.
    // A SQLite file that does not exist yet is created here, and only here.
    void start();
    void stop();
    // One second of the schedule.
    void tick();
    // Runs one batch now unless one runs already; batchFinished follows. Works stopped, too.
    void runBatchNow();
    // The batch in flight ends after the message in flight (a signal to end the program).
    void abortBatch() { m_abort = true; }
    // Blocks until the worker is idle.
    void waitForIdle();

    bool isRunning() const { return m_running; }
    bool isStarting() const { return m_starting; }
    bool isBatchRunning() const { return m_batchRunning; }
    int secondsCounted() const { return m_seconds; }
    int minutesCounted() const { return m_minutes; }
    // Restores the counters (the window keeps them in its hidden boxes).
    void setCounters(int seconds, int minutes);
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
    // sysParam values a batch loaded, for whoever mirrors them.
    void parametersLoaded(const veltrano::Settings &settings);

private:
    void runBatch();
    void keepLease();

    Settings m_settings;
    QString m_ledgerFile;
    QThreadPool m_worker;
    // Used only on the worker thread.
    std::unique_ptr<AnswerLedger> m_ledger;
    std::unique_ptr<SenderLease> m_lease;

    bool m_running = false;
    bool m_starting = false;
    bool m_batchRunning = false;
    int m_seconds = 0;
    int m_minutes = 0;
    std::optional<QString> m_reportedBadInterval;
    std::optional<BatchReport> m_lastReport;
    int m_pending = -1;
    std::atomic<int> m_generation{0}; // a stop makes every start or batch not yet begun stale
    std::atomic<bool> m_abort{false};
};

} // namespace veltrano
