// The main window after start-up, its log order and the background button.
#include "app/form1.h"
#include "app/log_view.h"
#include "core/logger.h"
#include "core/settings.h"
#include "desktop/hotkey.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {
QStringList logLines(const Form1 &w)
{
    return w.Text1->toPlainText().split(u'\n');
}
} // namespace

TEST(Form1, StartsStoppedWithTheUsageNote)
{
    testsupport::TempAppFolder folder; // no config.ini, no skin
    QFile ini(folder.file("config.ini"));
    {
        Form1 w(testsupport::liveSettings());
        w.show();
        EXPECT_EQ(w.Text1->toPlainText(), Form1::usageNote());
        EXPECT_TRUE(w.startsvr->isEnabled());
        EXPECT_TRUE(w.endsvr->isEnabled());
        EXPECT_FALSE(w.Text2->isVisible());
        EXPECT_FALSE(w.Text4->isVisible());
        EXPECT_FALSE(w.Timer1->isActive());
        EXPECT_EQ(w.Timer1->interval(), 1000) << "the service counts its minutes in these ticks";
        EXPECT_EQ(w.svrflag, 0);
        EXPECT_FALSE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        EXPECT_EQ(testsupport::liveSettings().snapshot().host, "");
        EXPECT_FALSE(ini.exists()) << "start-up must not write the settings file";
        QStringList menu;
        for (QAction *a : w.menuBar()->actions())
            menu << a->text();
        EXPECT_EQ(menu, QStringList({"设置", "查看记录", "粉丝导出", "关于"}));

        // The first two steps of start-up: Ctrl + keypad 0 as the hot key, then the built-in look
        // (no skin folder here).
        const HotKeyState &hotKey = hotKeyState();
        EXPECT_TRUE(hotKey.HookInstalled);
        EXPECT_EQ(hotKey.HotKeyId, 0);
        EXPECT_EQ(hotKey.HotKeyCode, 96);
        EXPECT_EQ(hotKey.HotKeyModifiers, kModControl);
        EXPECT_EQ(QApplication::style()->name().toLower(), "fusion");
        EXPECT_EQ(qApp->styleSheet(), "");
    }
    // The connection settings are read at start-up, the password as typed.
    ASSERT_TRUE(folder.writeConfig("host=server1\nuid=sa\npwd=fgh\ndb=msg\n"));
    Form1 w(testsupport::liveSettings());
    const Settings s = testsupport::liveSettings().snapshot();
    EXPECT_EQ(s.host, "server1");
    EXPECT_EQ(s.pwd, "abc");
}

TEST(Form1, LogPutsNewestFirstAboveTheUsageNote)
{
    testsupport::TempAppFolder folder;
    DailyLogFile file(folder.path());
    Form1 w(testsupport::liveSettings());
    w.AddLogLine("  第一行");
    w.AddLogLine("  second");
    const QStringList lines = logLines(w);
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith("  second")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("  第一行"));
    // date, blank, hh:mm:ss, then the message with its own two blanks
    EXPECT_TRUE(QRegularExpression(R"(^\S.* \d\d:\d\d:\d\d  second$)").match(lines[0]).hasMatch())
        << lines[0].toStdString();
    EXPECT_EQ(lines.mid(2).join(u'\n'), Form1::usageNote());

    QFile log(QDir(folder.path())
                  .filePath("logs/" + QDate::currentDate().toString("yyyy-MM-dd") + ".log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QStringList fileLines = QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(fileLines.size(), 2);
    EXPECT_TRUE(fileLines[0].endsWith("  第一行")); // the file runs oldest first
    EXPECT_TRUE(fileLines[1].endsWith("  second"));
}

// A burst from the worker: every line arrives in order, the log keeps the newest, the note stays
// below them, and the window shows them in a few coalesced insertions.
TEST(Form1, LogKeepsTheNewestLinesOfABurstFromAnotherThread)
{
    testsupport::TempAppFolder folder;
    Form1 w(testsupport::liveSettings());
    QSignalSpy inserted(&w.Text1->model(), &QAbstractItemModel::rowsInserted);
    const int count = Form1::kMaxLogLines + 3;
    QtConcurrent::run([count] {
        for (int i = 1; i <= count; ++i)
            Logger::instance().log(QStringLiteral("  line %1").arg(i));
    }).waitForFinished();
    QTRY_COMPARE(w.Text1->model().lineCount(), Form1::kMaxLogLines); // shown with no one asking
    const QStringList lines = logLines(w);
    EXPECT_TRUE(lines.first().endsWith(QStringLiteral("  line %1").arg(count)));
    EXPECT_TRUE(lines[Form1::kMaxLogLines - 1].endsWith("  line 4"));
    EXPECT_EQ(lines.mid(Form1::kMaxLogLines).join(u'\n'), Form1::usageNote());
    EXPECT_LE(inserted.size(), 2) << "one insertion per flush, not one per line";
}

TEST(Form1, QuitmeMinimisesWhereTheHotKeyCannotBeBound)
{
    // The offscreen platform has no global hot keys: hiding would leave no way back.
#ifdef Q_OS_WIN
    GTEST_SKIP() << "Windows binds hot keys without a display; the smoke test presses it";
#endif
    testsupport::TempAppFolder folder;
    ui::testing::reset();
    Form1 w(testsupport::liveSettings());
    w.show();
    ASSERT_FALSE(hotKeyBound());
    w.quitme->click();
    const auto shown = ui::testing::shown();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].text.contains("Ctrl+小键盘0")) << shown[0].text.toStdString();
    EXPECT_TRUE(shown[0].text.contains("最小化")) << shown[0].text.toStdString();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());
}

TEST(Form1, TheHotKeySignalTogglesTheWindow)
{
    testsupport::TempAppFolder folder;
    Form1 w(testsupport::liveSettings());
    w.show();
    Q_EMIT HotKeySignals::instance().toggleMainWindow();
    QTRY_VERIFY(!w.isVisible());
    w.setWindowState(Qt::WindowMinimized);
    Q_EMIT HotKeySignals::instance().toggleMainWindow();
    QTRY_VERIFY(w.isVisible());
    EXPECT_FALSE(w.isMinimized()) << "a window called back is shown, not left minimised";
}
