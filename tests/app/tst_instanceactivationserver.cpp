#include "instanceactivationserver.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include <chrono>
#include <future>
#include <sys/stat.h>

namespace {
// The second start blocks while it asks, so it runs beside the server's loop.
std::future<bool> requestFromAnotherThread(const QString &path)
{
    return std::async(std::launch::async, [path] { return InstanceActivationServer::requestActivation(path); });
}

bool ready(const std::future<bool> &answer)
{
    return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}
}

class tst_InstanceActivationServer : public QObject
{
    Q_OBJECT

private slots:
    void requestIsAnswered();
    void otherBytesAreIgnored_data();
    void otherBytesAreIgnored();
    void bringToFront();
};

void tst_InstanceActivationServer::requestIsAnswered()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("instance.sock"));
    // Left behind by an instance that has ended.
    QFile leftover(path);
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.close();

    InstanceActivationServer server;
    QSignalSpy raised(&server, &InstanceActivationServer::activationRequested);
    QVERIFY(server.listen(path));
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
    QVERIFY(S_ISSOCK(st.st_mode));
    QCOMPARE(st.st_mode & 0777, mode_t(0600));

    std::future<bool> answer = requestFromAnotherThread(path);
    QTRY_VERIFY(ready(answer));
    QVERIFY(answer.get());
    QCOMPARE(raised.count(), 1);

    QVERIFY(!InstanceActivationServer::requestActivation(dir.filePath(QStringLiteral("nobody.sock")), 1000));
}

void tst_InstanceActivationServer::otherBytesAreIgnored_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("another word") << QByteArray("hello\n");
    QTest::newRow("upper case") << QByteArray("RAISE\n");
    QTest::newRow("the request's start, then more") << QByteArray("raisex\n");
    QTest::newRow("a megabyte") << QByteArray(1024 * 1024, 'x');
}

void tst_InstanceActivationServer::otherBytesAreIgnored()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("instance.sock"));
    InstanceActivationServer server;
    QSignalSpy raised(&server, &InstanceActivationServer::activationRequested);
    QVERIFY(server.listen(path));

    QLocalSocket client;
    client.connectToServer(path);
    client.write(bytes);
    // The server hangs up without an answer.
    QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
    QCOMPARE(client.bytesAvailable(), qint64(0));
    QCOMPARE(raised.count(), 0);

    // And still serves the one request it knows.
    std::future<bool> answer = requestFromAnotherThread(path);
    QTRY_VERIFY(ready(answer));
    QVERIFY(answer.get());
    QCOMPARE(raised.count(), 1);
}

void tst_InstanceActivationServer::bringToFront()
{
    QWidget minimised;
    minimised.showMinimized();
    QVERIFY(minimised.isMinimized());
    InstanceActivationServer::bringToFront(&minimised);
    QVERIFY(!minimised.isMinimized());
    QVERIFY(minimised.isVisible());

    // Not yet shown: the update check is still running.
    QWidget hidden;
    InstanceActivationServer::bringToFront(&hidden);
    QVERIFY(!hidden.isVisible());
}

QTEST_MAIN(tst_InstanceActivationServer)
#include "tst_instanceactivationserver.moc"
