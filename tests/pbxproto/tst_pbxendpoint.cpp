#include "pbxendpoint.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QHostAddress>
#include <QtTest>

class tst_PbxEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void listenAddress_data();
    void listenAddress();
    void cachedTimestamp_data();
    void cachedTimestamp();
};

void tst_PbxEndpoint::listenAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");  // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("IPv4 and port") << "0.0.0.0:5039" << "0.0.0.0" << 5039;
    QTest::newRow("port 0 asks for a free one") << "127.0.0.1:0" << "127.0.0.1" << 0;
    QTest::newRow("IPv6 in brackets") << "[::1]:5039" << "::1" << 5039;
    // Where the port must be written, the last group is it.
    QTest::newRow("bare IPv6, last group the port") << "::1:5039" << "::1" << 5039;
    QTest::newRow("no port") << "127.0.0.1" << "" << 0;
    QTest::newRow("brackets, no port") << "[::1]" << "" << 0;
    QTest::newRow("empty port") << "127.0.0.1:" << "" << 0;
    QTest::newRow("port past 65535") << "127.0.0.1:65536" << "" << 0;
    QTest::newRow("three-part IPv4 reaches another host") << "127.1:5039" << "" << 0;
    QTest::newRow("octal part") << "0177.0.0.1:5039" << "" << 0;
    QTest::newRow("host name") << "localhost:5039" << "" << 0;
}

void tst_PbxEndpoint::listenAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QHostAddress address;
    quint16 parsedPort = 1;
    QCOMPARE(PbxEndpoint::parseListen(text, &address, &parsedPort), !host.isEmpty());
    if (host.isEmpty())
        return;
    QCOMPARE(address, QHostAddress(host));
    QCOMPARE(int(parsedPort), port);
}

void tst_PbxEndpoint::cachedTimestamp_data()
{
    QTest::addColumn<QList<qint64>>("msecs");
    const qint64 t = QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59, 998)).toMSecsSinceEpoch();
    QTest::newRow("same millisecond twice") << QList<qint64>{t, t};
    QTest::newRow("across a second") << QList<qint64>{t, t + 1, t + 2, t + 3};
    QTest::newRow("back in time") << QList<qint64>{t + 5000, t};
    QTest::newRow("before 1970") << QList<qint64>{-1, -1000, -1001, 0};
}

// The cache must give exactly what formatting each time gives.
void tst_PbxEndpoint::cachedTimestamp()
{
    QFETCH(QList<qint64>, msecs);
    WireTimestamp stamp;
    for (qint64 ms : msecs)
        QCOMPARE(stamp.at(ms), WireTimestamp::format(QDateTime::fromMSecsSinceEpoch(ms)));
}

QTEST_APPLESS_MAIN(tst_PbxEndpoint)
#include "tst_pbxendpoint.moc"
