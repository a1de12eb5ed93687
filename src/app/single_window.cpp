// The first window on a settings file listens on a local socket named after it; later starts
// connect, which is the request to come forward.
#include "app/single_window.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

namespace veltrano {

QString SingleWindow::serverName(const QString &configPath)
{
    const QFileInfo info(configPath);
    const QString path = info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
    // Another user's window on the same file is theirs to run; the user is part of the name.
    const QString user = qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME"));
    const QByteArray hash = QCryptographicHash::hash((user + u'\n' + path).toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("veltrano-") + QString::fromLatin1(hash.toHex().left(24));
}

SingleWindow::SingleWindow(const QString &configPath, QObject *parent)
    : QObject(parent), m_name(serverName(configPath))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
            Q_EMIT raiseRequested();
        }
    });
    // Two tries: a start at the same moment may win the name between this one's look and listen.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (askRunningWindow()) {
            m_handedOver = true;
            return;
        }
        if (m_server.listen(m_name))
            return;
        // Nobody answers on the name: a window that ended without closing it left it behind.
        if (m_server.serverError() == QAbstractSocket::AddressInUseError)
            QLocalServer::removeServer(m_name);
    }
    // Not listening costs only the hand-over; the window itself still opens.
}

bool SingleWindow::askRunningWindow()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(1000))
        return false;
    socket.disconnectFromServer();
    return true;
}

} // namespace veltrano
