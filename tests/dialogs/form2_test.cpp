// The connection dialog: what it shows, what it writes to config.ini, and when it closes.
#include "core/logger.h"
#include "dialog_test_support.h"
#include "dialogs/form2.h"
#include "support/larger_text.h"
#include "support/live_settings.h"
#include "support/log_lines.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace veltrano;
using namespace veltrano::testsupport;

namespace {

void type(Form2 &w, const QString &host, const QString &uid, const QString &pwd, const QString &db)
{
    const QString texts[4] = {host, uid, pwd, db};
    for (int row = 0; row < 4; ++row) {
        w.Text1[row]->clear();
        QTest::keyClicks(w.Text1[row], texts[row]);
    }
}

} // namespace

TEST(Form2, ShowsTheSettingsFileWithThePasswordAsTyped)
{
    DialogTestFolder empty("");
    QFile::remove(empty.file("config.ini"));
    {
        Form2 w(testsupport::liveSettings());
        expectCaptions(w, {{"", "数据库配置"},
                           {"Label1_0", "数据库IP"},
                           {"Label1_1", "用户名"},
                           {"Label1_2", "密码"},
                           {"Label1_3", "数据库"},
                           {"save", "保存"}});
        for (int row = 0; row < 4; ++row)
            EXPECT_EQ(w.Text1[row]->text(), "") << row;
        EXPECT_EQ(w.Text1[2]->echoMode(), QLineEdit::Normal);
        EXPECT_EQ(w.driverKind->currentIndex(), Form2::kSqlServer); // no driver key: SQL Server
    }
    DialogTestFolder folder(
        "[con]\r\nhost=srv\r\nuid=sa\r\npwd=fgh\r\ndb=msg.db\r\ndriver=sqlite\r\n");
    Form2 w(testsupport::liveSettings());
    EXPECT_EQ(w.Text1[0]->text(), "srv");
    EXPECT_EQ(w.Text1[1]->text(), "sa");
    EXPECT_EQ(w.Text1[2]->text(), "abc");
    EXPECT_EQ(w.Text1[3]->text(), "msg.db");
    EXPECT_EQ(w.driverKind->currentIndex(), Form2::kSqlite);
    // A file needs no server, login or password; the texts stay for a switch back.
    for (int row = 0; row < 3; ++row)
        EXPECT_FALSE(w.Text1[row]->isEnabled()) << row;
    EXPECT_TRUE(w.Text1[3]->isEnabled());
    EXPECT_EQ(w.Label1[3]->text(), "数据库文件");
    w.driverKind->setCurrentIndex(Form2::kSqlServer);
    EXPECT_TRUE(w.Text1[2]->isEnabled());
    EXPECT_EQ(w.Text1[2]->text(), "abc");
    EXPECT_EQ(w.Label1[3]->text(), "数据库");
}

// A connection that fails, or a file that cannot be written, keeps the working config.ini, the
// shared settings and the typed values, and the dialog stays open for a retry.
TEST(Form2, AFailedSaveKeepsTheWorkingSettingsAndTheTypedValues)
{
    const QByteArray working = "[con]\r\n; the working settings\r\ndb=test.db\r\ndriver=sqlite\r\n";
    DialogTestFolder folder(working);
    QStringList logged;
    const auto logging = testsupport::collectLogLines(logged);
    Form2 w(testsupport::liveSettings());
    w.show();
    const Settings before = testsupport::liveSettings().snapshot();
    // Nothing listens on 127.0.0.1's SQL Server port here, so the login cannot succeed.
    w.driverKind->setCurrentIndex(Form2::kSqlServer);
    const QString password = "wrong pw;}{'";
    type(w, "127.0.0.1", "sa", password, "msg");
    QTest::mouseClick(w.save, Qt::LeftButton);
    // The test runs off the GUI thread: the click has returned with the dialog waiting, disabled.
    EXPECT_TRUE(w.isBusy());
    EXPECT_FALSE(w.isEnabled());
    EXPECT_TRUE(ui::testing::shown().isEmpty());
    ASSERT_TRUE(waitIdle(w));
    // The fixed text, then the driver's own words; the log says the same.
    ASSERT_EQ(shownTexts().size(), 1);
    EXPECT_TRUE(
        shownTexts()[0].startsWith("提示|连接失败，请检查您的配置是否正确！无法连接 SQL Server（"))
        << shownTexts()[0].toStdString();
    EXPECT_TRUE(logged.contains("  " + ui::testing::shown()[0].text))
        << logged.join("|").toStdString();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.Text1[0]->text(), "127.0.0.1");
    EXPECT_EQ(w.Text1[2]->text(), password);
    EXPECT_EQ(w.driverKind->currentIndex(), Form2::kSqlServer);
    // The file that worked is kept byte for byte, and so are the shared settings built from it.
    EXPECT_EQ(readFile(folder.file("config.ini")), working);
    EXPECT_EQ(testsupport::liveSettings().snapshot().db, before.db);
    EXPECT_EQ(testsupport::liveSettings().snapshot().host, before.host);

    // The dialog is usable again: a connection that opens, with a folder where config.ini should
    // be, so that no write can succeed, whoever runs the test.
    ui::testing::reset();
    w.driverKind->setCurrentIndex(Form2::kSqlite);
    QFile::remove(folder.file("config.ini"));
    ASSERT_TRUE(QDir(folder.path()).mkdir("config.ini"));
    w.Text1[3]->setText("other.db");
    w.save->click();
    ASSERT_TRUE(waitIdle(w));
    ASSERT_EQ(shownTexts().size(), 1);
    EXPECT_TRUE(shownTexts()[0].startsWith("提示！|配置文件写入失败"))
        << shownTexts()[0].toStdString();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(testsupport::liveSettings().snapshot().db, "test.db")
        << "the shared settings keep what was read";
}

