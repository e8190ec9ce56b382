#include "pbxemulatorserver.h"

#include "pbxemulatorsession.h"
#include "tlslistener.h"

#include <QSslSocket>

PbxEmulatorServer::PbxEmulatorServer(const PbxEmulatorConfig &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_server(new TlsListener(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &PbxEmulatorServer::onNewConnection);
}

PbxEmulatorServer::~PbxEmulatorServer() = default;

bool PbxEmulatorServer::parseListenAddress(const QString &text, QHostAddress *host, quint16 *port)
{
    QString hostText;
    QString portText;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QStringLiteral("]:"));
        if (close < 0)
            return false;
        hostText = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return false;
        hostText = text.left(colon);
        portText = text.mid(colon + 1);
    }
    bool ok = false;
    const uint p = portText.toUInt(&ok, 10);
    QHostAddress address;
    if (!ok || p > 65535 || !address.setAddress(hostText))
        return false;
    *host = address;
    *port = quint16(p);
    return true;
}

bool PbxEmulatorServer::listen(QString *error)
{
    QHostAddress host;
    quint16 port = 0;
    if (!parseListenAddress(m_config.listenAddress, &host, &port)) {
        *error = QStringLiteral("invalid listen address \"%1\" (expected an IP address and a port, e.g. 127.0.0.1:5039)").arg(m_config.listenAddress);
        return false;
    }
    if (!m_server->listen(host, port)) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(m_config.listenAddress, m_server->errorString());
        return false;
    }
    return true;
}

QHostAddress PbxEmulatorServer::address() const
{
    return m_server->serverAddress();
}

quint16 PbxEmulatorServer::port() const
{
    return m_server->serverPort();
}

QString PbxEmulatorServer::addressText() const
{
    const QHostAddress a = address();
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(a.toString())
                                                                       : a.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port());
}

void PbxEmulatorServer::onNewConnection()
{
    while (auto *socket = qobject_cast<QSslSocket *>(m_server->nextPendingConnection())) {
        auto *session = new PbxEmulatorSession(socket, m_config, ++m_sessionCounter, this);
        connect(session, &PbxEmulatorSession::eventReported, this, &PbxEmulatorServer::eventReported);
        connect(session, &PbxEmulatorSession::finished, session, &QObject::deleteLater);
        session->start();
    }
}
