#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

// What every session of one exchange shares: its identity, what it says of
// itself at login, and its limits.
struct PbxServerSettings
{
    QSslCertificate certificate;
    QSslKey privateKey;

    QString serverName = QStringLiteral("PeltranoPBX demo");
    QString serverVersion = QStringLiteral("18.4.2-demo");
    QString apiVersion = QStringLiteral("4.2");
    QStringList features{QStringLiteral("SUBSCRIBE_TENANT_EVENTS"), QStringLiteral("SEND_CMD")};

    int idleTimeoutMs = 60000;  // a client silent this long is dropped with a bye
    int maxClients = 0;  // logged-in clients served at once; 0: no limit
    int maxSessionsPerAccount = 0;  // logged-in sessions of one account; 0: no limit
    // Connections not logged in yet have a budget of their own, so that
    // connections that never log in cannot keep anyone out: per address
    // (IPv6: per /64) and in all. At either limit a newcomer takes the
    // place of the oldest such connection. 0: no limit.
    int maxPendingPerAddress = 0;
    int maxPending = 0;
    int handshakeTimeoutMs = 0;  // TLS done this long after connecting; 0: only the login deadline
    // What a client not logged in yet may leave unread: a few answers.
    qint64 maxQueuedBytesBeforeLogin = 32 * 1024;
    // Log frames a client has not read yet, beyond which it is dropped with
    // a bye: a client that stops reading must not grow the exchange.
    qint64 maxQueuedBytes = 32 * 1024 * 1024;
    // A client must be logged in this long after connecting, pings or not.
    int loginDeadlineMs = 0;  // 0: only the idle bound applies
    // Commands of one client running at once; more are answered "busy".
    int maxCommandsInFlight = 0;  // 0: no limit
    // What an unknown account's challenge offers, so that it looks like a
    // known one's: the iteration count new accounts get, and a salt made
    // with a secret of this exchange (random when empty).
    int unknownAccountIterations = 4096;
    QByteArray unknownAccountSecret;
    // After failed logins of an account from one address, its next login
    // from there is refused for a while, doubling up to a ceiling well
    // within the client's login deadline.
    bool loginBackoff = false;
    int loginBackoffFirstMs = 1000;
    int loginBackoffMaxMs = 8000;
};