TEST(Form2, ASavedConnectionIsWrittenReadBackAndShownAgainAsTyped)
{
    DialogTestFolder folder("");
    QDir(folder.path()).mkdir("data");
    const QString password = "p a;s}s{~'中";
    {
        Form2 w(testsupport::liveSettings());
        w.show();
        w.driverKind->setCurrentIndex(Form2::kSqlite);
        type(w, "", "", "", "data/veltrano.db");
        w.Text1[2]->setText(password);
        // Return in a box presses "保存".
        QTest::keyClick(w.Text1[3], Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 30000));
        EXPECT_TRUE(ui::testing::shown().isEmpty());
    }
    EXPECT_TRUE(QFile::exists(folder.file("data/veltrano.db")));
    // The four keys of the connection in their order, then the kind of database; the password is
    // never written as typed.
    const QString ini = QString::fromUtf8(readFile(folder.file("config.ini"))).remove(u'\r');
    QStringList keys;
    for (const QString &line : ini.split(u'\n', Qt::SkipEmptyParts))
        keys << line.section(u'=', 0, 0);
    EXPECT_EQ(keys, QStringList({"[con]", "host", "uid", "pwd", "db", "driver"}));
    EXPECT_TRUE(ini.contains("\ndb=data/veltrano.db\ndriver=sqlite\n")) << ini.toStdString();
    EXPECT_FALSE(ini.contains(password));
    EXPECT_EQ(testsupport::liveSettings().snapshot().db, "data/veltrano.db")
        << "the saved file is read back";
    Form2 again(testsupport::liveSettings());
    EXPECT_EQ(again.Text1[2]->text(), password);
}

TEST(Form2, ClosingWithoutSavingLeavesTheFileAlone)
{
    const QByteArray before = "[con]\r\nhost=srv\r\nuid=sa\r\npwd=fgh\r\ndb=msg\r\n";
    DialogTestFolder folder(before);
    for (bool escape : {false, true}) {
        Form2 w(testsupport::liveSettings());
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        type(w, "other", "x", "y", "z");
        w.driverKind->setCurrentIndex(Form2::kSqlite);
        if (escape) // Esc is the close box
            QTest::keyClick(w.Text1[1], Qt::Key_Escape);
        else
            w.close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 30000)) << escape;
        EXPECT_EQ(readFile(folder.file("config.ini")), before);
        EXPECT_TRUE(ui::testing::shown().isEmpty());
    }
}

TEST(Form2, TabGoesThroughTheControlsInOrder)
{
    DialogTestFolder folder("");
    Form2 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.driverKind->setFocus();
    QList<QWidget *> order;
    for (int i = 0; i < 6; ++i) {
        order << QApplication::focusWidget();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(order, (QList<QWidget *>{w.driverKind, w.Text1[0], w.Text1[1], w.Text1[2], w.Text1[3],
                                       w.save}));
    EXPECT_EQ(QApplication::focusWidget(), w.driverKind) << "and round again";
}
