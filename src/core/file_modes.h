// Files that hold secrets or follower data are made readable by their owner only.
#pragma once

#include <QFileDevice>
#include <QString>

namespace veltrano {

// Owner read and write, nobody else (a no-op where the file system has no such modes).
bool restrictToOwner(QFileDevice &file);
bool restrictToOwner(const QString &path);

} // namespace veltrano
