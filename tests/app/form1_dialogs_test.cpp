// The windows the main window's menu opens: one of each, and room for larger text in all of them.
#include "app/form1.h"
#include "app/log_view.h"
#include "core/database.h"
#include "desktop/frm_about.h"
#include "dialogs/dialog_test_support.h"
#include "dialogs/form3.h"
#include "records/form6.h"
#include "support/larger_text.h"
#include "support/live_settings.h"
#include "ui/message_box.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

using namespace veltrano;
using namespace veltrano::testsupport;

namespace {

// Each menu entry and the object name of the window it opens.
struct Entry {
    QAction *Form1::*action;
    const char *window;
};
const Entry kEntries[] = {{&Form1::dataconfig, "Form2"},
                          {&Form1::timeconfig, "Form3"},
                          {&Form1::wxconfig, "Form5"},
                          {&Form1::chakan, "Form6"},
                          {&Form1::abt, "frmAbout"}};

QList<QWidget *> shownWindows(const char *name)
{
    QList<QWidget *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->objectName() == QLatin1String(name))
            found << w;
    }
    return found;
}

// Loading, saving or querying in the background.
bool busy(const QWidget *w)
{
    if (const auto *settings = qobject_cast<const SettingsWindow *>(w))
        return settings->isBusy();
    if (const auto *viewer = qobject_cast<const Form6 *>(w))
        return viewer->isQuerying();
    return false;
}

// Chooses the entry and waits until the one window it shows has loaded; null if it shows none or
// several.
QPointer<QWidget> openWindow(Form1 &main, const Entry &e)
{
    (main.*e.action)->trigger();
    const QList<QWidget *> shown = shownWindows(e.window);
    QPointer<QWidget> w = shown.size() == 1 ? shown.first() : nullptr;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w || !busy(w); }, 30000));
    return w;
}

bool closeForGood(QPointer<QWidget> &w)
{
    if (w)
        w->close();
    return QTest::qWaitFor([&] { return w.isNull(); }, 30000);
}

} // namespace

// Chosen again, an entry brings its open window forward as it is, without loading it again; once
// closed the window is gone and the entry opens a fresh one. None of them blocks the main window.
TEST(Form1, EachMenuEntryOpensOneWindowUntilItIsClosed)
{
    DialogTestFolder folder;
    Form1 main(testsupport::liveSettings());
    main.show();
    for (const Entry &e : kEntries) {
        SCOPED_TRACE(e.window);
        EXPECT_TRUE((main.*e.action)->isEnabled());
        QPointer<QWidget> first = openWindow(main, e);
        ASSERT_TRUE(first);
        EXPECT_FALSE(first->isModal());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        first->setWindowTitle("changed");
        (main.*e.action)->trigger();
        EXPECT_EQ(shownWindows(e.window), QList<QWidget *>{first.data()});
        EXPECT_FALSE(busy(first)) << "shown again, not loaded again";
        EXPECT_EQ(first->windowTitle(), "changed");
        // Esc closes each of them for good.
        ASSERT_TRUE(QTest::qWaitForWindowActive(first));
        QTest::keyClick(first.data(), Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 30000));
        QPointer<QWidget> fresh = openWindow(main, e);
        ASSERT_TRUE(fresh);
        ASSERT_TRUE(closeForGood(fresh));
    }
    EXPECT_TRUE(ui::testing::shown().isEmpty());
}

// Larger text widens the windows instead of cutting their texts: the main window's buttons grow
// and push the log down, and every window its menu opens has room for each of its texts.
TEST(Form1, EveryWindowKeepsItsTextWholeAtLargerSize)
{
    DialogTestFolder folder;
    const QString openid = "oAbCdEfGhIjKlMnOpQrStUvWxYz0"; // 28 characters, as WeChat's are
    {
        Database db(folder.connection());
        db.exec("insert into tempmsg (msg, kind, openid, stat, sendtime) values (?, ?, ?, ?, ?)",
                {"{}", 1, openid, "{\"errcode\":43004,\"errmsg\":\"require subscribe\"}",
                 QDateTime::currentDateTime().addSecs(-3600).toString("yyyy-MM-dd HH:mm:ss")});
    }
    LargerText larger;
    Form1 main(testsupport::liveSettings());
    main.show();
    int right = 0;
    for (QPushButton *b : {main.startsvr, main.endsvr, main.quitme}) {
        const QFontMetrics metrics(b->font());
        EXPECT_GT(b->width(), metrics.horizontalAdvance(b->text()) + 8) << b->text().toStdString();
        EXPECT_GT(b->height(), metrics.height()) << b->text().toStdString();
        EXPECT_GT(b->x(), right) << "no button covers the one before it";
        right = b->geometry().right();
        EXPECT_LT(b->geometry().bottom(), main.Text1->y());
    }
    for (const Entry &e : kEntries) {
        SCOPED_TRACE(e.window);
        QPointer<QWidget> w = openWindow(main, e);
        ASSERT_TRUE(w);
        expectTextFits(*w);
        if (auto *schedule = qobject_cast<Form3 *>(w.data())) {
            // The dialog grows for the note on a replaced interval.
            schedule->Text1->setText("31");
            schedule->Text1_LostFocus();
            QTest::qWait(0);
            expectTextFits(*schedule);
        }
        if (auto *viewer = qobject_cast<Form6 *>(w.data())) {
            // Each column holds its header and its cells; the JSON body is read in its tooltip.
            const QAbstractItemModel *model = viewer->ListView1->model();
            ASSERT_EQ(model->rowCount(), 1);
            EXPECT_EQ(model->index(0, 2).data().toString(), openid);
            const QFontMetrics header(viewer->ListView1->horizontalHeader()->font());
            const QFontMetrics cells(viewer->ListView1->font());
            for (int c = 0; c < model->columnCount(); ++c) {
                const int width = viewer->ListView1->columnWidth(c);
                EXPECT_LE(header.horizontalAdvance(model->headerData(c, Qt::Horizontal).toString()),
                          width)
                    << c;
                if (c != 5) {
                    EXPECT_LE(cells.horizontalAdvance(model->index(0, c).data().toString()), width)
                        << c;
                }
            }
        }
        ASSERT_TRUE(closeForGood(w));
    }
}
