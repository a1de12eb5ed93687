// The application folder and the API base, set once at start-up and read everywhere.
#include "core/app_context.h"

#include <QCoreApplication>
#include <QMutex>

namespace veltrano {
namespace {
QMutex folderMutex;
QString folderValue;
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
