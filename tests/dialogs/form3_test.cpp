// The schedule dialog on a real SQLite database: loading, the number boxes, saving on close.
#include "core/logger.h"
#include "dialog_test_support.h"
#include "dialogs/form3.h"
#include "support/larger_text.h"
#include "support/live_settings.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>

using namespace veltrano;
using namespace veltrano::testsupport;

namespace {

void presetSchedule(const DialogTestFolder &folder, const QString &temp, const QString &temp_timer,
                    const QString &cust, const QString &cust_timer)
{
    folder.setParam("temp", temp);
    folder.setParam("temp_timer", temp_timer);
    folder.setParam("cust", cust);
    folder.setParam("cust_timer", cust_timer);
}

// Leaves `box` by moving the focus to `next`, as a click or Tab would.
void leave(QLineEdit *box, QWidget *next)
{
    box->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(box->hasFocus());
    next->setFocus(Qt::TabFocusReason);
    ASSERT_FALSE(box->hasFocus());
}

} // namespace

TEST(Form3, LoadsTheFourValuesIntoTheirBoxes)
{
    DialogTestFolder folder;
    presetSchedule(folder, "15", "12", "3", "4");
    Form3 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    expectCaptions(w, {{"", "定时设置"},
                       {"Label3", "发送时间间隔（1-30分钟）"},
                       {"Label4", "每次发送批量(1-20条)"}});
    EXPECT_EQ(w.Text1->text(), "12");
    EXPECT_EQ(w.Text2->text(), "15");
    EXPECT_EQ(w.Text4->text(), "3");
    EXPECT_EQ(w.Text3->text(), "4");
    EXPECT_FALSE(w.Text3->isVisible());
    EXPECT_FALSE(w.Text4->isVisible());
    EXPECT_TRUE(w.isEnabled());
    ASSERT_TRUE(closeAndWait(w));
}

TEST(Form3, IntervalIsCorrectedWhenTheBoxIsLeft)
{
    DialogTestFolder folder;
    presetSchedule(folder, "10", "5", "10", "5");
    Form3 w(testsupport::liveSettings());
    ASSERT_TRUE(showAndWaitIdle(w));
    const std::pair<const char *, const char *> cases[] =
        {{"0", "5"}, {"31", "5"},  {"", "5"},      {"99999999999999999999", "5"},
         {"1", "1"}, {"30", "30"}, {"007", "007"}, {"00", "5"}};
    for (const auto &[typed, kept] : cases) {
        w.Text1->setText(typed);
        leave(w.Text1, w.Text2);
        EXPECT_EQ(w.Text1->text(), kept) << "typed " << typed;
    }
    // The replacement is said in the dialog.
    EXPECT_TRUE(w.intervalNote->isVisible());
    EXPECT_EQ(w.intervalNote->text(), "发送时间间隔“00”不在1-30分钟之内，已改为5分钟。");
    expectTextFits(w);
    // The batch box: empty or zero becomes 10, anything else stays, with no upper cap.
    const std::pair<const char *, const char *> batches[] = {{"", "10"},     {"0", "10"},
                                                             {"000", "10"},  {"25", "25"},
                                                             {"007", "007"}, {"1", "1"}};
    for (const auto &[typed, kept] : batches) {
        w.Text2->setText(typed);
        leave(w.Text2, w.Text1);
        EXPECT_EQ(w.Text2->text(), kept) << "typed " << typed;
    }
    ASSERT_TRUE(closeAndWait(w));
    EXPECT_TRUE(ui::testing::shown().isEmpty());
}

TEST(Form3, NumberBoxesTakeDigitsOnly)
{
    DialogTestFolder folder;
    presetSchedule(folder, "10", "5", "10", "5");
    Form3 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    for (QLineEdit *box : {w.Text1, w.Text2}) {
        box->clear();
        QTest::keyClicks(box, "1a-.,b2 Z");
        EXPECT_EQ(box->text(), "12") << box->objectName().toStdString();
        QTest::keyClick(box, Qt::Key_Backspace);
        EXPECT_EQ(box->text(), "1");
        QTest::keyClick(box, Qt::Key_Return);
        EXPECT_EQ(box->text(), "1");
        // Editing keys are no characters: they still work.
        QTest::keyClick(box, Qt::Key_Left);
        QTest::keyClick(box, Qt::Key_Delete);
        EXPECT_EQ(box->text(), "");

        // A paste cannot bring in what typing cannot.
        QApplication::clipboard()->setText("3x4");
        box->paste();
        EXPECT_EQ(box->text(), "");
        QApplication::clipboard()->setText("34");
        box->paste();
        EXPECT_EQ(box->text(), "34");

        // Shortcuts type no character: select all, copy and paste work.
        QApplication::clipboard()->clear();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        EXPECT_EQ(box->selectedText(), "34");
        QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QApplication::clipboard()->text(), "34");
        QTest::keyClick(box, Qt::Key_End);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(box->text(), "3434");
        QApplication::clipboard()->setText("5x");
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(box->text(), "3434");
    }
    w.Text1->setText("5");
    ASSERT_TRUE(closeAndWait(w));
}

