// The exchange's side with several clients on loopback: what one client
// that stops reading may cost the exchange and the other clients.

#include "linklogin.h"
#include "loopbackexchange.h"
#include "pbxbackend.h"
#include "pbxprotocol.h"
#include "serveridentity.h"

#include <QDeadlineTimer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One account, "admin" with password "pw", no tenants, no commands.
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
    void runCommand(const ServerCommand &, const PbxCommandOrigin &, CommandDone) override {}
};

// A logged-in client subscribed to the records of no tenant, counting the
// log frames it reads and keeping the bye it is sent.
struct Reader
{
    QSslSocket socket;
    int logFrames = 0;
    QString byeReason;

    bool subscribe(quint16 port)
    {
        if (logIn(socket, port, QStringLiteral("admin")).value(QLatin1String("type")) != QLatin1String("login-ok"))
            return false;
        socket.write(linkFrame(PbxProtocol::TypeSubscribe, {{QStringLiteral("tenant"), QString()}}));
        for (int i = 0; i < 8; ++i) {
            const QString type = nextFrame(socket).value(QLatin1String("type")).toString();
            if (type == PbxProtocol::TypeSubscribed)
                return true;
            if (type.isEmpty())
                return false;
        }
        return false;
    }
    void startReading()
    {
        QObject::connect(&socket, &QSslSocket::readyRead, &socket, [this] { read(); });
        read();
    }
    void read()
    {
        while (socket.canReadLine()) {
            const QJsonObject frame = QJsonDocument::fromJson(socket.readLine()).object();
            const QString type = frame.value(QLatin1String("type")).toString();
            if (type == PbxProtocol::TypeLog)
                ++logFrames;
            else if (type == PbxProtocol::TypeBye)
                byeReason = frame.value(QLatin1String("reason")).toString();
        }
    }
};

}

class tst_PbxServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void clientThatFallsBehind_data();
    void clientThatFallsBehind();

private:
    QTemporaryDir m_dir;
    ServerIdentity m_identity;
};

void tst_PbxServer::initTestCase()
{
    QString error;
    QVERIFY2(m_identity.loadOrCreate(m_dir.path(), &error), qPrintable(error));
}

void tst_PbxServer::clientThatFallsBehind_data()
{
    QTest::addColumn<bool>("stops");  // the second client stops reading after subscribing
    QTest::addColumn<qint64>("bound");  // maxQueuedBytes
    QTest::addColumn<int>("frameBytes");

    QTest::newRow("client that reads nothing grows the exchange") << true << qint64(256 * 1024) << 4096;
    QTest::newRow("client that reads nothing, frames a quarter of the bound") << true << qint64(64 * 1024) << 16384;
    // Both keep up: what they were sent in all passes the bound many times.
    QTest::newRow("client that keeps up is dropped for what it already read")
        << false << qint64(256 * 1024) << 4096;
}

// A client that reads nothing is sent a bye and dropped once its unread
// frames pass the bound; a client of the same exchange that keeps up is not,
// and misses nothing.
void tst_PbxServer::clientThatFallsBehind()
{
    QFETCH(bool, stops);
    QFETCH(qint64, bound);
    QFETCH(int, frameBytes);
    PbxServerSettings settings;
    settings.maxQueuedBytes = bound;
    Backend backend;
    LoopbackExchange exchange(m_identity, &backend, settings);
    QVERIFY(exchange.listen());
    PbxServer &server = exchange.server;
    const QStringList &events = exchange.events;

    Reader fast;
    Reader other;
    QVERIFY(fast.subscribe(server.port()));
    QVERIFY(other.subscribe(server.port()));
    fast.startReading();
    if (stops)
        other.socket.setReadBufferSize(1);  // what loopback's buffers take is all it ever holds
    else
        other.startReading();

    // Batches well under the bound, each read by the fast client before the
    // next: only a client that stops reading can pass the bound. The
    // loopback buffers hold megabytes before the exchange holds anything.
    const int batch = int(qMax<qint64>(1, bound / 4 / frameBytes));
    const qint64 volume = stops ? qint64(64) * 1024 * 1024 : 16 * bound;
    DiagnosticMessage record;
    record.verbosity = QStringLiteral("3");
    record.timestamp = QStringLiteral("2026-01-01 00:00:00.000000");
    record.message = QString(frameBytes, QLatin1Char('m'));
    const QDeadlineTimer deadline(30000);
    int published = 0;
    while (qint64(published) * frameBytes < volume && !deadline.hasExpired()
           && !(stops && server.loggedInCount() < 2)) {
        for (int i = 0; i < batch; ++i) {
            record.messageId = QString::number(++published);
            server.publish(record);
        }
        QVERIFY2(QTest::qWaitFor([&] { return fast.logFrames == published; }, 5000),
                 qPrintable(QStringLiteral("fast client read %1 of %2").arg(fast.logFrames).arg(published)));
        if (!stops)
            QVERIFY(QTest::qWaitFor([&] { return other.logFrames == published; }, 5000));
    }
    QCOMPARE(fast.socket.state(), QAbstractSocket::ConnectedState);
    QVERIFY2(fast.byeReason.isEmpty(), qPrintable(fast.byeReason));
    if (!stops) {
        QCOMPARE(other.socket.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(server.loggedInCount(), 2);
        QVERIFY2(events.filter(QStringLiteral("fell behind")).isEmpty(), qPrintable(events.join('\n')));
        return;
    }
    QVERIFY2(server.loggedInCount() == 1,
             qPrintable(QStringLiteral("still served after %1 unread bytes").arg(qint64(published) * frameBytes)));
    QCOMPARE(events.filter(QStringLiteral("client fell behind")).size(), 1);
    // Read at last, what it was sent ends with the bye.
    other.socket.setReadBufferSize(0);
    other.startReading();
    QTRY_COMPARE_WITH_TIMEOUT(other.socket.state(), QAbstractSocket::UnconnectedState, 10000);
    other.read();
    QCOMPARE(other.byeReason, QStringLiteral("client fell behind: too many log messages unread"));
    QVERIFY(other.logFrames < published);
}

QTEST_GUILESS_MAIN(tst_PbxServer)
#include "tst_pbxserver.moc"
