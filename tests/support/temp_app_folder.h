// A fresh application folder for one test: config.ini, databases and logs land there, then vanish.
#pragma once

#include "core/app_context.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace veltrano::testsupport {

class TempAppFolder {
public:
    TempAppFolder() { setApplicationFolder(m_dir.path()); }
    ~TempAppFolder() { setApplicationFolder(QString()); }
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

    // Replaces config.ini with a [con] section holding `lines` ("key=value\n" each).
    bool writeConfig(const QByteArray &lines) const
    {
        QFile ini(file(QStringLiteral("config.ini")));
        return ini.open(QIODevice::WriteOnly | QIODevice::Truncate)
               && ini.write("[con]\n" + lines) >= 0;
    }

private:
    QTemporaryDir m_dir;
};

} // namespace veltrano::testsupport
