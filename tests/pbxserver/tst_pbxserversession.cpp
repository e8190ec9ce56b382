// The exchange's side against a hostile client on loopback: what it may make
// the exchange hold or do before and after logging in.

#include "pbxbackend.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "pbxserver.h"
#include "linklogin.h"
#include "serveridentity.h"

#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Two accounts, "admin" and "low", password "pw"; commands that never
// finish, their origins kept.
class Backend : public PbxBackend
{
public:
    std::optional<Scram::Verifier> verifier(const QString &user, const QString &) const override
    {
        if (user != QLatin1String("admin") && user != QLatin1String("low"))
            return std::nullopt;
        static const Scram::Verifier v = Scram::makeVerifier(QStringLiteral("pw"), "salt-salt-salt-1", 4096);
        return v;
    }
    QVector<PbxTenant> tenants() const override { return {}; }
    void runCommand(const ServerCommand &, const PbxCommandOrigin &origin, CommandDone) override
    {
        origins.append(origin);
    }
    QVector<PbxCommandOrigin> origins;
};

}

class tst_PbxServerSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hostileClientIsCut_data();
    void hostileClientIsCut();
    void adminGetsIn_data();
    void adminGetsIn();
    void heldBackLoginIsToldSo();
    void commandEndsWithSession();
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

    QTest::newRow("frames that are no login") << QByteArrayList{linkFrame(QStringLiteral("nothing"))} << 17 << 0
                                              << "too many frames before the login";
    // Pings keep a connection alive, but not one that never logs in.
    QTest::newRow("pings instead of a login") << QByteArrayList{linkFrame(QStringLiteral("ping"))} << 12 << 100
                                              << "no login in time";
    QTest::newRow("ping flood before login") << QByteArrayList{linkFrame(QStringLiteral("ping"), {{"seq", 1}})} << 17 << 0
                                             << "too many frames before the login";
    QTest::newRow("oversized frame before login")
        << QByteArrayList{linkFrame(QStringLiteral("login"), {{"scram", QString(9 * 1024, 'x')}})} << 1 << 0
        << "client frame too large";
    QTest::newRow("non-integer ping seq") << QByteArrayList{linkFrame(QStringLiteral("ping"), {{"seq", "1; drop"}})} << 1
                                          << 0 << "ping seq is not an integer";
    QTest::newRow("fractional ping seq") << QByteArrayList{linkFrame(QStringLiteral("ping"), {{"seq", 1.5}})} << 1 << 0
                                         << "ping seq is not an integer";
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
    // Long enough for a sanitized build on a busy machine to read a flood.
    settings.loginDeadlineMs = 3000;
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
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
    QVERIFY2(!events.filter(event).isEmpty(), qPrintable(events.join('\n')));
}

enum Attacker { PlainSilent, TlsSilent, LoggedInLow, PlainDuringProof };

void tst_PbxServerSession::adminGetsIn_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("from");      // the attackers' address; the admin's is 127.0.0.1
    QTest::addColumn<bool>("attackersCut");  // by the handshake deadline

    QTest::newRow("twenty silent plain connections") << int(PlainSilent) << 20 << "127.0.0.2" << true;
    QTest::newRow("twenty silent plain connections, admin's address") << int(PlainSilent) << 20 << "127.0.0.1" << true;
    QTest::newRow("twenty TLS connections that never log in") << int(TlsSilent) << 20 << "127.0.0.2" << false;
    QTest::newRow("one account holds every slot") << int(LoggedInLow) << 6 << "127.0.0.2" << false;
    // A NAT, or a tunnel to loopback: the admin's login under way is not the
    // oldest connection to cut.
    QTest::newRow("plain connections while the admin answers the challenge")
        << int(PlainDuringProof) << 8 << "127.0.0.1" << true;
}

