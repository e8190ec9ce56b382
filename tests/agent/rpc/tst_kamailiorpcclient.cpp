#include "kamailiorpcclient.h"

#include "kamailioprocess.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct Outcome
{
    bool done = false;
    KamailioRpcReply reply;
};

// Calls and waits for the one callback.
KamailioRpcReply callAndWait(KamailioRpcClient *client, const QString &method, const QJsonArray &params = {})
{
    auto outcome = std::make_shared<Outcome>();
    client->call(method, params, [outcome](const KamailioRpcReply &r) {
        QVERIFY(!outcome->done);
        outcome->done = true;
        outcome->reply = r;
    });
    QElapsedTimer clock;
    clock.start();
    while (!outcome->done && !clock.hasExpired(client->timeout() + 5000))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!outcome->done)
        return KamailioRpcReply::failure(QStringLiteral("test: no callback"));
    return outcome->reply;
}

// A datagram socket standing in for Kamailio where Kamailio cannot be made
// to misbehave: answers each request with the given bytes, or not at all.
class FakeKamailio
{
public:
    FakeKamailio(const QString &path, const QByteArray &reply) : m_answer(reply)
    {
        sockaddr_un me{};
        me.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(me.sun_path, native.constData(), size_t(native.size()));
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const int size = 4 << 20;
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&me), sizeof me);
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, [this] { answer(); });
    }
    ~FakeKamailio()
    {
        delete m_notifier;
        ::close(m_fd);
    }

private:
    void answer()
    {
        char buffer[4096];
        sockaddr_un from{};
        socklen_t length = sizeof from;
        if (::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length) > 0
            && !m_answer.isEmpty())
            ::sendto(m_fd, m_answer.constData(), size_t(m_answer.size()), 0, reinterpret_cast<sockaddr *>(&from), length);
    }

    QByteArray m_answer;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};

}

class TestKamailioRpcClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_kamailio.start(), qPrintable(m_kamailio.error));
    }

    void answers_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        QTest::newRow("version") << "core.version" << int(KamailioRpcReply::Ok) << "kamailio 5.";
        QTest::newRow("unknown method") << "no.such" << int(KamailioRpcReply::Error) << "Method Not Found";
    }

    void answers()
    {
        QFETCH(QString, method);
        QFETCH(int, status);
        QFETCH(QString, expected);
        KamailioRpcClient client(m_kamailio.rpcSocket(), m_kamailio.scratchDir());
        const KamailioRpcReply reply = callAndWait(&client, method);
        QCOMPARE(int(reply.status), status);
        QVERIFY2((reply.result.toString() + reply.message).contains(expected), qPrintable(reply.describe()));
    }

    // Kamailio must be able to write to it; nothing of it stays behind.
    void replySocket()
    {
        QString path;
        {
            KamailioRpcClient client(m_kamailio.rpcSocket(), m_kamailio.scratchDir());
            QVERIFY(callAndWait(&client, QStringLiteral("core.uptime")).ok());
            path = client.replySocket();
            struct stat st;
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
            QVERIFY(S_ISSOCK(st.st_mode));
            QCOMPARE(int(st.st_mode & 0777), 0660);
        }
        QVERIFY(!QFileInfo::exists(path));
    }

    // Several calls at once: each gets its own answer, in order.
    void callsInOrder()
    {
        KamailioRpcClient client(m_kamailio.rpcSocket(), m_kamailio.scratchDir());
        QStringList got;
        client.call(QStringLiteral("core.version"), {}, [&](const KamailioRpcReply &r) { got << r.result.toString().left(8); });
        client.call(QStringLiteral("no.such"), {}, [&](const KamailioRpcReply &r) { got << QString::number(r.code); });
        client.call(QStringLiteral("core.uptime"), {}, [&](const KamailioRpcReply &r) {
            got << QString::number(r.result.toObject().contains(QLatin1String("uptime")));
        });
        QTRY_COMPARE(got, QStringList({QStringLiteral("kamailio"), QStringLiteral("500"), QStringLiteral("1")}));
    }

    // What the agent meets when Kamailio is away or misbehaves: a clear
    // failure, soon, never a hang.
    void failures_data()
    {
        QTest::addColumn<QString>("peer");  // how the socket at the path behaves
        QTest::addColumn<QString>("expected");
        QTest::newRow("socket missing") << "none" << "does not exist";
        QTest::newRow("nobody reads it") << "closed" << "not running";
        QTest::newRow("silent") << "silent" << "did not answer within 300 ms";
        QTest::newRow("not JSON") << "garbage" << "not JSON";
        QTest::newRow("over 1 MiB") << "huge" << "larger than 1 MiB";
    }

    void failures()
    {
        QFETCH(QString, peer);
        QFETCH(QString, expected);
        const QString path = m_kamailio.scratchDir() + QStringLiteral("/fake_rpc.sock");
        QFile::remove(path);
        std::unique_ptr<FakeKamailio> fake;
        if (peer == QLatin1String("closed"))
            FakeKamailio gone(path, QByteArray());  // leaves its file behind, like a Kamailio killed
        else if (peer == QLatin1String("silent"))
            fake.reset(new FakeKamailio(path, QByteArray()));
        else if (peer == QLatin1String("garbage"))
            fake.reset(new FakeKamailio(path, QByteArrayLiteral("<html>")));
        else if (peer == QLatin1String("huge"))
            fake.reset(new FakeKamailio(path, QByteArray(KamailioRpcReply::MaxBytes + 1, ' ')));

        KamailioRpcClient client(path, m_kamailio.scratchDir());
        client.setTimeout(300);
        const KamailioRpcReply reply = callAndWait(&client, QStringLiteral("core.version"));
        QCOMPARE(int(reply.status), int(KamailioRpcReply::Failed));
        QVERIFY2(reply.message.contains(expected), qPrintable(reply.message));
    }

    // One client outlives a restart of Kamailio.
    void kamailioRestarts()
    {
        KamailioRpcClient client(m_kamailio.rpcSocket(), m_kamailio.scratchDir());
        QVERIFY(callAndWait(&client, QStringLiteral("core.version")).ok());
        m_kamailio.stop();
        const KamailioRpcReply away = callAndWait(&client, QStringLiteral("core.version"));
        QCOMPARE(int(away.status), int(KamailioRpcReply::Failed));
        QVERIFY2(away.message.contains(QLatin1String("not running")) || away.message.contains(QLatin1String("does not exist")),
                 qPrintable(away.message));
        QVERIFY2(m_kamailio.start(), qPrintable(m_kamailio.error));
        QVERIFY(callAndWait(&client, QStringLiteral("core.version")).ok());
    }

private:
    KamailioProcess m_kamailio;
};

QTEST_GUILESS_MAIN(TestKamailioRpcClient)
#include "tst_kamailiorpcclient.moc"
