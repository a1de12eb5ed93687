// The skin: Fusion with a calm palette, then the optional blue style sheet from the skin folder.
#include "desktop/skin.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QPalette>
#include <QStringDecoder>
#include <QStyle>
#include <QStyleFactory>

namespace veltrano {
namespace {
// Far beyond any real style sheet; a file this large is not one.
constexpr qint64 kMaxSkinBytes = 1024 * 1024;

QPalette calmPalette()
{
    const QColor window(0xF2, 0xF5, 0xF9);
    const QColor button(0xE8, 0xED, 0xF4);
    const QColor text(0x1F, 0x29, 0x33);
    const QColor muted(0x9A, 0xA5, 0xB1);
    const QColor highlight(0x2F, 0x74, 0xC9);

    QPalette p(button, window); // derives the light and dark shades Fusion draws its bevels with
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xEE, 0xF3, 0xFA));
    p.setColor(QPalette::ToolTipBase, Qt::white);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, highlight);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x1E, 0x6F, 0xD9));
    p.setColor(QPalette::PlaceholderText, QColor(0x8A, 0x96, 0xA3));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, muted);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0xB4, 0xC3, 0xD6));
    return p;
}
} // namespace

int SkinH_Attach()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return 0;
    // Setting the same style again would re-polish every widget for nothing.
    if (QApplication::style()->name().compare(u"fusion", Qt::CaseInsensitive) != 0)
        QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setPalette(calmPalette());
    return 0;
}

int SkinH_AttachEx(const QString &path, const QString &password)
{
    Q_UNUSED(password)
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    QFile file(path);
    if (!app || !file.open(QIODevice::ReadOnly) || file.size() > kMaxSkinBytes)
        return -1;
    const QByteArray bytes = file.readAll();
    // A binary skin of some other program must not be read as a style sheet.
    if (bytes.contains('\0'))
        return -1;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString sheet = utf8.decode(bytes);
    if (utf8.hasError())
        return -1;
    app->setStyleSheet(sheet);
    return 0;
}

SkinAttachment attachSkin(const QString &applicationFolder)
{
    SkinAttachment done;
    SkinH_Attach();
    done.attached = true;
    const QString skinFolder = applicationFolder + QStringLiteral("/skin/");
    // The file tested and the file loaded differ: skinh.she only switches the skin on. A plain
    // existence check finds it whether hidden or read-only; a folder of that name does not count.
    const QFileInfo marker(skinFolder + QStringLiteral("skinh.she"));
    if (marker.exists() && !marker.isDir()) {
        done.attachExPath = skinFolder + QStringLiteral("blue.she");
        done.styleSheetApplied = SkinH_AttachEx(*done.attachExPath, QString()) == 0;
    }
    return done;
}

} // namespace veltrano
