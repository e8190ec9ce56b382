#include "leftoveripc.h"
#include "probeclient.h"
#include "processsingleton.h"

#include <QFile>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

class FixedLiveness : public OsalProcessLivenessImplIface
{
public:
    explicit FixedLiveness(bool answer) : m_answer(answer) {}
    bool isAlive(qint64) override { return m_answer; }

private:
    bool m_answer;
};

class tst_ProcessSingleton : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstStartTakesSegment();
    void secondStartIsRefused();
    void secondProgramStartEndsWithOne();
    void segmentOfEndedProcessIsTakenOver();
    void storedIdJudgedByLiveness_data();
    void storedIdJudgedByLiveness();
    void simultaneousStartsLeaveOne();
    void oneInstancePerUser();
    void otherUsersSegmentIsIgnored_data();
    void otherUsersSegmentIsIgnored();

private:
    QString uniqueKey();
    // Starts singleton-probe with args as user 65534, with a private folder
    // of its own.
    std::unique_ptr<QProcess> startAsNobody(const QStringList &args);

    QTemporaryDir m_dir;
    int m_keys = 0;
};

void tst_ProcessSingleton::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ProbeClient::isolate(m_dir);
}

void tst_ProcessSingleton::cleanupTestCase()
{
    removeLeftoverIpc(m_dir.filePath(QStringLiteral("run/PLOGGER4")));
}

QString tst_ProcessSingleton::uniqueKey()
{
    return QStringLiteral("TST_SINGLETON_%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_keys);
}

void tst_ProcessSingleton::firstStartTakesSegment()
{
    const QString key = uniqueKey();
    auto probe = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*probe));
    ProbeClient::SegmentObserver segment(key);
    QCOMPARE(segment.storedPid(), ProbeClient::readyPid(*probe));

    QVERIFY(ProbeClient::finish(*probe, "quit"));
    QCOMPARE(probe->exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe->exitCode(), 0);
    const QByteArray log = probe->readAllStandardError();
    QVERIFY2(log.contains("Read pid: 0\n"), log.constData());
    QVERIFY2(!log.contains("already exists"), log.constData());
    // A normal end gives the segment up.
    QCOMPARE(segment.storedPid(), qint64(0));
}

void tst_ProcessSingleton::secondStartIsRefused()
{
    const QString key = uniqueKey();
    auto first = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*first));
    const qint64 firstPid = ProbeClient::readyPid(*first);

    auto second = ProbeClient::start(key);
    QVERIFY(!ProbeClient::waitReady(*second));
    QVERIFY(ProbeClient::waitEnded(*second));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    QVERIFY(second->readAllStandardOutput().isEmpty());
    const QByteArray log = second->readAllStandardError();
    QVERIFY2(log.contains("Shmem attach succeded: true"), log.constData());
    QVERIFY2(log.contains("Read pid: " + QByteArray::number(firstPid)), log.constData());

    ProbeClient::SegmentObserver segment(key);
    QCOMPARE(segment.storedPid(), firstPid);
    QVERIFY(ProbeClient::finish(*first, "quit"));
    QCOMPARE(first->exitCode(), 0);
}

void tst_ProcessSingleton::secondProgramStartEndsWithOne()
{
    // The program's own key; the private temporary directory keeps it apart
    // from any real instance on this machine.
    const QString key = QStringLiteral("PLOGGER4_KEY");
    auto holder = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*holder));

    QProcess program;
    program.start(QStringLiteral(PLOGGER4_PATH), {QStringLiteral("-s")});
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QVERIFY(program.readAllStandardOutput().isEmpty());
    // Only the guard speaks; main itself stays silent.
    const QList<QByteArray> lines = program.readAllStandardError().split('\n');
    for (const QByteArray &line : lines)
        QVERIFY2(line.isEmpty() || line.contains("ProcessSingleton::"), line.constData());

    ProbeClient::SegmentObserver segment(key);
    QCOMPARE(segment.storedPid(), ProbeClient::readyPid(*holder));
    QVERIFY(ProbeClient::finish(*holder, "quit"));
}

