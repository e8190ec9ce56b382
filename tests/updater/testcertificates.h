#pragma once

#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

// Makes, with the openssl tool, a test CA with a server certificate for
// 127.0.0.1 signed by it, and a self-signed certificate for 127.0.0.1.
class TestCertificates
{
public:
    bool create(QString *error);

    QString caCertificateFile() const { return dir.filePath(QStringLiteral("ca.pem")); }
    QString serverCertificateFile() const { return dir.filePath(QStringLiteral("server.pem")); }
    QString serverKeyFile() const { return dir.filePath(QStringLiteral("server.key")); }
    QString selfSignedCertificateFile() const { return dir.filePath(QStringLiteral("self.pem")); }
    QString selfSignedKeyFile() const { return dir.filePath(QStringLiteral("self.key")); }
    QList<QSslCertificate> caCertificates() const;

private:
    bool openssl(const QStringList &arguments, QString *error);
    QTemporaryDir dir;
};
