// The skin step of start-up: which calls it makes for which folder, and that the blue skin applies.
#include "app/form1.h"
#include "desktop/skin.h"
#include "support/live_settings.h"
#include "support/temp_app_folder.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
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

// The built-in look always; blue.she only when a file named skinh.she switches it on, and only
// when blue.she is a text style sheet.
TEST_F(Skin, TheMarkerFileSwitchesOnBlueAndOnlyTextLoads)
{
    enum Marker { None, File, Folder };
    struct Case {
        const char *what;
        Marker marker;
        QByteArray blue; // null: no blue.she
        bool loaded;
    };
    const Case cases[] = {
        {"no skin folder", None, {}, false},
        {"a marker, no blue.she", File, {}, false},
        {"a folder named skinh.she", Folder, "QPushButton { color: red; }", false},
        {"a binary skin of another program", File, QByteArray("SKIN\0\x01\x02", 7), false},
        {"a sheet that is no UTF-8", File, "QLabel { color: \xff\xfe; }", false},
        {"a marker and a text sheet", File, "QPushButton { color: red; }", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qApp->setStyleSheet(QString());
        QDir(skinFolder()).removeRecursively();
        if (c.marker == Folder)
            QDir().mkpath(skinFolder() + "/skinh.she");
        if (c.marker == File)
            write("skinh.she", "/* on */");
        if (!c.blue.isNull())
            write("blue.she", c.blue);
        const SkinAttachment done = attachSkin(folder.path());
        EXPECT_TRUE(done.attached);
        if (!c.loaded) { // a style sheet wraps the style and hides its name
            EXPECT_EQ(QApplication::style()->name().toLower(), "fusion");
        }
        EXPECT_EQ(done.attachExPath.value_or("<none>"),
                  c.marker == File ? folder.path() + "/skin/blue.she" : QString("<none>"));
        EXPECT_EQ(done.styleSheetApplied, c.loaded);
        EXPECT_EQ(qApp->styleSheet(), c.loaded ? QString::fromUtf8(c.blue) : QString());
    }
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

// The skin's menu bar may be taller than the plain one: the window grows, the client area does not
// shrink.
TEST_F(Skin, StartUpAttachesTheSkinAndKeepsTheClientArea)
{
    QSize plain;
    {
        Form1 w(testsupport::liveSettings());
        w.show();
        plain = w.centralWidget()->size();
    }
    copyRepositorySkin();
    Form1 w(testsupport::liveSettings());
    w.show();
    EXPECT_FALSE(qApp->styleSheet().isEmpty());
    EXPECT_EQ(w.centralWidget()->size(), plain);
}
