#include "kamailiorpcclient.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QAtomicInteger<quint32> socketCounter;

bool fillAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray native = QFile::encodeName(path);
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (native.isEmpty() || size_t(native.size()) >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, native.constData(), size_t(native.size()));
    return true;
}

}

KamailioRpcClient::KamailioRpcClient(const QString &kamailioSocket, const QString &runtimeDir, QObject *parent)
    : QObject(parent), m_kamailioSocket(kamailioSocket), m_runtimeDir(runtimeDir), m_deadline(new QTimer(this))
{
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, &KamailioRpcClient::onDeadline);
    m_replyPath = QDir(runtimeDir).filePath(QStringLiteral("plogger4-agent-rpc-%1-%2.sock")
                                                .arg(QCoreApplication::applicationPid())
                                                .arg(socketCounter.fetchAndAddRelaxed(1)));
}

KamailioRpcClient::~KamailioRpcClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_bound)
        ::unlink(QFile::encodeName(m_replyPath).constData());
}

bool KamailioRpcClient::ensureBound(QString *error)
{
    if (m_bound)
        return true;
    sockaddr_un address;
    if (!fillAddress(m_replyPath, &address)) {
        *error = QStringLiteral("the reply socket's path is too long for a unix socket: %1").arg(m_replyPath);
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QStringLiteral("cannot make a unix datagram socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // The name holds our pid: a file by that name is a leftover of ours.
    ::unlink(address.sun_path);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::chmod(address.sun_path, 0660) != 0) {
        *error = QStringLiteral("cannot bind the reply socket %1: %2")
                     .arg(m_replyPath, QString::fromLocal8Bit(strerror(errno)));
        ::close(fd);
        ::unlink(address.sun_path);
        return false;
    }
    // Kamailio answers as its own user: the socket takes the group of
    // Kamailio's own socket when we are a member (a service's runtime folder
    // belongs to the service's group, not to Kamailio's).
    struct stat kamailio {};
    if (::stat(QFile::encodeName(m_kamailioSocket).constData(), &kamailio) == 0 && kamailio.st_gid != ::getegid()
        && ::chown(address.sun_path, uid_t(-1), kamailio.st_gid) != 0)
        qDebug() << Q_FUNC_INFO << "the reply socket keeps its group:" << strerror(errno);
    m_fd = fd;
    m_bound = true;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &KamailioRpcClient::readReplies);
    return true;
}

quint64 KamailioRpcClient::call(const QString &method, const QJsonArray &params, Callback callback)
{
    Call c;
    c.id = m_nextId++;
    QJsonObject request{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                        {QStringLiteral("method"), method},
                        {QStringLiteral("id"), double(c.id)}};
    if (!params.isEmpty())
        request.insert(QStringLiteral("params"), params);
    c.request = QJsonDocument(request).toJson(QJsonDocument::Compact);
    c.callback = std::move(callback);
    c.timeoutMs = m_timeoutMs;
    c.since.start();
    m_calls.enqueue(c);
    // Sent from the event loop: a failure at once still reaches the caller later.
    if (m_calls.size() == 1)
        QMetaObject::invokeMethod(this, &KamailioRpcClient::sendNext, Qt::QueuedConnection);
    return c.id;
}

QString KamailioRpcClient::sendError(int error) const
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("Kamailio's control socket %1 does not exist (Kamailio not running, or jsonrpcs "
                              "without its datagram transport)")
            .arg(m_kamailioSocket);
    case ECONNREFUSED:
        return QStringLiteral("Kamailio is not running or restarting: nothing reads %1").arg(m_kamailioSocket);
    case EACCES:
    case EPERM:
        return QStringLiteral("no permission to write to Kamailio's control socket %1").arg(m_kamailioSocket);
    case EAGAIN:
        return QStringLiteral("Kamailio's control socket %1 is full: Kamailio is not reading it").arg(m_kamailioSocket);
    default:
        return QStringLiteral("cannot send to Kamailio's control socket %1: %2")
            .arg(m_kamailioSocket, QString::fromLocal8Bit(strerror(error)));
    }
}

void KamailioRpcClient::sendNext()
{
    while (!m_calls.isEmpty() && !m_calls.head().sent) {
        Call &c = m_calls.head();
        if (c.since.hasExpired(c.timeoutMs)) {
            finishFront(KamailioRpcReply::failure(
                QStringLiteral("Kamailio did not answer within %1 ms (earlier calls were still waiting)").arg(c.timeoutMs)));
            continue;
        }
        QString error;
        sockaddr_un to;
        if (!ensureBound(&error)) {
            finishFront(KamailioRpcReply::failure(error));
            continue;
        }
        if (!fillAddress(m_kamailioSocket, &to)) {
            finishFront(KamailioRpcReply::failure(
                QStringLiteral("Kamailio's control socket path is empty or too long: %1").arg(m_kamailioSocket)));
            continue;
        }
        const ssize_t n = ::sendto(m_fd, c.request.constData(), size_t(c.request.size()), MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (n != c.request.size()) {
            finishFront(KamailioRpcReply::failure(sendError(n < 0 ? errno : EMSGSIZE)));
            continue;
        }
        c.sent = true;
    }
    armDeadline();
}

void KamailioRpcClient::finishFront(const KamailioRpcReply &reply)
{
    const Call c = m_calls.dequeue();
    if (c.callback)
        c.callback(reply);
}

void KamailioRpcClient::armDeadline()
{
    if (m_calls.isEmpty()) {
        m_deadline->stop();
        return;
    }
    const Call &c = m_calls.head();
    m_deadline->start(int(qMax<qint64>(0, c.timeoutMs - c.since.elapsed())));
}

void KamailioRpcClient::onDeadline()
{
    if (m_calls.isEmpty())
        return;
    const Call &c = m_calls.head();
    if (!c.since.hasExpired(c.timeoutMs)) {
        armDeadline();
        return;
    }
    qWarning() << Q_FUNC_INFO << "no answer from" << m_kamailioSocket << "to call" << c.id;
    finishFront(KamailioRpcReply::failure(
        QStringLiteral("Kamailio did not answer within %1 ms (hanging, or its reply was too large for its "
                       "datagram socket)")
            .arg(c.timeoutMs)));
    sendNext();
}

void KamailioRpcClient::readReplies()
{
    if (m_buffer.isEmpty())
        m_buffer.resize(KamailioRpcReply::MaxBytes + 1);
    for (;;) {
        const ssize_t n = ::recv(m_fd, m_buffer.data(), size_t(m_buffer.size()), MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        const bool inFlight = !m_calls.isEmpty() && m_calls.head().sent;
        KamailioRpcReply reply = n > KamailioRpcReply::MaxBytes
            ? KamailioRpcReply::failure(QStringLiteral("Kamailio's reply of %1 bytes is larger than 1 MiB; refused").arg(n))
            : KamailioRpcReply::read(QByteArray::fromRawData(m_buffer.constData(), int(n)));
        if (!inFlight || (reply.id >= 0 && quint64(reply.id) != m_calls.head().id)) {
            // The late answer to a call that already timed out.
            qDebug() << Q_FUNC_INFO << "reply to no call in flight, id" << reply.id;
            continue;
        }
        // Without an id a bad datagram can only be the answer to the call in flight.
        if (reply.status == KamailioRpcReply::Ok && reply.id < 0)
            reply = KamailioRpcReply::failure(QStringLiteral("Kamailio's reply names no request id"));
        finishFront(reply);
    }
    sendNext();
}
