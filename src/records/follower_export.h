// The "粉丝导出" command: confirm, export on its own thread with a progress dialog, then open the
// file.
#pragma once

#include "core/followers.h"

#include <QDateTime>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QThreadPool;
class QWidget;

namespace veltrano {

// The folder exported workbooks go to: the user's documents folder, unless set here (tests and the
// benchmark point it at a folder of their own; an empty text returns to the documents folder).
void setExportFolder(const QString &folder);
QString exportFolder();

// "粉丝导出_YYYYMMDD_HHMMSS.xlsx" for the moment given.
QString exportFileName(const QDateTime &when);

// Opens a finished workbook with the desktop's program for it; false when nothing could. Tests
// replace it so no spreadsheet program starts; an empty function restores the desktop's.
void setWorkbookOpener(std::function<bool(const QString &path)> opener);

struct WorkbookExportOutcome {
    FollowerExportOutcome export_;
    QString path; // the saved workbook, when the export finished
};

// The work itself, for the export's thread: the export into a workbook written under a temporary
// name in `folder` (created when missing) and renamed to exportFileName(when) once complete. A
// cancel or a failure leaves no file behind.
WorkbookExportOutcome exportFollowersToWorkbook(const Settings &connection, const QString &folder,
                                                const QDateTime &when,
                                                const FollowerExportControl &control = {});

// One run of the command, owned by the window that started it.
class FollowerExport : public QObject {
    Q_OBJECT
public:
    // `live` holds the program's settings and `pool` is the export's own thread, apart from the
    // send batches' worker; both outlive the run.
    explicit FollowerExport(SharedSettings &live, QThreadPool &pool, QWidget *window);
    // A run still under way is cancelled; its thread drops the file and stops within a fraction of
    // a second.
    ~FollowerExport() override;

    static QString confirmationText();

    // Asks for confirmation; on OK starts the export on its thread and returns true. Any other
    // answer returns false with nothing done.
    bool start();
    bool isRunning() const;
    QProgressDialog *progressDialog() const { return m_progress; }

Q_SIGNALS:
    // The run has ended (finished, failed or cancelled) and every message has been shown.
    void finished();

private:
    void onProgress();
    void onFinished();

    SharedSettings &m_live;
    QThreadPool &m_pool;
    QPointer<QWidget> m_window;
    QPointer<QProgressDialog> m_progress;
    struct RunState;
    QFutureWatcher<void> m_watcher;
    QTimer m_progressTimer;
    std::shared_ptr<RunState> m_state;
};

} // namespace veltrano
