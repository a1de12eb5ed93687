// The follower export as the user meets it: the question, the progress, the file and its opening.
#include "records/follower_export.h"

#include "core/failure_text.h"
#include "core/logger.h"
#include "records/follower_workbook.h"
#include "ui/message_box.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProgressDialog>
#include <QPromise>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <climits>
#include <memory>

namespace veltrano {
namespace {

struct ExportPlace {
    QMutex mutex;
    QString folder;
    std::function<bool(const QString &)> opener;
};

ExportPlace &place()
{
    static ExportPlace p;
    return p;
}

bool openWithDesktop(const QString &path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

// A second export within the same second must not overwrite the first one's file.
QString freeFileName(const QDir &dir, const QDateTime &when)
{
    const QString name = exportFileName(when);
    if (!QFile::exists(dir.filePath(name)))
        return name;
    const QString stem = name.chopped(5); // without ".xlsx"
    for (int n = 2;; ++n) {
        const QString candidate = stem + u'_' + QString::number(n) + QStringLiteral(".xlsx");
        if (!QFile::exists(dir.filePath(candidate)))
            return candidate;
    }
}

WorkbookExportOutcome failed(const QString &message)
{
    WorkbookExportOutcome out;
    out.export_.status = FollowerExportOutcome::Status::Failed;
    out.export_.message = message;
    return out;
}

} // namespace

// What the worker hands back; shared, so a window that has gone away leaves nothing dangling.
struct FollowerExport::RunState {
    WorkbookExportOutcome outcome;
    // Followers read and the total, as the export's thread last reported them. The window reads
    // them on a timer: progress through the future is thinned out and could leave a stale count
    // standing while WeChat is slow to answer the next hundred.
    std::atomic<qint64> read{0};
    std::atomic<qint64> total{0};
};

void setExportFolder(const QString &folder)
{
    QMutexLocker lock(&place().mutex);
    place().folder = folder;
}

QString exportFolder()
{
    QMutexLocker lock(&place().mutex);
    if (!place().folder.isEmpty())
        return place().folder;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return documents.isEmpty() ? QDir::homePath() : documents;
}

QString exportFileName(const QDateTime &when)
{
    return QStringLiteral("粉丝导出_") + when.toString(QStringLiteral("yyyyMMdd_HHmmss"))
           + QStringLiteral(".xlsx");
}

void setWorkbookOpener(std::function<bool(const QString &)> opener)
{
    QMutexLocker lock(&place().mutex);
    place().opener = std::move(opener);
}

WorkbookExportOutcome exportFollowersToWorkbook(const Settings &connection, const QString &folder,
                                                const QDateTime &when,
                                                const FollowerExportControl &control)
{
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral(".")))
        return failed(QStringLiteral("无法创建导出文件夹 ") + QDir::toNativeSeparators(folder));
    const QString finalPath = dir.filePath(freeFileName(dir, when));
    // Written under a temporary name and renamed only once complete, so a cancelled or failed
    // export never leaves a file that looks finished.
    const QString partPath =
        dir.filePath(u'.' + QFileInfo(finalPath).fileName() + QStringLiteral(".part"));

    WorkbookExportOutcome out;
    try {
        FollowerWorkbook book(partPath);
        out.export_ = ExportFollowers(connection, book, control);
        const bool cancelled = control.cancelled && control.cancelled();
        if (out.export_.status != FollowerExportOutcome::Status::Finished || cancelled) {
            book.discard();
            if (cancelled)
                out.export_.status = FollowerExportOutcome::Status::Cancelled;
            return out;
        }
        book.finish();
    } catch (const ExportSinkError &e) {
        QFile::remove(partPath);
        return failed(causeOf(e));
    }
    if (!QFile::rename(partPath, finalPath)) {
        QFile::remove(partPath);
        return failed(QStringLiteral("无法保存导出文件 ") + QDir::toNativeSeparators(finalPath));
    }
    out.path = finalPath;
    return out;
}

FollowerExport::FollowerExport(SharedSettings &live, QThreadPool &pool, QWidget *window)
    : QObject(window), m_live(live), m_pool(pool), m_window(window)
{
    m_progressTimer.setInterval(100);
    connect(&m_progressTimer, &QTimer::timeout, this, &FollowerExport::onProgress);
    connect(&m_watcher, &QFutureWatcher<void>::finished, this, &FollowerExport::onFinished);
}

