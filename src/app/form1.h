// The main window: service buttons, the log, the menu that opens every other window.
#pragma once

#include "ui/single_instance.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QThreadPool>

#include <optional>

#include "core/settings.h"

class QAction;
class QLabel;
class QLineEdit;
class QSystemTrayIcon;
class QMenu;
class QPushButton;
class QTimer;

namespace veltrano {

class Form2;
class Form3;
class Form5;
class Form6;
class FollowerExport;
class LogView;
class SendService;
class frmAbout;

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    // `live` holds the program's settings; it outlives the window.
    explicit Form1(SharedSettings &live, QWidget *parent = nullptr);
    ~Form1() override;

    // The log keeps this many lines, newest first, above the usage note.
    static constexpr int kMaxLogLines = 5000;

    // Puts "date time message" at the top of the log.
    void AddLogLine(const QString &message);

    // The note under the log, for the database in use.
    static QString usageNote(bool sqlite = false);

    // Controls, named as the rest of the program and the tests know them.
    QPushButton *startsvr = nullptr;
    QPushButton *endsvr = nullptr;
    QPushButton *quitme = nullptr;
    // The service's counters, mirrored after every tick; never shown.
    QLineEdit *Text4 = nullptr; // minutes
    QLineEdit *Text2 = nullptr; // seconds
    LogView *Text1 = nullptr;
    QTimer *Timer1 = nullptr;
    int svrflag = 0; // 1 while the service runs
    // Under the log: the service state, pending messages, the next batch, the last batch's result.
    QLabel *statusLine = nullptr;

    QMenu *sysconfig = nullptr;
    QAction *dataconfig = nullptr;
    QAction *timeconfig = nullptr;
    QAction *wxconfig = nullptr;
    QAction *chakan = nullptr;
    QAction *fans = nullptr;
    QAction *abt = nullptr;

    // True while a batch runs on the worker; ticks meanwhile are not counted.
    bool batchRunning() const;
    SendService *service() const { return m_service; }
    // The record viewer while it is open, and the follower export while one runs.
    Form6 *form6() const;
    FollowerExport *followerExport() const;

public Q_SLOTS:
    void quitme_Click();
    // Each settings dialog exists once; choosing its entry again brings the open one forward.
    void dataconfig_Click();
    void timeconfig_Click();
    void wxconfig_Click();
    void abt_Click();
    void chakan_Click();
    void fans_Click();
    // The hot key's work: hide the window when it shows, otherwise bring it back to the front.
    void toggleShown();
    void startsvr_Click();
    void endsvr_Click();
    void Timer1_Timer();
    // A stop signal (a logout, a shutdown): the message in flight finishes and its answer is
    // stored, the lease is given up, then the program ends without asking.
    void endOnStopSignal();

Q_SIGNALS:
    // The connection check behind "启动服务" has ended; ok says whether the service runs now.
    void startFinished(bool ok);
    void batchFinished();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    // While the service runs, closing the window (which stops it) asks first.
    void closeEvent(QCloseEvent *event) override;
    // The tray icon stands in for the window while it is hidden.
    void hideEvent(QHideEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildControls();
    void placeControls();
    void buildMenu();
    void Form_Load();
    void wireService();
    void updateStatusLine();

    SharedSettings &m_live;
    SendService *m_service = nullptr;
    bool m_ending = false;
    QSystemTrayIcon *m_tray = nullptr;

    ui::SingleInstance<Form2> m_form2;
    ui::SingleInstance<Form3> m_form3;
    ui::SingleInstance<Form5> m_form5;
    ui::SingleInstance<Form6> m_form6;
    ui::SingleInstance<frmAbout> m_about;
    QPointer<FollowerExport> m_export;
    // The export's own thread: a batch that falls due during a long export runs on time and an
    // export never waits for a batch; one thread, so two exports never write at once.
    QThreadPool m_exportPool;
};

} // namespace veltrano
