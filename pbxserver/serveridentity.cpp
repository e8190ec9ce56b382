#include "serveridentity.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>

#include <sys/stat.h>

bool ServerIdentity::load(const QString &certificateFile, const QString &keyFile, QString *error)
{
    QFile certFile(certificateFile);
    QFile privateFile(keyFile);
    if (!certFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(certificateFile, certFile.errorString());
        return false;
    }
    if (!privateFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(keyFile, privateFile.errorString());
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    const QByteArray keyPem = privateFile.readAll();
    if (chain.isEmpty()) {
        *error = QStringLiteral("%1 holds no PEM certificate").arg(certificateFile);
        return false;
    }
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            break;
    }
    if (key.isNull()) {
        *error = QStringLiteral("%1 holds no unencrypted PEM RSA or EC private key").arg(keyFile);
        return false;
    }
    certificate = chain.constFirst();
    return true;
}

bool ServerIdentity::create(const QString &certificateFile, const QString &keyFile, QString *error,
                            const QString &commonName)
{
    QProcess openssl;
    // The child inherits the mask: the key file is born private.
    const mode_t oldMask = ::umask(077);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                   keyFile, "-out", certificateFile, "-days", "3650", "-subj", QStringLiteral("/CN=") + commonName,
                   "-addext", "subjectAltName=IP:127.0.0.1,IP:::1"});
    ::umask(oldMask);
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        *error = QStringLiteral("cannot make a certificate with openssl: %1 %2")
                     .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAllStandardError()).trimmed());
        return false;
    }
    QFile::setPermissions(keyFile, QFile::ReadOwner | QFile::WriteOwner);
    return load(certificateFile, keyFile, error);
}

bool ServerIdentity::loadOrCreate(const QString &dir, QString *error, const QString &commonName)
{
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create %1").arg(dir);
        return false;
    }
    const QDir folder(dir);
    const QString lockFile = folder.filePath(QStringLiteral("identity.lock"));
    QLockFile lock(lockFile);
    if (!lock.tryLock(30000)) {
        *error = QStringLiteral("cannot lock %1").arg(lockFile);
        return false;
    }
    const QString certificateFile = folder.filePath(QStringLiteral("certificate.pem"));
    const QString keyFile = folder.filePath(QStringLiteral("key.pem"));
    if (QFile::exists(certificateFile) && QFile::exists(keyFile))
        return load(certificateFile, keyFile, error);
    // Made aside and moved in, so that a pair on disk is always whole.
    const QString newCertificate = certificateFile + QStringLiteral(".new");
    const QString newKey = keyFile + QStringLiteral(".new");
    QFile::remove(newCertificate);
    QFile::remove(newKey);
    if (!create(newCertificate, newKey, error, commonName))
        return false;
    QFile::remove(certificateFile);
    QFile::remove(keyFile);
    if (!QFile::rename(newKey, keyFile) || !QFile::rename(newCertificate, certificateFile)) {
        *error = QStringLiteral("cannot store the certificate in %1").arg(dir);
        return false;
    }
    return true;
}
