// The official account dialog on a real SQLite database: modes, boxes, saving on close.
#include "dialog_test_support.h"
#include "dialogs/form5.h"
#include "support/larger_text.h"
#include "support/live_settings.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

using namespace veltrano;
using namespace veltrano::testsupport;

namespace {

void presetAccount(const DialogTestFolder &folder, const QString &appid, const QString &appsecret,
                   const QString &mode, const QString &server)
{
    folder.setParam("appid", appid);
    folder.setParam("appsecret", appsecret);
    folder.setParam("get_token_mod", mode);
    folder.setParam("token_server", server);
}

} // namespace

TEST(Form5, StoredModeChoosesTheButtonAndTheBoxes)
{
    DialogTestFolder folder;
    // The button shown: 1 direct exchange, 2 central server, 3 stable token.
    const std::pair<const char *, int> modes[] = {{"1", 1}, {" 1 ", 1}, {"abc", 1},
                                                  {"", 1},  {"2", 2},   {"0", 2},
                                                  {"4", 2}, {"3", 3},   {" 3", 3}};
    for (const auto &[stored, shown] : modes) {
        presetAccount(folder, "wx1", "sec1", stored, "http://127.0.0.1:9/token");
        Form5 w(testsupport::liveSettings());
        w.show();
        ASSERT_TRUE(waitIdle(w));
        EXPECT_EQ(w.Option2->isChecked(), shown == 1) << "stored mode " << stored;
        EXPECT_EQ(w.Option1->isChecked(), shown == 2) << "stored mode " << stored;
        EXPECT_EQ(w.Option3->isChecked(), shown == 3) << "stored mode " << stored;
        EXPECT_EQ(w.Text1->isEnabled(), shown != 2);
        EXPECT_EQ(w.Text2->isEnabled(), shown != 2);
        EXPECT_EQ(w.Text3->isEnabled(), shown == 2);
        EXPECT_EQ(w.Text1->text(), "wx1");
        EXPECT_EQ(w.Text2->text(), "sec1");
        EXPECT_EQ(w.Text3->text(), "http://127.0.0.1:9/token");
        ASSERT_TRUE(closeAndWait(w));
    }
}

// A click only moves which boxes can be edited: every box is saved with the mode, as typed, quotes
// and a statement's words included, and the cached token is left alone.
TEST(Form5, EachButtonStoresItsModeAndEveryBoxAsTyped)
{
    DialogTestFolder folder;
    presetAccount(folder, "", "", "1", "");
    folder.setParam("access_token", "cached");
    const QString appid = "wx'1";
    const QString secret = "a'b\"c'; drop table sysParam; --";
    const QString server = "http://127.0.0.1:9/t?x='y'";
    const std::pair<QRadioButton * Form5::*, const char *> buttons[] = {{&Form5::Option1, "2"},
                                                                        {&Form5::Option3, "3"},
                                                                        {&Form5::Option2, "1"}};
    for (const auto &[button, mode] : buttons) {
        SCOPED_TRACE(mode);
        Form5 w(testsupport::liveSettings());
        ASSERT_TRUE(showAndWaitIdle(w));
        if (w.Text1->text().isEmpty()) { // the first time; then the stored texts come back
            w.Text1->setText(appid);
            w.Text2->setText(secret);
            w.Text3->setText(server);
        }
        QTest::mouseClick(w.*button, Qt::LeftButton);
        EXPECT_TRUE((w.*button)->isChecked());
        EXPECT_EQ(w.Text1->text(), appid);
        EXPECT_EQ(w.Text2->text(), secret);
        EXPECT_EQ(w.Text3->text(), server);
        ASSERT_TRUE(closeAndWait(w));
        EXPECT_TRUE(ui::testing::shown().isEmpty());
        EXPECT_EQ(folder.param("get_token_mod"), mode);
        EXPECT_EQ(folder.param("appid"), appid);
        EXPECT_EQ(folder.param("appsecret"), secret);
        EXPECT_EQ(folder.param("token_server"), server);
        EXPECT_EQ(folder.param("access_token"), "cached");
    }
}

