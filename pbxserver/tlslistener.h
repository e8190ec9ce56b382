#pragma once

#include <QTcpServer>

// A listener whose pending connections are QSslSocket objects, not yet
// encrypted: the session decides when, and whether, the handshake starts.
class TlsListener : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override;
};