void tst_ProcessSingleton::segmentOfEndedProcessIsTakenOver()
{
    const QString key = uniqueKey();
    auto first = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*first));
    const qint64 deadPid = ProbeClient::readyPid(*first);
    first->kill();
    QVERIFY(first->waitForFinished(10000));

    // The segment outlives its owner.
    ProbeClient::SegmentObserver segment(key);
    QCOMPARE(segment.storedPid(), deadPid);

    auto second = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*second));
    QCOMPARE(segment.storedPid(), ProbeClient::readyPid(*second));
    QVERIFY(ProbeClient::finish(*second, "quit"));
    const QByteArray log = second->readAllStandardError();
    QVERIFY2(log.contains("Shmem segment already exists, attaching to it"), log.constData());
    QVERIFY2(log.contains("Read pid: " + QByteArray::number(deadPid)), log.constData());
}

void tst_ProcessSingleton::storedIdJudgedByLiveness_data()
{
    QTest::addColumn<int>("liveness");
    QTest::addColumn<qint64>("stored");
    QTest::addColumn<bool>("refused");

    enum { System, AnswersAlive, NoImplementation };
    QFile pidMax(QStringLiteral("/proc/sys/kernel/pid_max"));
    QVERIFY(pidMax.open(QIODevice::ReadOnly));
    const qint64 unusedPid = pidMax.readAll().trimmed().toLongLong() + 1;
    const qint64 ownPid = QCoreApplication::applicationPid();
    const qint64 livePid = ::getppid();

    // As for a process of another user, which may not be signalled.
    QTest::newRow("process of another user") << int(AnswersAlive) << unusedPid << true;
    QTest::newRow("ended process") << int(System) << unusedPid << false;
    QTest::newRow("reused id of a live process") << int(System) << livePid << true;
    // An earlier owner crashed and its id came round to us.
    QTest::newRow("our own id") << int(AnswersAlive) << ownPid << false;
    QTest::newRow("no owner, even if reported alive") << int(AnswersAlive) << qint64(0) << false;
    QTest::newRow("no liveness implementation") << int(NoImplementation) << ownPid << false;
}

void tst_ProcessSingleton::storedIdJudgedByLiveness()
{
    QFETCH(int, liveness);
    QFETCH(qint64, stored);
    QFETCH(bool, refused);

    const QString key = uniqueKey();
    QSharedMemory other;
    ProcessSingleton::nameSegment(other, key);
    QVERIFY(other.create(ProcessSingleton::kSegmentSize));
    const qint64 storedLe = qToLittleEndian(stored);
    std::memcpy(other.data(), &storedLe, sizeof storedLe);
    ProbeClient::SegmentObserver segment(key);

    ProcessSingleton::LivenessImplFactory factory;
    if (liveness == 0)
        factory = ProcessSingleton::defaultLivenessImplFactory();
    else if (liveness == 1)
        factory = [] { return std::unique_ptr<OsalProcessLivenessImplIface>(new FixedLiveness(true)); };
    else
        factory = [] { return std::unique_ptr<OsalProcessLivenessImplIface>(); };

    const qint64 ownPid = QCoreApplication::applicationPid();
    bool thrown = false;
    try {
        ProcessSingleton guard(key, ProcessSingleton::defaultPidImplFactory(), factory);
        QCOMPARE(segment.storedPid(), ownPid);
    } catch (const ProcessSingletonAlreadyInUseException &) {
        thrown = true;
    }
    QCOMPARE(thrown, refused);
    QCOMPARE(segment.storedPid(), refused ? stored : qint64(0));
}

void tst_ProcessSingleton::simultaneousStartsLeaveOne()
{
    constexpr int kStarts = 20;
    const QString key = uniqueKey();
    const QString gate = m_dir.filePath(key + QStringLiteral(".go"));
    std::vector<std::unique_ptr<QProcess>> probes;
    for (int i = 0; i < kStarts; ++i) {
        probes.push_back(ProbeClient::start(key, gate));
        QVERIFY(probes.back()->waitForStarted());
    }
    QFile go(gate);
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();

    QProcess *owner = nullptr;
    int refused = 0;
    for (auto &probe : probes) {
        if (ProbeClient::waitReady(*probe, 30000)) {
            QVERIFY2(!owner, "two instances own the segment");
            owner = probe.get();
        } else {
            QVERIFY(ProbeClient::waitEnded(*probe, 30000));
            QCOMPARE(probe->exitStatus(), QProcess::NormalExit);
            QCOMPARE(probe->exitCode(), 1);
            ++refused;
        }
    }
    QVERIFY(owner);
    QCOMPARE(refused, kStarts - 1);
    ProbeClient::SegmentObserver segment(key);
    QCOMPARE(segment.storedPid(), ProbeClient::readyPid(*owner));
    QVERIFY(ProbeClient::finish(*owner, "quit"));
}

