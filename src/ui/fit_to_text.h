// Fixed-size windows that keep their designed size and still grow when larger text needs room.
#pragma once

#include <QSize>

class QWidget;

namespace veltrano::ui {

// Gives a window with a layout the fixed size `designed`, or more where its layout needs more
// room for its text (a larger font); word-wrapped labels get the height their text needs at that
// width.
void fixSizeToText(QWidget *window, QSize designed);

} // namespace veltrano::ui
