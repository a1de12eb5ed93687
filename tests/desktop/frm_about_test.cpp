// The about box: its texts, its one non-modal instance from the menu, and the system-information button.
#include "app/form1.h"
#include "desktop/frm_about.h"
#include "support/temp_app_folder.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
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

TEST(frmAbout, ShowsTheProductAndItsSite)
{
    frmAbout box;
    EXPECT_EQ(box.windowTitle(), "关于 ");
    EXPECT_EQ(box.lblTitle->text(), "Veltrano");
    EXPECT_EQ(box.lblVersion->text(), "版本：1.01");
    EXPECT_EQ(box.lblDescription->text(),
              "应用程序描述：本程序与MSSQL接口，实现消息的定时、自动推送。包括模版消息和客服消息并且"
              "可以与第三方微信公众号管理系统接口。");
    EXPECT_EQ(box.Label2->text(), "官方网站 " + frmAbout::webSite());
    EXPECT_TRUE(frmAbout::webSite().startsWith("https://"));
    EXPECT_EQ(box.cmdOK->text(), "确定");
    EXPECT_EQ(box.cmdSysInfo->text(), "系统信息(&S)...");
    EXPECT_FALSE(box.picIcon->pixmap().isNull());
    EXPECT_EQ(box.findChildren<QFrame *>("Line1").size(), 2);
    for (QLabel *l : {box.lblTitle, box.lblVersion, box.lblDescription, box.Label2})
        EXPECT_TRUE(box.rect().contains(l->geometry())) << l->objectName().toStdString();
}

TEST(frmAbout, OpensOnceWithoutBlockingAndLoadsAnewAfterClosing)
{
    testsupport::TempAppFolder folder;
    Form1 w;
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

TEST(frmAbout, SystemInformationIsUnavailableWithoutTheRegistry)
{
    ui::testing::reset();
    frmAbout box;
    box.show();
    QTest::mouseClick(box.cmdSysInfo, Qt::LeftButton);
    const auto shown = ui::testing::shown();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].text, "此时系统信息不可用");
    EXPECT_EQ(shown[0].title, "Veltrano");
    EXPECT_EQ(shown[0].buttons, QMessageBox::Ok);
    EXPECT_EQ(shown[0].icon, QMessageBox::NoIcon);
    EXPECT_TRUE(box.isVisible()) << "the about box stays open";

#ifndef Q_OS_WIN
    QString value = "before";
    EXPECT_FALSE(frmAbout::GetKeyValue(frmAbout::RegistryRoot::LocalMachine,
                                       "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", value));
    EXPECT_EQ(value, "");
#endif
}
