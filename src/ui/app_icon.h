// The program's icon, drawn rather than shipped as a binary file.
#pragma once

#include <QIcon>

namespace veltrano::ui {
QIcon appIcon();
}
