// Owner-only permissions for the files the program creates with secrets or follower data in them.
#include "core/file_modes.h"

#include <QFile>

namespace veltrano {

namespace {
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
}

bool restrictToOwner(QFileDevice &file)
{
    return file.setPermissions(kOwnerOnly);
}

bool restrictToOwner(const QString &path)
{
    return QFile::setPermissions(path, kOwnerOnly);
}

} // namespace veltrano