std::unique_ptr<QProcess> tst_ProcessSingleton::startAsNobody(const QStringList &args)
{
    // The other user needs the way in, and a temporary folder it may write.
    const QByteArray dir = QFile::encodeName(m_dir.path());
    const QByteArray tmp = QFile::encodeName(m_dir.filePath(QStringLiteral("tmp")));
    const QString run = m_dir.filePath(QStringLiteral("run-nobody"));
    QDir().mkpath(run);
    if (::chmod(dir.constData(), 0755) != 0 || ::chmod(tmp.constData(), 01777) != 0
        || ::chown(QFile::encodeName(run).constData(), 65534, 65534) != 0)
        return nullptr;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
    auto probe = std::make_unique<QProcess>();
    probe->setProcessEnvironment(env);
    probe->start(QStringLiteral("setpriv"), QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                                       QStringLiteral("--clear-groups"),
                                                       QStringLiteral(SINGLETON_PROBE_PATH)}
                                                + args);
    return probe;
}

void tst_ProcessSingleton::oneInstancePerUser()
{
    if (::geteuid() != 0)
        QSKIP("starting a probe as another user needs root");

    const QString key = uniqueKey();
    auto mine = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*mine));
    auto theirs = startAsNobody({key});
    QVERIFY(theirs);
    QVERIFY2(ProbeClient::waitReady(*theirs), theirs->readAllStandardError().constData());
    // Each user still gets exactly one.
    auto theirSecond = startAsNobody({key});
    QVERIFY(!ProbeClient::waitReady(*theirSecond));
    QVERIFY(ProbeClient::waitEnded(*theirSecond));
    QCOMPARE(theirSecond->exitCode(), 1);

    QVERIFY(ProbeClient::finish(*theirs, "quit"));
    QCOMPARE(theirs->exitCode(), 0);
    QVERIFY(ProbeClient::finish(*mine, "quit"));
    QCOMPARE(mine->exitCode(), 0);
}

void tst_ProcessSingleton::otherUsersSegmentIsIgnored_data()
{
    QTest::addColumn<bool>("underOwnKey");
    // Where earlier versions kept the key file and the lock, in the shared
    // temporary folder, with the lock held as well.
    QTest::newRow("key file and lock in the temporary folder") << false;
    // System V keys are plain numbers: anybody may take the one that the
    // user's own key file gives.
    QTest::newRow("segment under the user's own key") << true;
}

void tst_ProcessSingleton::otherUsersSegmentIsIgnored()
{
    QFETCH(bool, underOwnKey);
    if (::geteuid() != 0)
        QSKIP("acting as another user needs root");

    const QString key = uniqueKey();
    QStringList plant{QStringLiteral("--plant")};
    if (underOwnKey) {
        QSharedMemory own;
        ProcessSingleton::nameSegment(own, key);
        QFile keyFile(own.nativeKey());
        QVERIFY(keyFile.open(QIODevice::WriteOnly));
        plant << QString::number(::ftok(QFile::encodeName(own.nativeKey()).constData(), 'Q'));
    } else {
        const QString shared = QSharedMemory(QStringLiteral("%1_%2").arg(key).arg(::geteuid())).nativeKey();
        plant << shared;
    }
    // Pid 1 is alive for ever.
    plant << QStringLiteral("1");
    if (!underOwnKey)
        plant << plant.at(1) + QStringLiteral(".lock");
    auto planter = startAsNobody(plant);
    QVERIFY(planter);
    QVERIFY2(ProbeClient::waitReady(*planter), planter->readAllStandardError().constData());

    auto mine = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*mine));
    // One instance still.
    auto second = ProbeClient::start(key);
    QVERIFY(!ProbeClient::waitReady(*second));
    QVERIFY(ProbeClient::waitEnded(*second));
    QCOMPARE(second->exitCode(), 1);
    QVERIFY(ProbeClient::finish(*mine, "quit"));
    QCOMPARE(mine->exitCode(), 0);
    const QByteArray log = mine->readAllStandardError();
    if (underOwnKey)
        QVERIFY2(log.contains("Ignoring the instance segment") && log.contains("was made by user 65534"),
                 log.constData());
    QVERIFY(ProbeClient::finish(*planter, "quit"));
}

QTEST_GUILESS_MAIN(tst_ProcessSingleton)
#include "tst_processsingleton.moc"
