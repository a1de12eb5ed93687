// What the settings dialogs share: database work off the GUI thread, and a close that waits for it.
#pragma once

#include <QFutureWatcher>
#include <QThreadPool>
#include <QWidget>
#include <QtConcurrent/QtConcurrentRun>

#include <functional>

namespace veltrano {

// A non-modal settings window whose loading and saving may wait seconds for a database server.
// That work runs on the global thread pool (never the batch worker, which may be busy for long)
// while the window is disabled and shows a wait cursor; its result comes back to the GUI thread.
// A close asked for meanwhile is held until the work is done, so a save is never cut short.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    explicit SettingsWindow(QWidget *parent = nullptr);

    // True while loading, saving or testing runs in the background.
    bool isBusy() const { return m_busy; }

protected:
    // Runs work() on the global pool, then done(result) on the GUI thread.
    template <class Work, class Done>
    void runInBackground(Work work, Done done)
    {
        using Result = decltype(work());
        beginWork();
        auto *watcher = new QFutureWatcher<Result>(this);
        connect(watcher, &QFutureWatcherBase::finished, this,
                [this, watcher, done = std::move(done)]() mutable {
                    const Result result = watcher->result();
                    watcher->deleteLater();
                    endWork([&] { done(result); });
                });
        watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), std::move(work)));
    }

    // Asked when the window is to close and no work runs: true lets it go now; false keeps it
    // open, for instance because the close has just started a save (see closeWhenIdle).
    virtual bool readyToClose() { return true; }

    // Closes the window as soon as the background work has ended.
    void closeWhenIdle();

    void closeEvent(QCloseEvent *event) override;

private:
    void beginWork();
    void endWork(const std::function<void()> &applyResult);

    bool m_busy = false;
    bool m_closeAsked = false;
    bool m_closed = false;
};

} // namespace veltrano
