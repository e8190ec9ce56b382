// The exchange's side against a hostile client on loopback: what it may make
// the exchange hold or do before and after logging in.

#include "pbxbackend.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "pbxserver.h"
#include "serveridentity.h"

#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One account, commands that never finish.
class Backend : public PbxBackend
{
public:
    std::optional<Scram::Verifier> verifier(const QString &user, const QString &) const override
    {
        if (user != QLatin1String("admin"))
            return std::nullopt;
        static const Scram::Verifier v = Scram::makeVerifier(QStringLiteral("pw"), "salt-salt-salt-1", 4096);
        return v;
    }
    QVector<PbxTenant> tenants() const override { return {}; }
    void runCommand(const ServerCommand &, CommandDone) override {}
};

QByteArray line(const QString &type, const QJsonObject &more = {})
{
    QJsonObject frame = more;
    frame.insert(QStringLiteral("type"), type);
    return PbxFrameCodec::encode(frame);
}

}

class tst_PbxServerSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hostileClientIsCut_data();
    void hostileClientIsCut();
    void tlsSuites_data();
    void tlsSuites();

private:
    QTemporaryDir m_dir;
    ServerIdentity m_identity;
};

void tst_PbxServerSession::initTestCase()
{
    QString error;
    QVERIFY2(m_identity.loadOrCreate(m_dir.path(), &error), qPrintable(error));
}

void tst_PbxServerSession::hostileClientIsCut_data()
{
    QTest::addColumn<QByteArrayList>("frames");
    QTest::addColumn<int>("repeat");
    QTest::addColumn<int>("everyMs");
    QTest::addColumn<QString>("event");  // how the exchange's log says it ended

    QTest::newRow("frames that are no login") << QByteArrayList{line(QStringLiteral("nothing"))} << 17 << 0
                                              << "too many frames before the login";
    // Pings keep a connection alive, but not one that never logs in.
    QTest::newRow("pings instead of a login") << QByteArrayList{line(QStringLiteral("ping"))} << 12 << 100
                                              << "no login in time";
}

void tst_PbxServerSession::hostileClientIsCut()
{
    QFETCH(QByteArrayList, frames);
    QFETCH(int, repeat);
    QFETCH(int, everyMs);
    QFETCH(QString, event);
    PbxServerSettings settings;
    settings.certificate = m_identity.certificate;
    settings.privateKey = m_identity.key;
    settings.loginDeadlineMs = 500;
    Backend backend;
    PbxServer server(settings, &backend);
    QStringList events;
    connect(&server, &PbxServer::eventReported, this, [&](const QString &e) { events << e; });
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));

    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    QSignalSpy encrypted(&client, &QSslSocket::encrypted);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(encrypted.wait(5000));
    QTimer sender;
    int sent = 0;
    connect(&sender, &QTimer::timeout, this, [&] {
        if (sent++ < repeat && client.state() == QAbstractSocket::ConnectedState)
            client.write(frames.value(sent % frames.size()));
    });
    sender.start(everyMs);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 5000);
    QVERIFY2(!events.filter(event).isEmpty(), qPrintable(events.join('\n')));
}

void tst_PbxServerSession::tlsSuites_data()
{
    QTest::addColumn<QString>("cipher");  // the one suite the client offers; empty for its own list
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("TLS 1.3") << QString() << int(QSsl::TlsV1_3) << true;
    QTest::newRow("TLS 1.2, ECDHE with AES-GCM") << "ECDHE-ECDSA-AES256-GCM-SHA384" << int(QSsl::TlsV1_2) << true;
    QTest::newRow("TLS 1.2, ECDHE with ChaCha20-Poly1305") << "ECDHE-ECDSA-CHACHA20-POLY1305" << int(QSsl::TlsV1_2)
                                                          << true;
    QTest::newRow("CBC suite only") << "ECDHE-ECDSA-AES128-SHA256" << int(QSsl::TlsV1_2) << false;
    QTest::newRow("SHA-1 suite only") << "ECDHE-ECDSA-AES256-SHA" << int(QSsl::TlsV1_2) << false;
}

void tst_PbxServerSession::tlsSuites()
{
    QFETCH(QString, cipher);
    QFETCH(int, protocol);
    QFETCH(bool, accepted);
    PbxServerSettings settings;
    settings.certificate = m_identity.certificate;
    settings.privateKey = m_identity.key;
    Backend backend;
    PbxServer server(settings, &backend);
    QStringList events;
    connect(&server, &PbxServer::eventReported, this, [&](const QString &e) { events << e; });
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));

    QSslSocket client;
    QSslConfiguration tls = client.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::SslProtocol(protocol));
    if (!cipher.isEmpty()) {
        const QSslCipher offered(cipher);
        if (offered.isNull())
            QSKIP("the TLS library here does not offer this suite");
        tls.setCiphers({offered});
    }
    client.setSslConfiguration(tls);
    bool failed = false;
    connect(&client, &QSslSocket::errorOccurred, this, [&] { failed = true; });
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isEncrypted() || failed, 5000);
    QCOMPARE(client.isEncrypted(), accepted);
    if (accepted && !cipher.isEmpty())
        QCOMPARE(client.sessionCipher().name(), cipher);
    // Refused by the exchange in the handshake, not by the client itself.
    if (!accepted)
        QTRY_VERIFY2_WITH_TIMEOUT(!events.filter(QStringLiteral("TLS handshake failed")).isEmpty(),
                                  qPrintable(events.join('\n')), 5000);
}

QTEST_GUILESS_MAIN(tst_PbxServerSession)
#include "tst_pbxserversession.moc"
