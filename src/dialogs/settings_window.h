// What the settings dialogs share: database work off the GUI thread, and a close that waits for it.
#pragma once

#include "core/async.h"
#include "core/settings.h"

#include <QThreadPool>
#include <QWidget>

#include <functional>

namespace veltrano {

// A non-modal settings window whose loading and saving may wait seconds for a database server.
// That work runs on the global thread pool (never the batch worker, which may be busy for long)
// while the window is disabled and shows a wait cursor; its result comes back to the GUI thread.
// A close asked for meanwhile is held until the work is done, so a save is never cut short.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    // `live` holds the program's settings; it outlives the window.
    explicit SettingsWindow(SharedSettings &live, QWidget *parent = nullptr);

    // True while loading, saving or testing runs in the background.
    bool isBusy() const { return m_busy; }

protected:
    // Runs work() on the global pool, then done(result) on the GUI thread.
    template <class Work, class Done>
    void runInBackground(Work work, Done done)
    {
        using Result = decltype(work());
        beginWork();
        runThen(*QThreadPool::globalInstance(), this, std::move(work),
                [this, done = std::move(done)](const Result &result) mutable {
                    endWork([&] { done(result); });
                });
    }

    SharedSettings &live() const { return m_live; }

    // Asked when the window is to close and no work runs: true lets it go now; false keeps it
    // open, for instance because the close has just started a save (see closeWhenIdle).
    virtual bool readyToClose() { return true; }

    // Closes the window as soon as the background work has ended.
    void closeWhenIdle();

    void closeEvent(QCloseEvent *event) override;

private:
    void beginWork();
    void endWork(const std::function<void()> &applyResult);

    SharedSettings &m_live;
    bool m_busy = false;
    bool m_closeAsked = false;
    bool m_closed = false;
};

} // namespace veltrano
