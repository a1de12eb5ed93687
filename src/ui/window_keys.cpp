// Keys every secondary window answers the same way.
#include "ui/window_keys.h"

#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace veltrano::ui {

void closeOnEscape(QWidget *window)
{
    // A shortcut of the window rather than a key handler, so Esc works from whichever box has the
    // focus; an open drop-down list is a window of its own and still takes its Esc first.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    QObject::connect(escape, &QShortcut::activated, window, &QWidget::close);
}

} // namespace veltrano::ui
