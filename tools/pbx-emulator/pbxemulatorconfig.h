#pragma once

#include "pbxserversettings.h"
#include "pbxtenant.h"
#include "scram.h"

#include <QMap>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QVector>

// Everything that shapes the demo exchange's behaviour.
struct PbxEmulatorConfig
{
    using AccountKey = QPair<QString, QString>;  // user, domain

    QString listenAddress = QStringLiteral("127.0.0.1:5039");
    QMap<AccountKey, Scram::Verifier> accounts;  // only the verifier: no password is kept
    QSslCertificate certificate;
    QSslKey privateKey;
    QSslCertificate otherCertificate;            // for changedCertificate
    QSslKey otherPrivateKey;
    QString apiVersion = QStringLiteral("4.2");
    QStringList features{QStringLiteral("SUBSCRIBE_TENANT_EVENTS"), QStringLiteral("SEND_CMD")};
    QVector<PbxTenant> tenants = defaultTenants();
    QString serverName = QStringLiteral("PeltranoPBX demo");
    QString serverVersion = QStringLiteral("18.4.2-demo");

    double rate = 5;              // log messages per second; 0: as fast as the socket takes them
    qint64 count = 0;             // log messages per session; 0: no limit
    quint32 seed = 0;             // 0: a different call pattern each session
    QString replayFile;           // send these recorded frames instead of generated ones

    // Test behaviours
    QString refuseLoginReason;    // refuse every login with this reason
    qint64 dropAfter = -1;        // abort the connection after this many log messages
    qint64 silentAfter = -1;      // then stop sending and answering, connection kept open
    bool malformed = false;       // mix bad lines in with the log messages
    bool garbageHello = false;    // greet with a line that is not JSON
    bool oversizedFrame = false;  // after the login, send one frame beyond the size limit
    int idleTimeoutMs = 60000;    // drop a client silent for this long
    int trickleMs = 0;            // before the login, send one byte every this many ms
    int blankLineMs = 0;          // once silent, send an empty line every this many ms
    bool changedCertificate = false;    // from the second session on, present the other certificate
    bool wrongServerSignature = false;  // accept the proof but sign the login wrongly
    bool stallHandshake = false;        // take the connection, never answer the TLS handshake
    bool plainV1 = false;               // greet in clear with the old unencrypted protocol

    PbxServerSettings serverSettings() const
    {
        PbxServerSettings s;
        s.certificate = certificate;
        s.privateKey = privateKey;
        s.serverName = serverName;
        s.serverVersion = serverVersion;
        s.apiVersion = apiVersion;
        s.features = features;
        s.idleTimeoutMs = idleTimeoutMs;
        // It misbehaves on purpose for the client's tests, a refusal of a
        // megabyte before the login included.
        s.maxQueuedBytesBeforeLogin = 0;
        return s;
    }

    static QString defaultUser() { return QStringLiteral("admin"); }
    static QString defaultDomain() { return QStringLiteral("demo"); }
    static QString defaultPassword() { return QStringLiteral("demo"); }

    static QVector<PbxTenant> defaultTenants()
    {
        return {
            {QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21"), QStringLiteral("Trasporti Adriatici")},
            {QStringLiteral("8d41b0c2-2e7f-4a93-b6d5-5c0e9f3a7b18"), QStringLiteral("Studio Bellini & Figli")},
            {QStringLiteral("c6e9a7f1-94b3-4d28-8f0c-2b7d1e6a4c53"), QString()},
        };
    }
};
