// The login throttle's waits: who is held back, for how long, and what a
// flood of addresses or a clock that jumps does to it.

#include "loginthrottle.h"

#include <QtTest>

class tst_LoginThrottle : public QObject
{
    Q_OBJECT

private slots:
    void waits_data();
    void waits();
    void fullTableForgetsOldest();
};

void tst_LoginThrottle::waits_data()
{
    QTest::addColumn<QStringList>("failures");  // "address account", one ms apart
    QTest::addColumn<qint64>("later");          // then the clock moves by this
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("account");
    QTest::addColumn<int>("wait");

    const QStringList five{"10.0.0.1 admin", "10.0.0.1 admin", "10.0.0.1 admin", "10.0.0.1 admin", "10.0.0.1 admin"};
    QStringList sprayed;
    for (int i = 0; i <= LoginThrottle::AddressFreeFailures; ++i)
        sprayed << QStringLiteral("10.0.0.1 user%1").arg(i);

    QTest::newRow("first failure") << QStringList{"10.0.0.1 admin"} << qint64(0) << "10.0.0.1" << "admin" << 1000;
    QTest::newRow("after its wait") << QStringList{"10.0.0.1 admin"} << qint64(1000) << "10.0.0.1" << "admin" << 0;
    // The right password must get in within the client's 15 s deadline.
    QTest::newRow("five failures stay below the deadline") << five << qint64(0) << "10.0.0.1" << "admin" << 8000;
    QTest::newRow("another account from there") << five << qint64(0) << "10.0.0.1" << "low" << 0;
    QTest::newRow("the account from another address") << five << qint64(0) << "10.0.0.2" << "admin" << 0;
    QTest::newRow("an address trying many accounts") << sprayed << qint64(0) << "10.0.0.1" << "admin" << 1000;
    QTest::newRow("same /64") << QStringList{"2001:db8:1:2::1 admin"} << qint64(0) << "2001:db8:1:2:ffff::9" << "admin"
                              << 1000;
    QTest::newRow("another /64") << QStringList{"2001:db8:1:2::1 admin"} << qint64(0) << "2001:db8:1:3::1" << "admin" << 0;
    QTest::newRow("IPv4 mapped into IPv6") << QStringList{"::ffff:10.0.0.1 admin"} << qint64(0) << "10.0.0.1" << "admin"
                                           << 1000;
    QTest::newRow("clock jumps back") << five << qint64(-3600 * 1000) << "10.0.0.1" << "admin" << 8000;
    QTest::newRow("clock jumps past the memory") << five << LoginThrottle::ForgetAfterMs + 1 << "10.0.0.1" << "admin" << 0;
}

void tst_LoginThrottle::waits()
{
    QFETCH(QStringList, failures);
    QFETCH(qint64, later);
    QFETCH(QString, address);
    QFETCH(QString, account);
    QFETCH(int, wait);
    qint64 now = 1000000;
    LoginThrottle throttle(1000, 8000, [&] { return now; });
    for (const QString &f : qAsConst(failures)) {
        throttle.failed(QHostAddress(f.section(' ', 0, 0)), f.section(' ', 1));
        ++now;
    }
    --now;  // the probe comes right after the last failure
    now += later;
    QCOMPARE(throttle.waitMs(QHostAddress(address), account), wait);
}

// A flood of addresses pushes out the oldest entries; a newcomer waits as
// long as its own failures say, not the longest wait.
void tst_LoginThrottle::fullTableForgetsOldest()
{
    qint64 now = 0;
    LoginThrottle throttle(1000, 8000, [&] { return now; });
    const int flood = LoginThrottle::MaxEntries * 2;
    for (int i = 0; i < flood; ++i, ++now)
        throttle.failed(QHostAddress(quint32(0x7f000000 + i)), QStringLiteral("admin"));
    QVERIFY(throttle.size() <= LoginThrottle::MaxEntries);
    QCOMPARE(throttle.waitMs(QHostAddress(QStringLiteral("10.9.9.9")), QStringLiteral("admin")), 0);
    throttle.failed(QHostAddress(QStringLiteral("10.9.9.9")), QStringLiteral("admin"));
    QCOMPARE(throttle.waitMs(QHostAddress(QStringLiteral("10.9.9.9")), QStringLiteral("admin")), 1000);
    QCOMPARE(throttle.waitMs(QHostAddress(quint32(0x7f000000)), QStringLiteral("admin")), 0);
    QVERIFY(throttle.waitMs(QHostAddress(quint32(0x7f000000 + flood - 1)), QStringLiteral("admin")) > 0);
}

QTEST_GUILESS_MAIN(tst_LoginThrottle)
#include "tst_loginthrottle.moc"
