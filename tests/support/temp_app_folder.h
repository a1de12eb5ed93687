// A fresh application folder for one test: config.ini, databases and logs land there, then vanish.
#pragma once

#include "core/app_context.h"

#include <QString>
#include <QTemporaryDir>

namespace veltrano::testsupport {

class TempAppFolder {
public:
    TempAppFolder() { setApplicationFolder(m_dir.path()); }
    ~TempAppFolder() { setApplicationFolder(QString()); }
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

} // namespace veltrano::testsupport