TEST(Form3, CloseStoresEachBoxAsItsNumber)
{
    DialogTestFolder folder;
    presetSchedule(folder, "15", "12", "007", " 4");
    Form3 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    w.Text1->setText("007");
    w.Text2->setText("00025");
    ASSERT_TRUE(closeAndWait(w));
    EXPECT_TRUE(ui::testing::shown().isEmpty());
    EXPECT_EQ(folder.param("temp_timer"), "7");
    EXPECT_EQ(folder.param("temp"), "25");
    EXPECT_EQ(folder.param("cust"), "7");
    EXPECT_EQ(folder.param("cust_timer"), "4");
    // The running service reads the shared settings every tick: they hold the new values at once.
    const Settings shared = testsupport::liveSettings().snapshot();
    EXPECT_EQ(shared.temp_timer, "7");
    EXPECT_EQ(shared.temp, "25");
    EXPECT_EQ(shared.cust, "7");
    EXPECT_EQ(shared.cust_timer, "4");
}

TEST(Form3, EscClosesAndSavesLikeTheCloseBox)
{
    DialogTestFolder folder;
    presetSchedule(folder, "15", "12", "3", "4");
    Form3 w(testsupport::liveSettings());
    ASSERT_TRUE(showAndWaitIdle(w));
    w.Text1->setFocus();
    w.Text1->setText("9");
    QTest::keyClick(w.Text1, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.isVisible() && !w.isBusy(); }, 30000));
    EXPECT_EQ(folder.param("temp_timer"), "9");
    EXPECT_EQ(testsupport::liveSettings().snapshot().temp_timer, "9");
}

TEST(Form3, ClosingWhileInTheIntervalBoxCorrectsItFirst)
{
    DialogTestFolder folder;
    presetSchedule(folder, "10", "12", "10", "5");
    for (const char *typed : {"0", "", "45"}) {
        Form3 w(testsupport::liveSettings());
        ASSERT_TRUE(showAndWaitIdle(w));
        QSignalSpy logged(&Logger::instance(), &Logger::lineLogged);
        w.Text1->setFocus();
        w.Text1->setText(typed);
        ASSERT_TRUE(closeAndWait(w));
        EXPECT_TRUE(ui::testing::shown().isEmpty()) << shownTexts().join(';').toStdString();
        EXPECT_EQ(folder.param("temp_timer"), "5") << "typed " << typed;
        // A replaced value is said in the log; an empty box had no value to replace.
        if (*typed) {
            ASSERT_EQ(logged.size(), 1) << typed;
            EXPECT_EQ(logged[0][1].toString(),
                      QStringLiteral("  定时设置：发送时间间隔“%1”不在1-30分钟之内，已保存为5分钟")
                          .arg(typed));
        } else {
            EXPECT_EQ(logged.size(), 0);
        }
    }
    Form3 w(testsupport::liveSettings());
    ASSERT_TRUE(showAndWaitIdle(w));
    w.Text2->setFocus();
    w.Text2->setText("");
    ASSERT_TRUE(closeAndWait(w));
    EXPECT_EQ(folder.param("temp"), "10");
}

TEST(Form3, UnreachableDatabaseFailsOnceAndCloses)
{
    DialogTestFolder folder(unreachableConfig());
    // The failed load leaves the shared values as they were, and the boxes show them.
    testsupport::liveSettings().update([](Settings &s) {
        s.temp = "9";
        s.temp_timer = "8";
        s.cust = "7";
        s.cust_timer = "6";
    });
    Form3 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    EXPECT_EQ(w.Text1->text(), "8");
    EXPECT_EQ(w.Text2->text(), "9");
    // The save runs off the GUI thread; the dialog goes only once it has ended.
    w.close();
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isBusy());
    EXPECT_TRUE(ui::testing::shown().isEmpty());
    ASSERT_TRUE(closeAndWait(w));
    // The fixed text, then the cause: the missing file with its full path.
    ASSERT_EQ(shownTexts().size(), 1);
    EXPECT_TRUE(
        shownTexts()[0].startsWith("提示！|配置失败，请检查数据库连接！SQLite 数据库文件不存在："));
    EXPECT_TRUE(shownTexts()[0].contains(QDir::toNativeSeparators(folder.file("config.ini/no.db"))))
        << shownTexts()[0].toStdString();
    EXPECT_FALSE(w.isVisible());
}

TEST(Form3, ACustomerValueThatIsNoNumberFailsTheSaveAndWritesNothing)
{
    DialogTestFolder folder;
    presetSchedule(folder, "15", "12", "", "4");
    Form3 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    w.Text1->setText("20");
    ASSERT_TRUE(closeAndWait(w));
    EXPECT_EQ(shownTexts(), QStringList{"提示！|配置失败，请检查数据库连接！“”不是整数"});
    EXPECT_EQ(folder.param("temp_timer"), "12");
    EXPECT_EQ(folder.param("cust"), "");
}

TEST(Form3, ClosingDuringTheLoadSavesTheLoadedValues)
{
    DialogTestFolder folder;
    presetSchedule(folder, "15", "12", "3", "4");
    Form3 w(testsupport::liveSettings());
    w.show();
    w.close(); // before the load has come back: the boxes still hold their initial texts
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.isVisible() && !w.isBusy(); }, 30000));
    EXPECT_TRUE(ui::testing::shown().isEmpty());
    EXPECT_EQ(folder.param("temp_timer"), "12");
    EXPECT_EQ(folder.param("temp"), "15");
    EXPECT_EQ(folder.param("cust"), "3");
    EXPECT_EQ(folder.param("cust_timer"), "4");
}

TEST(Form3, LargerTextStillFits)
{
    DialogTestFolder folder;
    LargerText larger;
    Form3 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(waitIdle(w));
    expectTextFits(w);
    w.Text1->setText("31");
    w.Text1_LostFocus();
    QTest::qWait(0);
    expectTextFits(w);
    ASSERT_TRUE(closeAndWait(w));
}
