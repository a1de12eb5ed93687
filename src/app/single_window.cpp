// The name both starts meet at, and on every platform but Windows a local socket under that name:
// later starts connect, which is the request to come forward.
#include "app/single_window.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#ifndef _WIN32
#include <QLocalServer>
#include <QLocalSocket>
#endif

namespace veltrano {

QString SingleWindow::serverName(const QString &configPath)
{
    const QFileInfo info(configPath);
    const QString path =
        info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
    // Another user's window on the same file is theirs to run; the user is part of the name.
    const QString user = qEnvironmentVariable("USER", qEnvironmentVariable("USERNAME"));
    const QByteArray hash =
        QCryptographicHash::hash((user + u'\n' + path).toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("veltrano-") + QString::fromLatin1(hash.toHex().left(24));
}

#ifndef _WIN32

struct SingleWindow::Listener {
    QLocalServer server;
};

SingleWindow::SingleWindow(const QString &configPath, QObject *parent)
    : QObject(parent), m_name(serverName(configPath))
{
    handOverOrListen();
}

SingleWindow::~SingleWindow() = default;

namespace {

bool askRunningWindow(const QString &name)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(1000))
        return false;
    socket.disconnectFromServer();
    return true;
}

} // namespace

void SingleWindow::handOverOrListen()
{
    m_listener = std::make_unique<Listener>();
    QLocalServer &server = m_listener->server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, [this, &server] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
            Q_EMIT raiseRequested();
        }
    });
    // Two tries: a start at the same moment may win the name between this one's look and listen.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (askRunningWindow(m_name)) {
            m_handedOver = true;
            return;
        }
        if (server.listen(m_name))
            return;
        // Nobody answers on the name: a window that ended without closing it left it behind.
        if (server.serverError() == QAbstractSocket::AddressInUseError)
            QLocalServer::removeServer(m_name);
    }
    // Not listening costs only the hand-over; the window itself still opens.
}

#endif

} // namespace veltrano
