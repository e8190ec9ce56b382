#include "stdinlogsource.h"
#include "unixsignalwatcher.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

#include <unistd.h>

// What the agent's process takes from outside besides its clients: its
// standard input as a log source, and the signals that reload and end it.
class tst_AgentProcessInput : public QObject
{
    Q_OBJECT

private slots:
    void standardInput_data();
    void standardInput();
    void unixSignals_data();
    void unixSignals();
};

void tst_AgentProcessInput::standardInput_data()
{
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("last line without its line feed at the end")
        << QByteArrayList{"INFO: one\nINFO: tw", "o"} << QStringList{"INFO: one", "INFO: two"};
    QTest::newRow("a continuation in a later read stays with its entry")
        << QByteArrayList{"ERROR: first\n", " more of it\n", "INFO: next\n"}
        << QStringList{"ERROR: first\n more of it", "INFO: next"};
    QTest::newRow("nothing at all") << QByteArrayList{} << QStringList{};
}

// Each row puts a pipe in standard input's place, writes, closes it, and
// expects every line and one "closed" from the source.
void tst_AgentProcessInput::standardInput()
{
    QFETCH(QByteArrayList, writes);
    QFETCH(QStringList, messages);

    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    const int saved = ::dup(STDIN_FILENO);
    QVERIFY(saved >= 0 && ::dup2(fds[0], STDIN_FILENO) == STDIN_FILENO);
    ::close(fds[0]);

    QStringList got;
    QStringList reasons;
    {
        StdinLogSource source;
        connect(&source, &LogSource::recordsReady, this, [&got](const QVector<DiagnosticMessage> &records) {
            for (const DiagnosticMessage &m : records)
                got << m.message;
        });
        connect(&source, &LogSource::sourceLost, this, [&reasons](const QString &reason) { reasons << reason; });
        source.start();
        for (const QByteArray &chunk : qAsConst(writes)) {
            QCOMPARE(::write(fds[1], chunk.constData(), size_t(chunk.size())), ssize_t(chunk.size()));
            QCoreApplication::processEvents();
        }
        ::close(fds[1]);
        QTRY_COMPARE(reasons, QStringList{QStringLiteral("standard input closed")});
        QCOMPARE(got, messages);
    }
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
}

void tst_AgentProcessInput::unixSignals_data()
{
    QTest::addColumn<QList<int>>("raised");
    QTest::addColumn<int>("terminations");
    QTest::addColumn<int>("reloads");
    QTest::newRow("SIGTERM ends once") << QList<int>{SIGTERM} << 1 << 0;
    QTest::newRow("SIGINT ends once") << QList<int>{SIGINT} << 1 << 0;
    QTest::newRow("SIGHUP reloads, ends nothing") << QList<int>{SIGHUP} << 0 << 1;
    QTest::newRow("one of each") << QList<int>{SIGHUP, SIGTERM} << 1 << 1;
}

void tst_AgentProcessInput::unixSignals()
{
    QFETCH(QList<int>, raised);
    QFETCH(int, terminations);
    QFETCH(int, reloads);

    UnixSignalWatcher watcher;
    QSignalSpy terminateSpy(&watcher, &UnixSignalWatcher::terminateRequested);
    QSignalSpy reloadSpy(&watcher, &UnixSignalWatcher::reloadRequested);
    for (int number : qAsConst(raised))
        QCOMPARE(::raise(number), 0);
    QTRY_VERIFY(terminateSpy.count() == terminations && reloadSpy.count() == reloads);
    // Nothing more comes of them later.
    QCoreApplication::processEvents();
    QCOMPARE(terminateSpy.count(), terminations);
    QCOMPARE(reloadSpy.count(), reloads);
}

QTEST_GUILESS_MAIN(tst_AgentProcessInput)
#include "tst_agentprocessinput.moc"
