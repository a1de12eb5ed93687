// The main window: its controls at their fixed places, start-up, the log and the menu.
#include "app/form1.h"
#include "app/log_view.h"

#include "core/app_context.h"
#include "core/database.h"
#include "core/logger.h"
#include "core/profile.h"
#include "core/send_service.h"
#include "core/settings.h"
#include "desktop/frm_about.h"
#include "desktop/hotkey.h"
#include "desktop/skin.h"
#include "dialogs/form2.h"
#include "dialogs/form3.h"
#include "dialogs/form5.h"
#include "records/follower_export.h"
#include "records/form6.h"
#include "ui/app_icon.h"
#include "ui/message_box.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>

namespace veltrano {
namespace {
constexpr int kClientWidth = 654;
constexpr int kClientHeight = 272;
} // namespace

Form1::Form1(SharedSettings &live, QWidget *parent) : QMainWindow(parent), m_live(live)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Veltrano"));
    setWindowIcon(ui::appIcon());
    m_exportPool.setMaxThreadCount(1);
    m_exportPool.setExpiryTimeout(-1);
    m_service = new SendService(m_live, this);
    buildControls();
    buildMenu();
    wireService();
    // Queued: the hot key arrives inside the platform's event handling, which is no place to hide
    // or show windows.
    connect(&HotKeySignals::instance(), &HotKeySignals::toggleMainWindow, this, &Form1::toggleShown,
            Qt::QueuedConnection);
    Form_Load();
    // After the skin, whose menu bar may be taller than the plain one.
    resize(kClientWidth,
           kClientHeight + menuBar()->sizeHint().height() + statusBar()->sizeHint().height());
}

// An export under way is cancelled with its window and stops within a fraction of a second; its
// thread is waited for before the window goes.
Form1::~Form1()
{
    delete m_export;
    m_exportPool.waitForDone();
}

Form6 *Form1::form6() const
{
    return m_form6.window();
}

FollowerExport *Form1::followerExport() const
{
    return m_export;
}

bool Form1::batchRunning() const
{
    return m_service->isBatchRunning();
}

// The service reports; the window shows.
void Form1::wireService()
{
    connect(m_service, &SendService::stateChanged, this, &Form1::updateStatusLine);
    connect(m_service, &SendService::startFinished, this, [this](bool ok) {
        if (!ok) {
            startsvr->setEnabled(true);
            Q_EMIT startFinished(false);
            return;
        }
        startsvr->setEnabled(false);
        endsvr->setEnabled(true);
        svrflag = 1;
        Timer1->start();
        Q_EMIT startFinished(true);
    });
    connect(m_service, &SendService::batchFinished, this, [this] {
        updateStatusLine();
        Q_EMIT batchFinished();
    });
    connect(m_service, &SendService::shutDownFinished, this, [this] {
        svrflag = 0;
        close();
    });
}

void Form1::updateStatusLine()
{
    QString state = QStringLiteral("已停止");
    if (m_service->isBatchRunning())
        state = QStringLiteral("正在发送");
    else if (m_service->isStarting())
        state = QStringLiteral("正在启动");
    else if (m_service->isRunning())
        state = QStringLiteral("运行中");
    QStringList parts{QStringLiteral("服务：") + state};

    const int pending = m_service->pendingCount();
    parts << QStringLiteral("待发：")
                 + (pending >= 0 ? QString::number(pending) : QStringLiteral("—"));
    const std::optional<BatchReport> &last = m_service->lastReport();
    const bool pendingKnown = last && last->pending >= 0;
    if (m_service->isRunning() && !m_service->isBatchRunning()) {
        const std::optional<int> due = m_service->secondsToNextBatch();
        parts << (due ? QStringLiteral("下一批次：%1分%2秒后")
                            .arg(*due / 60)
                            .arg(*due % 60, 2, 10, QLatin1Char('0'))
                      : QStringLiteral("下一批次：发送间隔未设置"));
    }
    if (last) {
        if (last->ran)
            parts << QStringLiteral("上一批次：已发送 %1（被拒 %2），待发 %3")
                         .arg(last->posted)
                         .arg(last->refused)
                         .arg(pendingKnown ? QString::number(last->pending) : QStringLiteral("—"));
        else
            parts << QStringLiteral("上一批次未运行：") + last->failure;
    }
    statusLine->setText(parts.join(QStringLiteral("　")));
}

