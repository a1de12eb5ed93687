// The about box: its texts, its one non-modal instance from the menu, the system information.
#include "app/form1.h"
#include "desktop/frm_about.h"
#include "support/larger_text.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSysInfo>
#include <QTest>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {
frmAbout *openAbout(Form1 &w)
{
    w.abt->trigger();
    return w.findChild<frmAbout *>();
}
} // namespace

TEST(frmAbout, ShowsTheProductAndBothDatabases)
{
    frmAbout box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    testsupport::expectCaptions(
        box, {{"", "关于 "},
              {"lblTitle", "Veltrano"},
              {"lblVersion", "版本：" VELTRANO_VERSION},
              {"lblDescription",
               "应用程序描述：本程序与SQL Server或内置SQLite数据库接口，实现消息的定时、自动推送。"
               "包括模版消息和客服消息并且可以与第三方微信公众号管理系统接口。"},
              {"cmdOK", "确定"},
              {"cmdSysInfo", "系统信息(&S)..."}});
    // No made-up address: the line shows only when the build names a site.
    EXPECT_FALSE(frmAbout::webSite().contains("example"));
    EXPECT_EQ(box.Label2->text(), "官方网站 " + frmAbout::webSite());
    EXPECT_EQ(box.Label2->isVisible(), !frmAbout::webSite().isEmpty());
    EXPECT_FALSE(box.picIcon->pixmap().isNull());
    testsupport::expectTextFits(box);
}

TEST(frmAbout, LargerTextStillFits)
{
    testsupport::LargerText larger;
    frmAbout box;
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    testsupport::expectTextFits(box);
}

TEST(frmAbout, OpensOnceWithoutBlockingAndLoadsAnewAfterClosing)
{
    testsupport::TempAppFolder folder;
    Form1 w(testsupport::liveSettings());
    w.show();
    ASSERT_TRUE(w.abt->isEnabled());
    QPointer<frmAbout> first = openAbout(w);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(first->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    first->setWindowTitle("changed");
    w.abt->trigger();
    EXPECT_EQ(w.findChildren<frmAbout *>().size(), 1);
    EXPECT_EQ(first->windowTitle(), "changed") << "the open box is shown again, not reloaded";

    QTest::mouseClick(first->cmdOK, Qt::LeftButton);
    QTRY_VERIFY(first.isNull()); // closed and discarded

    QPointer<frmAbout> second = openAbout(w);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->windowTitle(), "关于 ");
    QTest::keyClick(second, Qt::Key_Escape); // Esc discards it too
    QTRY_VERIFY(second.isNull());
}

#ifndef Q_OS_WIN
TEST(frmAbout, SystemInformationShowsWhatQtKnowsWithoutTheRegistry)
{
    ui::testing::reset();
    frmAbout box;
    box.show();
    QTest::mouseClick(box.cmdSysInfo, Qt::LeftButton);
    const auto shown = ui::testing::shown();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].text, frmAbout::systemSummary());
    EXPECT_TRUE(shown[0].text.contains(QSysInfo::kernelType())) << shown[0].text.toStdString();
    EXPECT_TRUE(shown[0].text.contains(QString::fromLatin1(qVersion())));
    EXPECT_EQ(shown[0].title, "Veltrano");
    EXPECT_EQ(shown[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(box.isVisible()) << "the about box stays open";

    QString value = "before";
    EXPECT_FALSE(frmAbout::GetKeyValue(frmAbout::RegistryRoot::LocalMachine,
                                       "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", value));
    EXPECT_EQ(value, "");
}
#endif

#ifdef Q_OS_WIN
// Texts and numbers come out of the registry whole, and a key that is not there reads as nothing.
TEST(frmAbout, RegistryValuesAreReadAsTextOrNumber)
{
    const QString key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    QString value;
    ASSERT_TRUE(
        frmAbout::GetKeyValue(frmAbout::RegistryRoot::LocalMachine, key, "CurrentVersion", value));
    EXPECT_TRUE(value.contains(u'.')) << value.toStdString();
    value = "before";
    EXPECT_FALSE(frmAbout::GetKeyValue(frmAbout::RegistryRoot::CurrentUser, key + "\\NoSuchKey",
                                       "PATH", value));
    EXPECT_EQ(value, "");
}
#endif
