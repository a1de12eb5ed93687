// Keys every secondary window answers the same way.
#pragma once

class QWidget;

namespace veltrano::ui {

// Esc closes the window exactly as its close box does (the window's close handling runs).
void closeOnEscape(QWidget *window);

} // namespace veltrano::ui