// Three empty boxes are "nothing entered", whatever button is chosen; one filled box stores all.
TEST(Form5, OnlyThreeEmptyBoxesStoreNothing)
{
    DialogTestFolder folder;
    for (const char *server : {"", "http://127.0.0.1:9/token"}) {
        SCOPED_TRACE(server);
        presetAccount(folder, "wx1", "sec1", "1", "");
        Form5 w(testsupport::liveSettings());
        ASSERT_TRUE(showAndWaitIdle(w));
        w.Text1->clear();
        w.Text2->clear();
        QTest::mouseClick(w.Option1, Qt::LeftButton);
        w.Text3->setText(server);
        ASSERT_TRUE(closeAndWait(w));
        EXPECT_TRUE(ui::testing::shown().isEmpty());
        const bool stored = *server;
        EXPECT_EQ(folder.param("get_token_mod"), stored ? "2" : "1");
        EXPECT_EQ(folder.param("appid"), stored ? "" : "wx1");
        EXPECT_EQ(folder.param("appsecret"), stored ? "" : "sec1");
        EXPECT_EQ(folder.param("token_server"), server);
    }
}

TEST(Form5, UnreachableDatabaseFailsOnceAndCloses)
{
    DialogTestFolder folder(unreachableConfig());
    Form5 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    // Nothing loaded since start-up: empty boxes, and an empty mode reads as direct exchange.
    EXPECT_TRUE(w.Option2->isChecked());
    EXPECT_EQ(w.Text1->text(), "");
    w.Text1->setText("wx1");
    ASSERT_TRUE(closeAndWait(w));
    ASSERT_EQ(shownTexts().size(), 1);
    EXPECT_TRUE(
        shownTexts()[0].startsWith("提示！|配置失败，请检查数据库连接！SQLite 数据库文件不存在："))
        << shownTexts()[0].toStdString();
    EXPECT_FALSE(w.isVisible());
}

TEST(Form5, TheSecretIsMaskedUntilAskedForAndEscSaves)
{
    DialogTestFolder folder;
    presetAccount(folder, "wx1", "sec1", "1", "");
    Form5 w(testsupport::liveSettings());
    ASSERT_TRUE(showAndWaitIdle(w));
    expectCaptions(w, {{"", "公众号设置"},
                       {"Label1", "ACCESS_TOKEN获取模式"},
                       {"Option2", "直接换取(建议)"},
                       {"Option1", "中控服务器"},
                       {"Option3", "稳定版接口（多个程序共用公众号时建议）"},
                       {"Label2", "appid"},
                       {"Label3", "appsecret"},
                       {"Label4", "中控服务器："},
                       {"Label5", "说明：只有当需要与其它第三方应用共享ACCESS_TOKEN时才选择"
                                  "“中控服务器”模式，一般情况下都应使用“直接换取”模式。"},
                       {"showSecret", "显示"}});
    EXPECT_EQ(w.Text2->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(w.showSecret->isChecked());
    w.showSecret->click();
    EXPECT_EQ(w.Text2->echoMode(), QLineEdit::Normal);
    w.showSecret->click();
    EXPECT_EQ(w.Text2->echoMode(), QLineEdit::Password);
    // Tab reaches the show box right after the secret, then the central server's box.
    w.Text2->setFocus();
    QTest::keyClick(w.Text2, Qt::Key_Tab);
    EXPECT_TRUE(w.showSecret->hasFocus());
    w.Option1->click(); // the central server's box can be edited
    w.showSecret->setFocus();
    QTest::keyClick(w.showSecret, Qt::Key_Tab);
    EXPECT_TRUE(w.Text3->hasFocus());

    // Esc closes as the close box does: the boxes are saved, the masked secret as typed.
    w.Text2->setText("new secret");
    QTest::keyClick(w.Text3, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.isVisible() && !w.isBusy(); }, 30000));
    EXPECT_EQ(folder.param("appsecret"), "new secret");
    EXPECT_EQ(folder.param("get_token_mod"), "2");
}