FollowerExport::~FollowerExport()
{
    if (isRunning())
        m_watcher.cancel();
    if (m_progress)
        delete m_progress;
}

QString FollowerExport::confirmationText()
{
    return QStringLiteral("根据粉丝数量的多少，导出到EXCEL时间可能会比较长，请耐心等待！")
           + QStringLiteral("\r\n") + QStringLiteral("请确认是否立即导出？");
}

bool FollowerExport::start()
{
    if (isRunning())
        return false;
    const auto answer = ui::showMessage(m_window, confirmationText(), QStringLiteral("提示"),
                                        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoIcon);
    if (answer != QMessageBox::Ok)
        return false;

    m_progress = new QProgressDialog(QStringLiteral("正在读取粉丝列表……"), QStringLiteral("取消"),
                                     0, 0, m_window);
    m_progress->setObjectName(QStringLiteral("exportProgress"));
    m_progress->setWindowTitle(QStringLiteral("粉丝导出"));
    // The main window stays usable (its log, the service buttons) while the export runs.
    m_progress->setWindowModality(Qt::NonModal);
    m_progress->setAutoClose(false);
    m_progress->setAutoReset(false);
    m_progress->setMinimumDuration(0);
    m_progress->setAttribute(Qt::WA_DeleteOnClose, false);
    connect(m_progress, &QProgressDialog::canceled, &m_watcher, &QFutureWatcher<void>::cancel);
    m_progress->show();

    const QString folder = exportFolder();
    const QDateTime when = QDateTime::currentDateTime();
    auto state = std::make_shared<RunState>();
    m_state = state;
    m_watcher.setFuture(QtConcurrent::run(&m_pool, [connection = m_live.snapshot(), folder, when,
                                                    state](QPromise<void> &promise) {
        FollowerExportControl control;
        control.cancelled = [&promise] { return promise.isCanceled(); };
        control.progress = [&state](qint64 read, qint64 total) {
            state->total = total;
            state->read = read;
        };
        state->outcome = exportFollowersToWorkbook(connection, folder, when, control);
    }));
    m_progressTimer.start();
    return true;
}

bool FollowerExport::isRunning() const
{
    return m_watcher.isRunning();
}

void FollowerExport::onProgress()
{
    if (!m_progress || !m_state)
        return;
    const qint64 read = m_state->read;
    const int total = int(qMin<qint64>(qMax(m_state->total.load(), read), INT_MAX));
    if (total == 0)
        return; // the list has not answered yet: the dialog keeps its first text
    m_progress->setMaximum(total);
    m_progress->setValue(int(qMin<qint64>(read, INT_MAX)));
    m_progress->setLabelText(QStringLiteral("已读取粉丝 %1 / %2").arg(read).arg(total));
}

void FollowerExport::onFinished()
{
    m_progressTimer.stop();
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
    }
    const std::shared_ptr<RunState> state = std::move(m_state);
    const WorkbookExportOutcome outcome = state ? state->outcome : WorkbookExportOutcome();
    const bool cancelled = m_watcher.isCanceled()
                           || outcome.export_.status == FollowerExportOutcome::Status::Cancelled;
    if (cancelled) {
        // The user asked for nothing to come of it, even if the last request had just finished.
        if (!outcome.path.isEmpty())
            QFile::remove(outcome.path);
    } else if (outcome.export_.status == FollowerExportOutcome::Status::Failed) {
        ui::showMessage(m_window, outcome.export_.message, QStringLiteral("提示！"));
    } else if (outcome.export_.status == FollowerExportOutcome::Status::Finished) {
        const QString shownPath = QDir::toNativeSeparators(outcome.path);
        Logger::instance().log(QStringLiteral("  粉丝已导出到：") + shownPath);
        std::function<bool(const QString &)> opener;
        {
            QMutexLocker lock(&place().mutex);
            opener = place().opener;
        }
        const bool opened = opener ? opener(outcome.path) : openWithDesktop(outcome.path);
        if (!opened) {
            ui::showMessage(m_window,
                            QStringLiteral("粉丝已导出，但没有可以打开它的程序。文件保存在：")
                                + QStringLiteral("\r\n") + shownPath,
                            QStringLiteral("提示"));
        }
    }
    Q_EMIT finished();
}

} // namespace veltrano
