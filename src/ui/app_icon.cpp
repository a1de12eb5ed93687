// Draws the program's icon: a blue tile with a white paper plane, at the sizes window managers ask.
#include "ui/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace veltrano::ui {

QIcon appIcon()
{
    static const QIcon icon = [] {
        QIcon result;
        for (int size : {16, 24, 32, 48, 64, 128}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(size / 64.0, size / 64.0);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0x1E, 0x6F, 0xD9));
            p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
            QPainterPath plane;
            plane.moveTo(12, 31);
            plane.lineTo(52, 14);
            plane.lineTo(40, 50);
            plane.lineTo(31, 38);
            plane.closeSubpath();
            p.setBrush(Qt::white);
            p.drawPath(plane);
            p.setBrush(QColor(0xC8, 0xDC, 0xF7));
            QPainterPath fold;
            fold.moveTo(31, 38);
            fold.lineTo(52, 14);
            fold.lineTo(28, 48);
            fold.closeSubpath();
            p.drawPath(fold);
            p.end();
            result.addPixmap(pixmap);
        }
        return result;
    }();
    return icon;
}

} // namespace veltrano::ui
