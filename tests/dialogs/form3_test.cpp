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

TEST(Form3, IntervalIsCorrectedWhenTheBoxIsLeft)
{
    DialogTestFolder folder;
    presetSchedule(folder, "10", "5", "10", "5");
    Form3 w(testsupport::liveSettings());
    ASSERT_TRUE(showAndWaitIdle(w));
    expectCaptions(w, {{"", "定时设置"},
                       {"Label3", "发送时间间隔（1-30分钟）"},
                       {"Label4", "每次发送批量(1-20条)"}});
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

// However the dialog is closed, each box goes to sysParam and the shared settings as its number,
// and the box the focus is in is corrected first. The running service reads the shared settings
// every tick, so they must hold the new values at once.
TEST(Form3, EveryCloseStoresTheBoxesAsNumbers)
{
    DialogTestFolder folder;
    enum How { CloseBox, Escape, BeforeTheLoadIsBack };
    struct Case {
        const char *what;
        How how;
        bool inBatchBox; // where the focus is when the dialog closes; otherwise the interval box
        const char *interval, *batch, *storedInterval, *storedBatch;
        bool noted; // the typed interval was replaced, and the log says so
    };
    const Case cases[] = {
        {"leading zeros", CloseBox, false, "007", "00025", "7", "25", false},
        {"Esc", Escape, false, "9", "15", "9", "15", false},
        {"closed while loading", BeforeTheLoadIsBack, false, "", "", "12", "15", false},
        {"interval 0", CloseBox, false, "0", "15", "5", "15", true},
        {"interval 45", CloseBox, false, "45", "15", "5", "15", true},
        {"empty interval", CloseBox, false, "", "15", "5", "15", false},
        {"empty batch", CloseBox, true, "12", "", "12", "10", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        presetSchedule(folder, "15", "12", "007", " 4");
        Form3 w(testsupport::liveSettings());
        QSignalSpy logged(&Logger::instance(), &Logger::lineLogged);
        if (c.how == BeforeTheLoadIsBack) {
            w.show();
            w.close(); // the boxes still hold their initial texts
        } else {
            ASSERT_TRUE(showAndWaitIdle(w));
            EXPECT_EQ(w.Text1->text(), "12");
            EXPECT_EQ(w.Text2->text(), "15");
            w.Text1->setText(c.interval);
            w.Text2->setText(c.batch);
            QLineEdit *box = c.inBatchBox ? w.Text2 : w.Text1;
            box->setFocus();
            if (c.how == Escape)
                QTest::keyClick(box, Qt::Key_Escape);
            else
                w.close();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !w.isVisible() && !w.isBusy(); }, 30000));
        EXPECT_TRUE(ui::testing::shown().isEmpty()) << shownTexts().join(';').toStdString();
        const QStringList expected = {c.storedInterval, c.storedBatch, "7", "4"};
        EXPECT_EQ(QStringList({folder.param("temp_timer"), folder.param("temp"),
                               folder.param("cust"), folder.param("cust_timer")}),
                  expected);
        const Settings shared = testsupport::liveSettings().snapshot();
        EXPECT_EQ(QStringList({shared.temp_timer, shared.temp, shared.cust, shared.cust_timer}),
                  expected);
        // A replaced interval is said in the log; an empty box had no value to replace.
        ASSERT_EQ(logged.size(), c.noted ? 1 : 0);
        if (c.noted) {
            EXPECT_TRUE(logged[0][1].toString().contains(QStringLiteral("“%1”").arg(c.interval)))
                << logged[0][1].toString().toStdString();
        }
    }
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
