#include "tlslistener.h"

#include <QSslConfiguration>
#include <QSslSocket>

#include <unistd.h>

void TlsListener::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));  // not taken: still ours to close
        return;
    }
    addPendingConnection(socket);
}

QList<QSslCipher> TlsListener::acceptedCiphers()
{
    static const QList<QSslCipher> accepted = [] {
        QList<QSslCipher> list;
        const QList<QSslCipher> supported = QSslConfiguration::supportedCiphers();
        for (const QSslCipher &cipher : supported) {
            const QString name = cipher.name();
            // TLS 1.3 has only AEAD suites, all with forward secrecy.
            const bool tls13 = cipher.protocol() == QSsl::TlsV1_3 || name.startsWith(QLatin1String("TLS_"));
            const bool aead =
                name.contains(QLatin1String("-GCM-")) || name.endsWith(QLatin1String("-CHACHA20-POLY1305"));
            if (tls13 || (name.startsWith(QLatin1String("ECDHE-")) && aead))
                list.append(cipher);
        }
        return list;
    }();
    return accepted;
}
