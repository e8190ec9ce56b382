#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// The demo exchange's TLS key and certificate.
class ServerIdentity
{
public:
    // Reads a PEM certificate and its PEM private key (RSA or EC).
    bool load(const QString &certificateFile, const QString &keyFile, QString *error);
    // Makes a new self-signed pair with the openssl command.
    bool create(const QString &certificateFile, const QString &keyFile, QString *error);
    // The pair kept in dir, made on first use. Several emulators starting at
    // once agree on one pair.
    bool loadOrCreate(const QString &dir, QString *error);

    QSslCertificate certificate;
    QSslKey key;
};
