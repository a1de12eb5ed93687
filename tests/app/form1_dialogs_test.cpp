// The main window's settings entries: one dialog each, brought back when chosen again.
#include "app/form1.h"
#include "core/database.h"
#include "dialogs/form2.h"
#include "dialogs/form3.h"
#include "dialogs/form5.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {

template <class Window>
QList<Window *> openWindows()
{
    QList<Window *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<Window *>(w); window && window->isVisible())
            found << window;
    }
    return found;
}

template <class Window>
void closeAll()
{
    for (Window *w : openWindows<Window>()) {
        QPointer<Window> p(w);
        w->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return p.isNull(); }, 30000));
    }
}

} // namespace

TEST(Form1, SettingsEntriesOpenOneDialogEach)
{
    testsupport::TempAppFolder folder;
    {
        QFile ini(folder.file("config.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[con]\r\ndb=test.db\r\ndriver=sqlite\r\n");
    }
    {
        Settings sqlite;
        sqlite.db = "test.db";
        sqlite.driver = "sqlite";
        Database db(sqlite, 0, MissingFile::Create);
        for (const char *key : {"temp", "temp_timer", "cust", "cust_timer"})
            db.exec(db.sql().updateParam, {QStringLiteral("3"), QString::fromLatin1(key)});
    }
    ui::testing::reset();
    Form1 main(testsupport::liveSettings());
    for (QAction *entry : {main.dataconfig, main.timeconfig, main.wxconfig})
        EXPECT_TRUE(entry->isEnabled()) << entry->objectName().toStdString();

    main.timeconfig->trigger();
    ASSERT_EQ(openWindows<Form3>().size(), 1);
    QPointer<Form3> schedule = openWindows<Form3>().first();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !schedule->isBusy(); }, 30000));
    schedule->Text1->setText("17"); // not saved yet: a reload would put back the stored value
    main.timeconfig->trigger();
    ASSERT_EQ(openWindows<Form3>().size(), 1);
    EXPECT_EQ(openWindows<Form3>().first(), schedule.data());
    EXPECT_EQ(schedule->Text1->text(), "17");
    EXPECT_FALSE(schedule->isBusy());

    main.wxconfig->trigger();
    main.wxconfig->trigger();
    EXPECT_EQ(openWindows<Form5>().size(), 1);
    main.dataconfig->trigger();
    main.dataconfig->trigger();
    EXPECT_EQ(openWindows<Form2>().size(), 1);

    // A closed dialog is gone for good; the entry then opens a fresh one that loads again.
    schedule->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return schedule.isNull(); }, 30000));
    main.timeconfig->trigger();
    ASSERT_EQ(openWindows<Form3>().size(), 1);
    Form3 *fresh = openWindows<Form3>().first();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fresh->isBusy(); }, 30000));
    EXPECT_EQ(fresh->Text1->text(), "17");

    closeAll<Form3>();
    closeAll<Form5>();
    closeAll<Form2>();
    EXPECT_TRUE(ui::testing::shown().isEmpty());
}
