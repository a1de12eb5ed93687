// The about box: the product it names, no made-up address, the system information.
#include "desktop/frm_about.h"
#include "support/larger_text.h"
#include "ui/message_box.h"

#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QTest>
#include <gtest/gtest.h>

using namespace veltrano;

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
               "包括模版消息和客服消息并且可以与第三方微信公众号管理系统接口。"}});
    // No made-up address: the line shows only when the build names a site.
    EXPECT_FALSE(frmAbout::webSite().contains("example"));
    EXPECT_EQ(box.Label2->isVisible(), !frmAbout::webSite().isEmpty());
    EXPECT_FALSE(box.picIcon->pixmap().isNull());
    QTest::mouseClick(box.cmdOK, Qt::LeftButton);
    EXPECT_FALSE(box.isVisible());
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
