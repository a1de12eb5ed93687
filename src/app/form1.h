// The main window: service buttons, the log, the menu that opens every other window.
#pragma once

#include "records/follower_export.h"
#include "records/form6.h"
#include "ui/single_instance.h"

#include <QMainWindow>
#include <QPointer>

class QAction;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace veltrano {

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // The log keeps this many lines, newest first, above the usage note.
    static constexpr int kMaxLogLines = 5000;

    // Puts "date time message" at the top of the log.
    void AddLogLine(const QString &message);

    static QString usageNote();

    // Controls, named as the rest of the program and the tests know them.
    QPushButton *startsvr = nullptr;
    QPushButton *endsvr = nullptr;
    QPushButton *quitme = nullptr;
    QLineEdit *Text4 = nullptr; // minutes counter, never shown
    QLineEdit *Text2 = nullptr; // seconds counter, never shown
    QPlainTextEdit *Text1 = nullptr;
    QTimer *Timer1 = nullptr;
    int svrflag = 0;

    QMenu *sysconfig = nullptr;
    QAction *dataconfig = nullptr;
    QAction *timeconfig = nullptr;
    QAction *wxconfig = nullptr;
    QAction *chakan = nullptr;
    QAction *fans = nullptr;
    QAction *abt = nullptr;

    // The record viewer while it is open, and the follower export while one runs.
    Form6 *form6() const { return m_form6.window(); }
    FollowerExport *followerExport() const { return m_export; }

public Q_SLOTS:
    void quitme_Click();
    void chakan_Click();
    void fans_Click();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void buildControls();
    void buildMenu();
    void Form_Load();
    void addLogLine(const QDateTime &when, const QString &message);

    int m_logLines = 0;
    ui::SingleInstance<Form6> m_form6;
    QPointer<FollowerExport> m_export;
};

} // namespace veltrano
