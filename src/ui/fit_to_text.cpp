// Fixed-size windows that keep their designed size and still grow when larger text needs room.
#include "ui/fit_to_text.h"

#include <QLayout>
#include <QWidget>

namespace veltrano::ui {

void fixSizeToText(QWidget *window, QSize designed)
{
    QLayout *layout = window->layout();
    if (!layout) {
        window->setFixedSize(designed);
        return;
    }
    layout->activate();
    const int width = qMax(designed.width(), layout->totalMinimumSize().width());
    const int needed = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                   : layout->totalSizeHint().height();
    window->setFixedSize(width, qMax(designed.height(), needed));
}

} // namespace veltrano::ui
