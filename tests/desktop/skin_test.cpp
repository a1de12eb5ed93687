// The skin step of start-up: which calls it makes for which folder, and that the blue skin applies.
#include "app/form1.h"
#include "desktop/skin.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace veltrano;

namespace {
class Skin : public ::testing::Test {
protected:
    void SetUp() override { qApp->setStyleSheet(QString()); }
    void TearDown() override { qApp->setStyleSheet(QString()); }

    QString skinFolder() const { return folder.path() + "/skin"; }

    void write(const QString &name, const QByteArray &bytes) const
    {
        QDir().mkpath(skinFolder());
        QFile f(skinFolder() + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    void copyRepositorySkin() const
    {
        QDir().mkpath(skinFolder());
        for (const char *name : {"skinh.she", "blue.she"}) {
            ASSERT_TRUE(QFile::copy(QStringLiteral(VELTRANO_SKIN_DIR "/") + name,
                                    skinFolder() + "/" + name))
                << name;
        }
    }

    testsupport::TempAppFolder folder;
};

QStringList g_warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    // The offscreen platform's own complaint, and Wine's lack of a DPI call the windows platform
    // makes, are no concern of the skin.
    if (type != QtDebugMsg && type != QtInfoMsg && !text.contains("propagateSizeHints")
        && !text.contains("EnableNonClientDpiScaling"))
        g_warnings << text;
}
} // namespace

TEST_F(Skin, WithoutASkinFolderOnlyTheBuiltInLookIsAttached)
{
    const SkinAttachment done = attachSkin(folder.path());
    EXPECT_TRUE(done.attached);
    EXPECT_FALSE(done.attachExPath.has_value());
    EXPECT_FALSE(done.styleSheetApplied);
    EXPECT_EQ(QApplication::style()->name().toLower(), "fusion");
    EXPECT_EQ(qApp->styleSheet(), "");
}

TEST_F(Skin, TheMarkerFileSwitchesOnBlueEvenWhenBlueIsMissing)
{
    write("skinh.she", "/* on */");
    const SkinAttachment done = attachSkin(folder.path());
    EXPECT_TRUE(done.attached);
    ASSERT_TRUE(done.attachExPath.has_value());
    EXPECT_EQ(*done.attachExPath, folder.path() + "/skin/blue.she");
    EXPECT_FALSE(done.styleSheetApplied);
    EXPECT_EQ(qApp->styleSheet(), "") << "a missing blue.she leaves the look as it was";
}

TEST_F(Skin, AReadOnlyOrUnreadableMarkerCountsAsPresent)
{
#ifdef Q_OS_WIN
    GTEST_SKIP() << "Windows has no unreadable file mode: access is the file's access list";
#endif
    write("blue.she", "QPushButton { color: #123456; }");
    write("skinh.she", "");
    QFile marker(skinFolder() + "/skinh.she");
    for (QFileDevice::Permissions permissions :
         {QFileDevice::Permissions(QFileDevice::ReadOwner), QFileDevice::Permissions()}) {
        ASSERT_TRUE(marker.setPermissions(permissions));
        qApp->setStyleSheet(QString());
        const SkinAttachment done = attachSkin(folder.path());
        EXPECT_TRUE(done.styleSheetApplied);
        EXPECT_EQ(qApp->styleSheet(), "QPushButton { color: #123456; }");
    }
    marker.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(Skin, OnlyAFileNamedSkinhCountsAndOnlyTextLoads)
{
    QDir().mkpath(skinFolder() + "/skinh.she"); // a folder of that name
    write("blue.she", "QPushButton { color: red; }");
    EXPECT_FALSE(attachSkin(folder.path()).attachExPath.has_value());

    // A binary skin file from elsewhere is not taken for a style sheet.
    ASSERT_TRUE(QDir(skinFolder()).rmdir("skinh.she"));
    write("skinh.she", "");
    write("blue.she", QByteArray("SKIN\0\x01\x02", 7));
    EXPECT_FALSE(attachSkin(folder.path()).styleSheetApplied);
    write("blue.she", "QLabel { color: \xff\xfe; }"); // not UTF-8
    EXPECT_FALSE(attachSkin(folder.path()).styleSheetApplied);
    EXPECT_EQ(qApp->styleSheet(), "");
    EXPECT_EQ(SkinH_AttachEx(skinFolder() + "/none.she", QString()), -1);
}

TEST_F(Skin, TheShippedBlueSkinParsesAndColoursTheWidgets)
{
    copyRepositorySkin();
    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    const SkinAttachment done = attachSkin(folder.path());

    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *button = new QPushButton(QStringLiteral("启动服务"));
    layout->addWidget(button);
    layout->addWidget(new QLineEdit(QStringLiteral("文本")));
    auto *combo = new QComboBox;
    combo->addItems({QStringLiteral("模版消息"), QStringLiteral("客服消息")});
    layout->addWidget(combo);
    auto *tree = new QTreeWidget;
    tree->setHeaderLabels({QStringLiteral("openid"), QStringLiteral("结果")});
    tree->addTopLevelItem(new QTreeWidgetItem({QStringLiteral("o1"), QStringLiteral("ok")}));
    layout->addWidget(tree);
    auto *progress = new QProgressBar;
    progress->setValue(40);
    layout->addWidget(progress);
    QMenu menu;
    menu.addAction(QStringLiteral("数据库配置"));
    window.resize(320, 320);
    window.show();
    const QImage buttonImage = button->grab().toImage();
    window.grab();
    menu.grab();
    qInstallMessageHandler(previous);

    EXPECT_TRUE(done.styleSheetApplied);
    EXPECT_FALSE(qApp->styleSheet().isEmpty());
    EXPECT_TRUE(g_warnings.isEmpty()) << g_warnings.join('\n').toStdString();
    // The button's face is blue: take a pixel left of its caption.
    const QColor face = buttonImage.pixelColor(4, buttonImage.height() / 2);
    EXPECT_GT(face.blue(), face.red() + 60) << face.name().toStdString();
}

TEST_F(Skin, StartUpAttachesTheSkinAndKeepsTheClientArea)
{
    copyRepositorySkin();
    Form1 w(testsupport::liveSettings());
    w.show();
    EXPECT_FALSE(qApp->styleSheet().isEmpty());
    EXPECT_EQ(w.centralWidget()->size(), QSize(654, 272));
}
