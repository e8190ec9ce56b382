#include "journallogsource.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString kJournalRemote = QStringLiteral("/lib/systemd/systemd-journal-remote");
const QString kStampFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");

}

// Grows a journal file as journald would, with systemd-journal-remote reading
// entries in the journal's export format from a pipe; journalctl follows
// such a file as it follows the system's journal.
class TestJournalLogSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void followsResumesAndRestarts();
    void saysWhenSilent();

private:
    void writeEntry(const QByteArray &message, int priority = 6, qint64 realtimeUs = 0);
    std::unique_ptr<JournalLogSource> newSource();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_remote;
    QString m_journal;
    qint64 m_monotonic = 0;
    QStringList m_got;
};

void TestJournalLogSource::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("journalctl")).isEmpty())
        QSKIP("journalctl is not installed");
    if (!QFileInfo(kJournalRemote).isExecutable())
        QSKIP("systemd-journal-remote is not installed");
}

void TestJournalLogSource::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_journal = m_dir->filePath(QStringLiteral("kamailio.journal"));
    m_remote.reset(new QProcess);
    m_remote->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_remote->start(kJournalRemote, {QStringLiteral("--output=") + m_journal, QStringLiteral("-")});
    QVERIFY(m_remote->waitForStarted());
    m_got.clear();
}

void TestJournalLogSource::cleanup()
{
    m_remote->closeWriteChannel();
    QVERIFY(m_remote->waitForFinished());
}

void TestJournalLogSource::writeEntry(const QByteArray &message, int priority, qint64 realtimeUs)
{
    m_monotonic += 1000;
    if (realtimeUs == 0)
        realtimeUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    m_remote->write("__REALTIME_TIMESTAMP=" + QByteArray::number(realtimeUs) + "\n__MONOTONIC_TIMESTAMP="
                    + QByteArray::number(m_monotonic) + "\n_BOOT_ID=0123456789abcdef0123456789abcdef\n"
                    "_SYSTEMD_UNIT=kamailio.service\n_PID=1264\nPRIORITY=" + QByteArray::number(priority)
                    + "\nMESSAGE=" + message + "\n\n");
}

std::unique_ptr<JournalLogSource> TestJournalLogSource::newSource()
{
    std::unique_ptr<JournalLogSource> source(new JournalLogSource(
        {QStringLiteral("--file=") + m_journal}, m_dir->filePath(QStringLiteral("state/journal.cursor"))));
    connect(source.get(), &LogSource::recordsReady, this, [this](const QVector<DiagnosticMessage> &records) {
        for (const DiagnosticMessage &m : records)
            m_got << m.message;
    });
    return source;
}

void TestJournalLogSource::followsResumesAndRestarts()
{
    writeEntry("INFO: before the agent");
    QTRY_VERIFY(QFileInfo::exists(m_journal));

    QVector<DiagnosticMessage> records;
    auto source = newSource();
    connect(source.get(), &LogSource::recordsReady, this,
            [&records](const QVector<DiagnosticMessage> &batch) { records += batch; });
    source->start();
    // It starts at the journal's end: entries come once journalctl has
    // found it.
    QTRY_VERIFY((writeEntry("INFO: probe"), !m_got.isEmpty()));
    QVERIFY(!m_got.contains(QStringLiteral("(1264) INFO: before the agent")));

    // The journal's time and priority stand in for what the line lacks.
    const qint64 whenUs = 1715675467123456;
    writeEntry("disk nearly full", 4, whenUs);
    writeEntry("ERROR: {1 5 BYE cid@h t=<null>} <script>: bye", 6);
    QTRY_VERIFY(m_got.contains(QStringLiteral("(1264) ERROR: {1 5 BYE cid@h t=<null>} <script>: bye")));
    const DiagnosticMessage &full = records[records.size() - 2];
    QCOMPARE(full.message, QStringLiteral("(1264) disk nearly full"));
    QCOMPARE(full.verbosity, QStringLiteral("1"));
    QCOMPARE(full.timestamp, QDateTime::fromMSecsSinceEpoch(whenUs / 1000).toString(kStampFormat));
    QCOMPARE(records.last().verbosity, QStringLiteral("0"));
    QCOMPARE(records.last().uniqueId, QStringLiteral("cid@h;5 BYE"));

    // A restart of the agent: what was written meanwhile comes, nothing twice.
    source.reset();
    m_got.clear();
    writeEntry("INFO: while away");
    source = newSource();
    QSignalSpy lost(source.get(), &LogSource::sourceLost);
    QSignalSpy restored(source.get(), &LogSource::sourceRestored);
    source->start();
    writeEntry("INFO: after");
    QTRY_COMPARE(m_got, QStringList({"(1264) INFO: while away", "(1264) INFO: after"}));

    // A journalctl that dies is started again and goes on after the last
    // entry it delivered.
    auto *child = source->findChild<QProcess *>();
    QVERIFY(child);
    child->kill();
    QTRY_COMPARE(lost.count(), 1);
    writeEntry("INFO: back");
    QTRY_COMPARE(m_got, QStringList({"(1264) INFO: while away", "(1264) INFO: after", "(1264) INFO: back"}));
    QTRY_COMPARE(restored.count(), 1);
}

// A unit that logs nothing is said once, with what may be wrong, and its
// first entry is said too.
void TestJournalLogSource::saysWhenSilent()
{
    writeEntry("INFO: before the agent");
    QTRY_VERIFY(QFileInfo::exists(m_journal));
    auto source = newSource();
    source->setSilenceLimit(300);
    QSignalSpy silent(source.get(), &LogSource::sourceSilent);
    QSignalSpy heard(source.get(), &LogSource::sourceHeard);
    source->start();
    QTRY_COMPARE(silent.count(), 1);
    const QString reason = silent.constFirst().constFirst().toString();
    QVERIFY2(reason.contains(QLatin1String("no entry")) && reason.contains(QLatin1String("systemd-journal")), qPrintable(reason));
    QCOMPARE(heard.count(), 0);
    QTRY_VERIFY((writeEntry("INFO: at last"), !m_got.isEmpty()));
    QCOMPARE(heard.count(), 1);
    QCOMPARE(silent.count(), 1);
}

QTEST_GUILESS_MAIN(TestJournalLogSource)
#include "tst_journallogsource.moc"