// Whatever one peer holds open, an administrator from another still logs in.
void tst_PbxServerSession::adminGetsIn()
{
    QFETCH(int, kind);
    QFETCH(int, count);
    QFETCH(QString, from);
    QFETCH(bool, attackersCut);
    PbxServerSettings settings;
    settings.certificate = m_identity.certificate;
    settings.privateKey = m_identity.key;
    settings.maxClients = 6;
    settings.maxSessionsPerAccount = 4;
    settings.maxPendingPerAddress = 4;
    settings.maxPending = 64;
    // Long enough for every honest handshake of a sanitized build.
    settings.handshakeTimeoutMs = 3000;
    Backend backend;
    PbxServer server(settings, &backend);
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));

    QSslSocket admin;
    ScramClient scram(QStringLiteral("admin"), QStringLiteral("pw"));
    QJsonObject challenge;
    if (kind == PlainDuringProof)
        challenge = beginLogin(admin, server.port(), scram);
    std::vector<std::unique_ptr<QSslSocket>> attackers;
    int lowIn = 0;
    for (int i = 0; i < count; ++i) {
        attackers.push_back(std::make_unique<QSslSocket>());
        QSslSocket &a = *attackers.back();
        if (kind == LoggedInLow) {
            lowIn += logIn(a, server.port(), QStringLiteral("low"), QStringLiteral("pw"), from)
                         .value(QLatin1String("type")) == QLatin1String("login-ok");
            continue;
        }
        a.bind(QHostAddress(from));
        a.setPeerVerifyMode(QSslSocket::VerifyNone);
        const bool plain = kind == PlainSilent || kind == PlainDuringProof;
        if (plain)
            a.connectToHost(QStringLiteral("127.0.0.1"), server.port());
        else
            a.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(QTest::qWaitFor([&] { return plain ? a.state() == QAbstractSocket::ConnectedState : a.isEncrypted(); }, 5000));
    }
    if (kind == LoggedInLow)
        QCOMPARE(lowIn, settings.maxSessionsPerAccount);

    if (kind != PlainDuringProof)
        challenge = beginLogin(admin, server.port(), scram);
    const QJsonObject answer = proveLogin(admin, scram, challenge);
    QCOMPARE(answer.value(QLatin1String("type")).toString(), QStringLiteral("login-ok"));
    if (attackersCut) {
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(attackers.begin(), attackers.end(),
                                             [](const auto &a) { return a->state() == QAbstractSocket::UnconnectedState; }),
                                 15000);
        QCOMPARE(admin.state(), QAbstractSocket::ConnectedState);
    }
}

// A wrong password holds that account back from that address for a while,
// logins already under way included, and the client is told so rather than
// left to time out; another account is not held back.
void tst_PbxServerSession::heldBackLoginIsToldSo()
{
    PbxServerSettings settings;
    settings.certificate = m_identity.certificate;
    settings.privateKey = m_identity.key;
    settings.loginBackoff = true;
    settings.loginBackoffFirstMs = 1000;
    Backend backend;
    PbxServer server(settings, &backend);
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));

    // Two logins under way at once get one verdict, not two guesses.
    ScramClient guess(QStringLiteral("admin"), QStringLiteral("guess"));
    ScramClient right(QStringLiteral("admin"), QStringLiteral("pw"));
    QSslSocket first, second;
    const QJsonObject firstChallenge = beginLogin(first, server.port(), guess);
    const QJsonObject secondChallenge = beginLogin(second, server.port(), right);
    QCOMPARE(proveLogin(first, guess, firstChallenge).value(QLatin1String("reason")).toString(),
             QStringLiteral("invalid credentials"));
    QCOMPARE(proveLogin(second, right, secondChallenge).value(QLatin1String("reason")).toString(),
             QStringLiteral("too many failed logins from this address, wait 1 s"));
    QSslSocket tooSoon;
    QCOMPARE(logIn(tooSoon, server.port(), QStringLiteral("admin")).value(QLatin1String("reason")).toString(),
             QStringLiteral("too many failed logins from this address, wait 1 s"));
    QSslSocket other;
    QCOMPARE(logIn(other, server.port(), QStringLiteral("low")).value(QLatin1String("type")).toString(),
             QStringLiteral("login-ok"));
    // After the wait the right password gets in.
    int attempts = 0;
    QVERIFY(QTest::qWaitFor([&] {
        QSslSocket later;
        return ++attempts > 20
            || logIn(later, server.port(), QStringLiteral("admin")).value(QLatin1String("type")) == QLatin1String("login-ok");
    }, 5000));
    QVERIFY(attempts <= 20);
}

// A command still under way when its client goes is not wanted any more:
// the backend is told by its origin's scope.
void tst_PbxServerSession::commandEndsWithSession()
{
    PbxServerSettings settings;
    settings.certificate = m_identity.certificate;
    settings.privateKey = m_identity.key;
    Backend backend;
    PbxServer server(settings, &backend);
    QString error;
    QVERIFY2(server.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));
    QSslSocket client;
    QCOMPARE(logIn(client, server.port(), QStringLiteral("low")).value(QLatin1String("type")).toString(),
             QStringLiteral("login-ok"));
    client.write(linkFrame(QStringLiteral("command"), {{"id", "1"}, {"command", "ping"}, {"params", QJsonArray{"127.0.0.1"}}}));
    QTRY_COMPARE_WITH_TIMEOUT(backend.origins.size(), 1, 5000);
    QCOMPARE(backend.origins.at(0).account, QStringLiteral("low"));
    QVERIFY(!backend.origins.at(0).scope.isNull());
    client.abort();
    QTRY_VERIFY_WITH_TIMEOUT(backend.origins.at(0).scope.isNull(), 5000);
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
