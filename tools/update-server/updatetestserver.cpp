#include "updatetestserver.h"

#include "testserverconnection.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

UpdateTestServer::UpdateTestServer(const Options &options, QObject *parent)
    : QTcpServer(parent)
    , opts(options)
{
}

bool UpdateTestServer::hashPackage(QString *error)
{
    QFile file(opts.packageFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open package %1: %2").arg(opts.packageFile, file.errorString());
        return false;
    }
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0) {
            *error = QStringLiteral("cannot read package: %1").arg(file.errorString());
            return false;
        }
        if (n == 0)
            break;
        md5.addData(buffer.constData(), int(n));
        sha1.addData(buffer.constData(), int(n));
        size += n;
    }
    packageMd5 = QString::fromLatin1(md5.result().toHex());
    packageSha1 = QString::fromLatin1(sha1.result().toHex());
    return true;
}

bool UpdateTestServer::start(QString *error)
{
    if (!opts.packageFile.isEmpty() && !hashPackage(error))
        return false;
    if (opts.certificateFile.isEmpty() != opts.keyFile.isEmpty()) {
        *error = QStringLiteral("--cert and --key go together");
        return false;
    }
    if (!opts.certificateFile.isEmpty()) {
        QFile cert(opts.certificateFile);
        QFile key(opts.keyFile);
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the certificate or the key");
            return false;
        }
        certificatePem = cert.readAll();
        keyPem = key.readAll();
        if (QSslCertificate(certificatePem).isNull() || QSslKey(keyPem, QSsl::Rsa).isNull()) {
            *error = QStringLiteral("the certificate or the RSA key cannot be read");
            return false;
        }
    }
    if (!listen(QHostAddress::LocalHost, opts.port)) {
        *error = errorString();
        return false;
    }
    return true;
}

QUrl UpdateTestServer::baseUrl() const
{
    QUrl url;
    url.setScheme(certificatePem.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(serverPort());
    url.setPath(opts.path);
    return url;
}

QString UpdateTestServer::packageUrlPath() const
{
    return opts.path + QLatin1String("/files/") + QFileInfo(opts.packageFile).fileName();
}

QByteArray UpdateTestServer::answerDocument() const
{
    const auto element = [](const char *name, const QString &content) {
        return QByteArray("<") + name + '>' + content.toUtf8() + "</" + name + '>';
    };
    QByteArray doc = "<ZTUPFW>" + element("API", QStringLiteral("1.0"));
    if (opts.noFileInfoRoot) {
        doc += "<Response><ExitCode>1</ExitCode><Reason>no such application</Reason></Response>";
    } else {
        QString md5 = packageMd5;
        QString sha1 = packageSha1;
        if (opts.digests == Digests::UpperCase) {
            md5 = md5.toUpper();
            sha1 = sha1.toUpper();
        } else if (opts.digests == Digests::Wrong) {
            md5.fill(QLatin1Char('0'), 32);
            sha1.fill(QLatin1Char('0'), 40);
        }
        QUrl served = baseUrl();
        served.setPath(packageUrlPath());
        const QString url = opts.urlSet ? opts.url : served.toString();
        const QString name = opts.fileName.isEmpty() ? QFileInfo(opts.packageFile).fileName() : opts.fileName;
        doc += "<FileInfoRoot>" + element("FileName", name) + element("FileSize", QString::number(size))
            + element("FileIsZipped", opts.fileIsZipped) + element("AppVersion", opts.appVersion)
            + element("URL", url) + element("MD5", md5) + element("SHA1", sha1)
            + element("AppExecutable", opts.appExecutable) + "</FileInfoRoot>";
    }
    doc += "</ZTUPFW>";
    return doc;
}

void UpdateTestServer::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket *socket = nullptr;
    if (!certificatePem.isEmpty()) {
        auto *ssl = new QSslSocket;
        if (!ssl->setSocketDescriptor(socketDescriptor)) {
            delete ssl;
            return;
        }
        ssl->setLocalCertificate(QSslCertificate(certificatePem));
        ssl->setPrivateKey(QSslKey(keyPem, QSsl::Rsa));
        ssl->startServerEncryption();
        socket = ssl;
    } else {
        socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(socketDescriptor)) {
            delete socket;
            return;
        }
    }
    socket->setParent(this);
    new TestServerConnection(socket, this);
}
