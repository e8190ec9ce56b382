#include "instanceactivationserver.h"

#include "appinfo.h"

#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QWidget>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// A request arrives at once or not at all.
constexpr int kConnectionTimeoutMs = 2000;
// Only the user's own processes get in: a handful is plenty.
constexpr int kMaxConnections = 4;

void drop(QLocalSocket *socket)
{
    socket->abort();
    socket->deleteLater();
}

bool peerIsThisUser(QLocalSocket *socket)
{
#ifdef Q_OS_LINUX
    // Besides the private folder: whatever way the peer found in.
    struct ucred credentials;
    socklen_t size = sizeof credentials;
    return ::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0
        && credentials.uid == ::geteuid();
#else
    Q_UNUSED(socket)
    return true;
#endif
}
}

InstanceActivationServer::InstanceActivationServer(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    m_server->setMaxPendingConnections(kMaxConnections);
    connect(m_server, &QLocalServer::newConnection, this, &InstanceActivationServer::onNewConnection);
}

QString InstanceActivationServer::defaultPath()
{
#ifdef Q_OS_UNIX
    const QString folder = AppInfo::runtimeDir();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/instance.sock");
#else
    // A pipe that the user access option keeps to this user.
    return AppInfo::applicationName() + QStringLiteral("_INSTANCE");
#endif
}

QByteArray InstanceActivationServer::request()
{
    return QByteArrayLiteral("raise\n");
}

bool InstanceActivationServer::listen(const QString &path)
{
    if (path.isEmpty())
        return false;
    QLocalServer::removeServer(path);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        qWarning().noquote() << Q_FUNC_INFO << "A second start cannot reach this one:" << m_server->errorString();
        return false;
    }
#ifdef Q_OS_UNIX
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
#endif
    return true;
}

bool InstanceActivationServer::requestActivation(const QString &path, int timeoutMs)
{
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(request());
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The server hangs up once it has read the request.
    return socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(timeoutMs);
}

void InstanceActivationServer::bringToFront(QWidget *window)
{
    // Hidden only while the update check runs: that shows it when done.
    if (!window || !window->isVisible())
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void InstanceActivationServer::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const int open = findChildren<QLocalSocket *>().size();
        if (open > kMaxConnections || !peerIsThisUser(socket)) {
            drop(socket);
            continue;
        }
        // Never more than the request in memory.
        socket->setReadBufferSize(request().size());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QTimer::singleShot(kConnectionTimeoutMs, socket, [socket] { drop(socket); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void InstanceActivationServer::onReadyRead(QLocalSocket *socket)
{
    const QByteArray expected = request();
    const QByteArray received = socket->peek(expected.size());
    if (!expected.startsWith(received)) {
        drop(socket);
        return;
    }
    if (received.size() < expected.size())
        return;
    socket->read(expected.size());
    socket->disconnectFromServer();
    qDebug().noquote() << Q_FUNC_INFO << "Another start asks for the window";
    emit activationRequested();
}
