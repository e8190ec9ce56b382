#include "posixprocesslivenessimpl.h"

#include <QTest>

#include <limits>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

class tst_PosixProcessLivenessImpl : public QObject
{
    Q_OBJECT

private slots:
    void isAlive_data();
    void isAlive();
};

namespace {

qint64 reapedChildPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

}

void tst_PosixProcessLivenessImpl::isAlive_data()
{
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<bool>("alive");

    const qint64 own = ::getpid();
    const qint64 pidMax = std::numeric_limits<pid_t>::max();
    QTest::newRow("own process") << own << true;
    QTest::newRow("ended process") << reapedChildPid() << false;
    // Zero and negative ids would address whole process groups.
    QTest::newRow("zero") << qint64(0) << false;
    QTest::newRow("minus one") << qint64(-1) << false;
    QTest::newRow("negated own id") << -own << false;
    // Must not be cut down to a 32-bit id that happens to be alive.
    QTest::newRow("own id plus 2^32") << (own + (qint64(1) << 32)) << false;
    QTest::newRow("beyond pid_t") << (pidMax + 1) << false;
    QTest::newRow("largest 64-bit") << std::numeric_limits<qint64>::max() << false;
}

void tst_PosixProcessLivenessImpl::isAlive()
{
    QFETCH(qint64, pid);
    QFETCH(bool, alive);
    PosixProcessLivenessImpl impl;
    QCOMPARE(impl.isAlive(pid), alive);
}

QTEST_APPLESS_MAIN(tst_PosixProcessLivenessImpl)
#include "tst_posixprocesslivenessimpl.moc"
