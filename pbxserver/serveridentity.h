#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// An exchange's TLS key and self-signed certificate.
class ServerIdentity
{
public:
    // Reads a PEM certificate and its PEM private key (RSA or EC).
    bool load(const QString &certificateFile, const QString &keyFile, QString *error);
    // Makes a new self-signed pair with the openssl command; the key is
    // never readable by others, not even while it is written.
    bool create(const QString &certificateFile, const QString &keyFile, QString *error,
                const QString &commonName = QStringLiteral("pbx-emulator"));
    // The pair kept in dir, made on first use. Several servers starting at
    // once agree on one pair.
    bool loadOrCreate(const QString &dir, QString *error, const QString &commonName = QStringLiteral("pbx-emulator"));

    QSslCertificate certificate;
    QSslKey key;
};
