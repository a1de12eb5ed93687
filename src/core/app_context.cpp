// The folders and the API base, set once at start-up and read everywhere.
#include "core/app_context.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace veltrano {
namespace {
QMutex folderMutex;
QString folderValue;
QString configValue;
QString resourceValue;

// Writable for real: permission bits say little on read-only mounts or under other owners.
bool canWriteIn(const QString &folder)
{
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return false;
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".veltrano-write-test-XXXXXX")));
    return probe.open();
}

QString standardFolder(QStandardPaths::StandardLocation location)
{
    const QString folder = QStandardPaths::writableLocation(location);
    QDir().mkpath(folder);
    return folder;
}
} // namespace

void setApplicationFolder(const QString &folder)
{
    QMutexLocker lock(&folderMutex);
    folderValue = folder;
}

QString applicationFolder()
{
    QMutexLocker lock(&folderMutex);
    if (folderValue.isEmpty() && QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return folderValue;
}

void setConfigFile(const QString &path)
{
    QMutexLocker lock(&folderMutex);
    configValue = path;
}

QString configFile()
{
    {
        QMutexLocker lock(&folderMutex);
        if (!configValue.isEmpty())
            return configValue;
    }
    return QDir(applicationFolder()).filePath(QStringLiteral("config.ini"));
}

void setResourceFolder(const QString &folder)
{
    QMutexLocker lock(&folderMutex);
    resourceValue = folder;
}

QString resourceFolder()
{
    {
        QMutexLocker lock(&folderMutex);
        if (!resourceValue.isEmpty())
            return resourceValue;
    }
    return applicationFolder();
}

void chooseFolders(const QString &programFolder, const QString &configOverride)
{
    // Installed as <prefix>/bin/veltrano, the skin sits in <prefix>/share/veltrano/skin.
    // Such an installation is never written to, even by root: its data goes to the user's folders.
    const QString shared = QDir::cleanPath(programFolder + QStringLiteral("/../share/veltrano"));
    const bool installed = !QFileInfo(programFolder + QStringLiteral("/skin")).isDir()
                           && QFileInfo(shared + QStringLiteral("/skin")).isDir();
    setResourceFolder(installed ? shared : programFolder);
    if (!configOverride.isEmpty()) {
        const QString config = QFileInfo(configOverride).absoluteFilePath();
        const QString beside = QFileInfo(config).absolutePath();
        setConfigFile(config);
        setApplicationFolder(canWriteIn(beside) ? beside
                                                : standardFolder(QStandardPaths::AppDataLocation));
        return;
    }
    if (!installed && canWriteIn(programFolder)) {
        setConfigFile(QString());
        setApplicationFolder(programFolder);
        return;
    }
    setConfigFile(QDir(standardFolder(QStandardPaths::AppConfigLocation))
                      .filePath(QStringLiteral("config.ini")));
    setApplicationFolder(standardFolder(QStandardPaths::AppDataLocation));
}

QString apiBase()
{
    QString base = qEnvironmentVariable("VELTRANO_API_BASE");
    if (base.isEmpty())
        base = QString::fromLatin1(kWeChatApiBase);
    while (base.endsWith(u'/'))
        base.chop(1);
    return base;
}

} // namespace veltrano
