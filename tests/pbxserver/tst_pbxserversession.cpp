// The exchange's side against a hostile client on loopback: what it may make
// the exchange hold or do before and after logging in.

#include "pbxbackend.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "pbxserver.h"
#include "serveridentity.h"

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

QTEST_GUILESS_MAIN(tst_PbxServerSession)
#include "tst_pbxserversession.moc"