void Form1::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    const auto button = [client](const char *name, const QString &caption, int left) {
        auto *b = new QPushButton(caption, client);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(left, 8, 80, 25);
        return b;
    };
    startsvr = button("startsvr", QStringLiteral("启动服务"), 7);
    endsvr = button("endsvr", QStringLiteral("停止服务"), 93);
    quitme = button("quitme", QStringLiteral("后台运行"), 180);

    const auto counter = [client](const char *name) {
        auto *box = new QLineEdit(QStringLiteral("0"), client);
        box->setObjectName(QString::fromLatin1(name));
        box->hide();
        return box;
    };
    Text4 = counter("Text4");
    Text2 = counter("Text2");

    Text1 = new LogView(kMaxLogLines, client);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(8, 40, 633, 225);
    Text1->setNote(usageNote());

    statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("statusLine"));
    statusBar()->addWidget(statusLine, 1);
    statusBar()->setSizeGripEnabled(false);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(ui::appIcon(), this);
        m_tray->setToolTip(QStringLiteral("Veltrano"));
        connect(m_tray, &QSystemTrayIcon::activated, this, &Form1::toggleShown);
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    connect(quitme, &QPushButton::clicked, this, &Form1::quitme_Click);
    connect(startsvr, &QPushButton::clicked, this, &Form1::startsvr_Click);
    connect(endsvr, &QPushButton::clicked, this, &Form1::endsvr_Click);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
}

