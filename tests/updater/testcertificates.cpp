#include "testcertificates.h"

#include <QFile>
#include <QProcess>

bool TestCertificates::openssl(const QStringList &arguments, QString *error)
{
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral("openssl"), arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2 %3")
                     .arg(arguments.join(QLatin1Char(' ')), p.errorString(),
                          QString::fromLocal8Bit(p.readAllStandardError()));
        return false;
    }
    return true;
}

bool TestCertificates::create(QString *error)
{
    if (!dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    QFile ext(dir.filePath(QStringLiteral("server.ext")));
    if (!ext.open(QIODevice::WriteOnly)) {
        *error = ext.errorString();
        return false;
    }
    ext.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    ext.close();

    const QString days = QStringLiteral("36500");
    return openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days",
                    days, "-subj", "/CN=plogger test CA"},
                   error)
        && openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
                    "/CN=127.0.0.1"},
                   error)
        && openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                    "-out", "server.pem", "-days", days, "-extfile", "server.ext"},
                   error)
        && openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "self.key", "-out", "self.pem",
                    "-days", days, "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
                   error);
}

QList<QSslCertificate> TestCertificates::caCertificates() const
{
    return QSslCertificate::fromPath(caCertificateFile());
}
