#pragma once

#include <QList>
#include <QSslCipher>
#include <QTcpServer>

// A listener whose pending connections are QSslSocket objects, not yet
// encrypted: the session decides when, and whether, the handshake starts.
class TlsListener : public QTcpServer
{
    Q_OBJECT

public:
    using QTcpServer::QTcpServer;

    // What a session's handshake accepts: TLS 1.3, and TLS 1.2 with
    // forward-secret (ECDHE) AEAD suites only, AES-GCM or ChaCha20-Poly1305;
    // no CBC, no SHA-1 MAC.
    static QList<QSslCipher> acceptedCiphers();

protected:
    void incomingConnection(qintptr descriptor) override;
};