void Form1::buildMenu()
{
    sysconfig = menuBar()->addMenu(QStringLiteral("设置"));
    sysconfig->setObjectName(QStringLiteral("sysconfig"));
    const auto entry = [](QAction *action, const char *name) {
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    dataconfig = entry(sysconfig->addAction(QStringLiteral("数据库配置")), "dataconfig");
    timeconfig = entry(sysconfig->addAction(QStringLiteral("定时设置")), "timeconfig");
    wxconfig = entry(sysconfig->addAction(QStringLiteral("公众号设置")), "wxconfig");
    chakan = entry(menuBar()->addAction(QStringLiteral("查看记录")), "chakan");
    fans = entry(menuBar()->addAction(QStringLiteral("粉丝导出")), "fans");
    abt = entry(menuBar()->addAction(QStringLiteral("关于")), "abt");

    connect(dataconfig, &QAction::triggered, this, &Form1::dataconfig_Click);
    connect(timeconfig, &QAction::triggered, this, &Form1::timeconfig_Click);
    connect(wxconfig, &QAction::triggered, this, &Form1::wxconfig_Click);
    connect(abt, &QAction::triggered, this, &Form1::abt_Click);
    connect(chakan, &QAction::triggered, this, &Form1::chakan_Click);
    connect(fans, &QAction::triggered, this, &Form1::fans_Click);
}

void Form1::Form_Load()
{
    SetHotKey(0, QStringLiteral("Ctrl,96"), QStringLiteral("Add")); // Ctrl + numeric-keypad 0
    attachSkin(resourceFolder());
    // Never in the topmost band; Qt windows start outside it, and nothing here puts one there.
    setWindowFlag(Qt::WindowStaysOnTopHint, false);
    svrflag = 0;
    Timer1->stop();
    Settings connection;
    LoadConnectionSettings(connection);
    m_live.update([&](Settings &s) { copyConnection(connection, s); });
    Text1->setNote(
        usageNote(connection.driver.trimmed().compare(u"sqlite", Qt::CaseInsensitive) == 0));
    updateStatusLine();
}

QString Form1::usageNote(bool sqlite)
{
    if (sqlite) {
        return QStringLiteral(
            "\n"
            "1、微信个人号与微信公众号是两回事：本程序是公众号的消息推送接口，用于向公众号的粉丝主"
            "动推送消息，"
            "并不是个人微信号的群发工具。\n"
            "\n"
            "2、本程序当前使用内置的 SQLite "
            "数据库文件（见“设置”→“数据库配置”），无需安装数据库服务器；"
            "其他程序把消息插入该文件的 tempmsg 表即可，也可以用 sqlite3 命令手工插入。\n"
            "\n"
            "3、使用者需要会编写 insert 语句（可参考 README 中的 SQLite 示例）；"
            "不熟悉的用户请先参考相关教程。\n"
            "\n"
            "4、请先在“公众号设置”中填写 appid 和 appsecret，再启动服务；"
            "启动失败时日志会写明原因，遇到任何问题，都可以参考教程或联系技术支持。");
    }
    return QStringLiteral(
        "\n"
        "1、微信个人号与微信公众号是两回事：本程序是公众号的消息推送接口，用于向公众号的粉丝主动推"
        "送消息，"
        "并不是个人微信号的群发工具。\n"
        "\n"
        "2、本程序需要 Microsoft SQL Server 的支持：局域网内至少要有一台计算机运行 SQL Server，"
        "并按照使用说明附加本程序的数据库（也可以在数据库配置中选用内置的 SQLite 数据库文件）。\n"
        "\n"
        "3、使用者需要具备一定的 SQL Server 知识，例如附加数据库、编写 insert 语句以及触发器等；"
        "不熟悉的用户请先参考相关教程。\n"
        "\n"
        "4、很多用户在还没有了解本程序、甚至还没有连接好数据库时就启动服务，结果导致失败；"
        "遇到任何问题，都可以参考教程或联系技术支持。");
}

void Form1::AddLogLine(const QString &message)
{
    // Through the logger, so the line reaches the daily log file as well as this window.
    Logger::instance().log(message);
}

void Form1::quitme_Click()
{
    if (hotKeyBound()) {
        ui::showMessage(this, QStringLiteral("Ctrl+小键盘0,呼出主界面！"), QStringLiteral("提示"));
        hide();
        return;
    }
    // Without the hot key nothing could call a hidden window back: the taskbar has to do it.
    ui::showMessage(this,
                    QStringLiteral("全局热键 Ctrl+小键盘0 在本机无法注册（可能已被其他程序占用，"
                                   "或当前桌面不支持全局热键），窗口将最小化到任务栏，"
                                   "服务照常运行。"),
                    QStringLiteral("提示"));
    showMinimized();
}

void Form1::toggleShown()
{
    if (isVisible()) {
        hide();
        return;
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void Form1::abt_Click()
{
    m_about.open([this] { return new frmAbout(this); });
}

void Form1::startsvr_Click()
{
    // The check runs off the GUI thread; the button stays greyed out meanwhile so a second click
    // cannot start a second check.
    startsvr->setEnabled(false);
    m_service->start();
}

void Form1::endsvr_Click()
{
    Timer1->stop();
    startsvr->setEnabled(true);
    endsvr->setEnabled(false);
    m_service->stop();
    svrflag = 0;
}

void Form1::endOnStopSignal()
{
    if (m_ending)
        return;
    m_ending = true;
    Timer1->stop();
    AddLogLine(QStringLiteral("  收到停止信号，正在发送的消息完成后退出"));
    m_service->shutDown();
}

void Form1::Timer1_Timer()
{
    m_service->tick();
    Text2->setText(QString::number(m_service->secondsCounted()));
    Text4->setText(QString::number(m_service->minutesCounted()));
    updateStatusLine();
}

void Form1::chakan_Click()
{
    m_form6.open([this] { return new Form6(m_live); });
}

void Form1::fans_Click()
{
    // One export at a time; the entry comes back when the running one has ended.
    if (m_export)
        return;
    auto *run = new FollowerExport(m_live, m_exportPool, this);
    if (!run->start()) {
        delete run;
        return;
    }
    m_export = run;
    fans->setEnabled(false);
    connect(run, &FollowerExport::finished, this, [this, run] {
        fans->setEnabled(true);
        run->deleteLater();
    });
}

// The dialogs are windows of their own, not children of this one: hiding the main window in the
// background leaves them open, and an open dialog still saves on its own close.
void Form1::dataconfig_Click()
{
    m_form2.open([this] { return new Form2(m_live); });
}

void Form1::timeconfig_Click()
{
    m_form3.open([this] { return new Form3(m_live); });
}

void Form1::wxconfig_Click()
{
    m_form5.open([this] { return new Form5(m_live); });
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (!m_ending && (m_service->isRunning() || m_service->isStarting())) {
        const auto answer =
            ui::showMessage(this,
                            QStringLiteral("服务正在运行，关闭窗口将停止发送消息。确定要退出吗？"),
                            QStringLiteral("提示"), QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::Question);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    // The window goes; its stand-in must not appear when the close hides it.
    delete m_tray;
    m_tray = nullptr;
    QMainWindow::closeEvent(event);
}

void Form1::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    if (m_tray && !event->spontaneous())
        m_tray->show();
}

void Form1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_tray)
        m_tray->hide();
}

void Form1::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    placeControls();
}

void Form1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        placeControls();
}

// The buttons keep their designed places and sizes (80 x 25, from the left edge 7, 93, 180) and
// only grow, pushing the ones to their right and the log below, where larger text needs it. The log
// fills the rest of the window.
void Form1::placeControls()
{
    int left = 7;
    int bottom = 33;
    for (QPushButton *b : {startsvr, endsvr, quitme}) {
        // The caption's own extent plus a margin, not the style's size hint, which asks for more
        // than the designed 80 x 25 even at the normal size.
        const QFontMetrics metrics(b->font());
        const int width =
            qMax(80, metrics.horizontalAdvance(b->text()) + 2 * metrics.averageCharWidth() + 8);
        const int height = qMax(25, metrics.height() + 8);
        b->setGeometry(left, 8, width, height);
        left += width + (b == startsvr ? 6 : 7);
        bottom = qMax(bottom, 8 + height);
    }
    const QSize client = centralWidget()->size();
    const int top = bottom + 7;
    Text1->setGeometry(8, top, qMax(100, client.width() - 21), qMax(60, client.height() - top - 7));
}

} // namespace veltrano
