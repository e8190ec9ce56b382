// plogger4-agent under load, as a separate process on loopback:
//
// - lines_s: Kamailio-shaped lines appended to a file the agent follows, as
//   frames decoded by one logged-in PbxLink client; beside it, the client's
//   own ceiling: the demo exchange replaying recorded frames to a bare link;
// - latency_p99_ms: from a line appended to its frame decoded, at 2,000
//   lines/s (p50 and p99);
// - slow_client_rss_mib: the agent's resident memory while a logged-in
//   client stops reading and lines keep coming, against its unread bound;
// - cmd_median_ms: "sip show peers" against a real Kamailio, from send to
//   result (median of 50);
// - hep_pps: HEP packets of SIP messages sent over UDP, as frames decoded by
//   one client (the median of three runs), with the CPU each costs the
//   agent and the client's link thread; hep_loss_pct: the share lost at
//   50,000 packets/s;
// - lockout_admin_logins: logins that succeed within 5 s while 20 plain TCP
//   connections from other loopback addresses, reconnected when dropped,
//   hold what they can.

#include "benchsupport.h"
#include "hepbuilder.h"
#include "kamailioprocess.h"
#include "knownexchanges.h"
#include "pbxlink.h"
#include "pbxlinkglobal.h"
#include "serverannouncement.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

QString g_home;  // the run's own data directory: accounts, state, pins

QByteArray kamailioLine(qint64 n)
{
    const QByteArray callId = "b7" + QByteArray::number(n / 12) + "-4f1c@127.0.0.1";
    return " 1(1264) INFO: {1 " + QByteArray::number(100 + n % 7) + " INVITE " + callId
        + " t=<null>} <script>: REQ INVITE ci=" + callId
        + " fu=sip:alice@alpha.test tu=sip:bob@alpha.test ru=sip:bob@127.0.0.1:5072 seq=" + QByteArray::number(n) + "\n";
}

qint64 sequenceOf(const QString &message)
{
    const int at = message.lastIndexOf(QLatin1String("seq="));
    return at < 0 ? -1 : message.midRef(at + 4).toLongLong();
}

// CPU time (user and system) in seconds of a process, or of one thread of
// this one ("self/task/TID"), from its stat file.
double cpuSeconds(const QString &which)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(which));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // The name in parentheses may hold spaces; utime and stime are the 12th
    // and 13th fields after it.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    static const double ticks = double(::sysconf(_SC_CLK_TCK));
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / ticks;
}

// The CPU of a process's threads ("self" or a pid), by thread name.
QMap<QByteArray, double> cpuByThread(const QString &process)
{
    QMap<QByteArray, double> byName;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(process);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : threads) {
        QFile comm(tasks + QLatin1Char('/') + tid + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly))
            byName[comm.readAll().trimmed()] += cpuSeconds(process + QStringLiteral("/task/") + tid);
    }
    return byName;
}

// The CPU of this process's threads with the given name.
double threadCpuSeconds(const QByteArray &name)
{
    return cpuByThread(QStringLiteral("self")).value(name);
}

class Agent
{
public:
    ~Agent()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

    bool start(const QStringList &extra)
    {
        static int started = 0;
        m_errors = g_home + QStringLiteral("/agent-%1.err").arg(++started);
        // A file, not a pipe: read also while this thread delivers nothing.
        m_process.setStandardErrorFile(m_errors);
        m_process.setProgram(QStringLiteral(AGENT_PATH));
        QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--accounts"),
                         g_home + QStringLiteral("/accounts"), QStringLiteral("--state-dir"),
                         g_home + QStringLiteral("/state-%1").arg(started), QStringLiteral("--allow-root")};
        // Each run starts afresh: a file source would otherwise go on where the
        // last run's stopped, and read its backlog into this run's figures.
        // AGENT_HISTORY=0 measures the agent without its history, as before it had one.
        if (qEnvironmentVariable("AGENT_HISTORY") == QLatin1String("0")) {
            const QString config = g_home + QStringLiteral("/no-history.ini");
            QFile file(config);
            if (!file.open(QIODevice::WriteOnly) || file.write("[history]\nenabled = no\n") < 0)
                return false;
            args << QStringLiteral("--config") << config;
        }
        m_process.setArguments(args + extra);
        m_process.start();
        ServerAnnouncement served;
        const bool up = served.waitFor(m_process, extra.contains(QStringLiteral("--hep")));
        address = served.address;
        hepPort = served.hepPort;
        return up
            && KnownExchanges(g_home).remember(KnownExchanges::addressKey(QHostAddress::LocalHost, served.port),
                                               served.fingerprint);
    }

    qint64 pid() const { return m_process.processId(); }
    // Everything the agent has logged so far.
    QString events() const
    {
        QFile file(m_errors);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QString address;
    quint16 hepPort = 0;

private:
    QProcess m_process;
    QString m_errors;
};

// A logged-in client; messages are counted on the link's thread as they are
// decoded, not when a receiver gets round to them.
class Client
{
public:
    using OnMessage = std::function<void(const DiagnosticMessage &)>;

    explicit Client(OnMessage onMessage = {})
        : m_link(QStringLiteral("bench"), QStringLiteral("1"), QStringLiteral("plogger-bench"), QStringLiteral("1"), g_home)
    {
        QObject::connect(&m_link, &PbxLink::loggedToServer, [this] { m_logged = true; });
        QObject::connect(&m_link, &PbxLink::unloggedFromServer, [this](const QString &why) { ended = why; });
        QObject::connect(
            &m_link, &PbxLink::sigDiagnosticMessageReceived, &m_link,
            [this, onMessage](const DiagnosticMessage &m) {
                received.fetch_add(1, std::memory_order_relaxed);
                if (onMessage)
                    onMessage(m);
            },
            Qt::DirectConnection);
        // Queued to this thread, which it wakes: the answer's time is not a
        // poll's.
        QObject::connect(&m_link, &PbxLink::sigServerCommandResponse, &m_link, [this](const ServerCommandResponse &r) {
            lastOutput = r.output;
            ++responses;
        });
    }

    bool login(const QString &address)
    {
        m_link.init();
        m_link.setServerAddress(address);
        m_link.connectToServer(QStringLiteral("admin"), QStringLiteral("bench"), QString(), PBXLINK::AppModeDiagnostic);
        BenchSupport::waitUntil([this] { return m_logged || !ended.isEmpty(); }, 10000, 5);
        return m_logged;
    }

    PbxLink &link() { return m_link; }

    std::atomic<qint64> received{0};
    int responses = 0;
    QString lastOutput;
    QString ended;

private:
    PbxLink m_link;
    bool m_logged = false;
};

// HEP packets of SIP INVITEs sent over UDP to 127.0.0.1:port at a steady
// rate; how many the client got, in how long, and the CPU it took.
struct HepRun
{
    qint64 sent = 0;
    qint64 delivered = 0;
    double seconds = 0;
    double agentCpu = 0; // seconds
    double linkCpu = 0;
    QMap<QByteArray, double> agentThreads;  // seconds, by thread name

    // Microseconds per packet delivered of each of the agent's threads.
    QString agentThreadMicros() const
    {
        QStringList parts;
        for (auto it = agentThreads.cbegin(); it != agentThreads.cend(); ++it) {
            if (it.value() > 0)
                parts << QStringLiteral("%1 %2 us").arg(QString::fromUtf8(it.key())).arg(it.value() * 1e6 / double(qMax<qint64>(1, delivered)), 0, 'f', 2);
        }
        return parts.join(QStringLiteral(", "));
    }

    double perSecond() const { return seconds > 0 ? double(delivered) / seconds : 0; }
    double lostPercent() const { return sent ? 100.0 * double(sent - delivered) / double(sent) : 0; }
    // Microseconds of CPU per packet delivered.
    double agentMicros() const { return delivered ? agentCpu * 1e6 / double(delivered) : 0; }
    double linkMicros() const { return delivered ? linkCpu * 1e6 / double(delivered) : 0; }
};

// The link decodes frames on a thread of its own, named after its class.
const QByteArray kLinkThread = "PbxLink";

HepRun sendHep(Client &client, qint64 agentPid, quint16 port, qint64 count, double perSecond)
{
    std::vector<QByteArray> packets;
    for (int call = 0; call < 1000; ++call) {
        const QByteArray callId = "hepbench-" + QByteArray::number(call) + "@127.0.0.1";
        packets.push_back(HepBuilder()
                              .sip("INVITE sip:bob@alpha.test SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK"
                                   + QByteArray::number(call) + "\r\nFrom: <sip:alice@alpha.test>;tag=1\r\n"
                                   "To: <sip:bob@alpha.test>\r\nCall-ID: " + callId + "\r\nCSeq: 1 INVITE\r\n"
                                   "Content-Length: 0\r\n\r\n")
                              .packet());
    }
    const qint64 before = client.received.load();
    HepRun run;
    const QString agent = QString::number(agentPid);
    const double agentBefore = cpuSeconds(agent);
    const QMap<QByteArray, double> threadsBefore = cpuByThread(agent);
    const double linkBefore = threadCpuSeconds(kLinkThread);
    QElapsedTimer clock;
    clock.start();
    // What is due goes out in one call: the sender's own cost must not
    // crowd the two processes it measures.
    std::thread sender([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        constexpr int kBatch = 256;
        mmsghdr messages[kBatch];
        iovec parts[kBatch];
        for (qint64 n = 0; n < count;) {
            const qint64 due = std::min(count, qint64(double(clock.nsecsElapsed()) * perSecond / 1e9) + 1);
            if (due <= n) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            const int batch = int(std::min<qint64>(kBatch, due - n));
            for (int i = 0; i < batch; ++i) {
                const QByteArray &p = packets[size_t((n + i) % qint64(packets.size()))];
                parts[i].iov_base = const_cast<char *>(p.constData());
                parts[i].iov_len = size_t(p.size());
                messages[i] = mmsghdr{};
                messages[i].msg_hdr.msg_name = &to;
                messages[i].msg_hdr.msg_namelen = sizeof to;
                messages[i].msg_hdr.msg_iov = &parts[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            // One that cannot go counts as sent and lost.
            n += std::max(1, ::sendmmsg(fd, messages, unsigned(batch), 0));
        }
        ::close(fd);
    });
    // Done when everything came, or nothing more has come for a second.
    qint64 last = -1;
    QElapsedTimer quiet;
    quiet.start();
    BenchSupport::waitUntil([&] {
        const qint64 now = client.received.load() - before;
        if (now != last) {
            last = now;
            quiet.restart();
            run.seconds = double(clock.nsecsElapsed()) / 1e9;
        }
        return now >= count || (quiet.elapsed() > 1000 && clock.nsecsElapsed() > qint64(double(count) * 1e9 / perSecond));
    }, 120000);
    sender.join();
    run.agentCpu = cpuSeconds(agent) - agentBefore;
    run.agentThreads = cpuByThread(agent);
    for (auto it = run.agentThreads.begin(); it != run.agentThreads.end(); ++it)
        it.value() -= threadsBefore.value(it.key());
    run.linkCpu = threadCpuSeconds(kLinkThread) - linkBefore;
    run.sent = count;
    run.delivered = client.received.load() - before;
    return run;
}

// The agent's answer to "hep stats".
QString hepStats(Client &client)
{
    const int before = client.responses;
    client.link().sendServerCommand(ServerCommand{QStringLiteral("hep"), QStringLiteral("hep stats"), {}});
    BenchSupport::waitUntil([&] { return client.responses > before || !client.ended.isEmpty(); }, 15000, 5);
    return client.responses > before ? client.lastOutput : QStringLiteral("no answer");
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// The client's own ceiling: recorded frames replayed by the demo exchange.
// Connections that never speak, from 127.0.0.2 to 127.0.0.6, each made
// again as soon as the agent drops it, until stopped or for a minute at most.
class Attackers
{
public:
    Attackers(quint16 port, int count)
        : m_thread([this, port, count] { run(port, count); })
    {
    }
    ~Attackers()
    {
        m_stop = true;
        m_thread.join();
    }
    std::atomic<qint64> connections{0};

private:
    void run(quint16 port, int count)
    {
        std::vector<pollfd> fds(size_t(count), pollfd{-1, POLLIN, 0});
        QElapsedTimer clock;
        clock.start();
        while (!m_stop && !clock.hasExpired(60000)) {
            for (int i = 0; i < count; ++i) {
                if (fds[size_t(i)].fd >= 0)
                    continue;
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in from{};
                from.sin_family = AF_INET;
                from.sin_addr.s_addr = htonl(0x7f000002 + quint32(i % 5));
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(port);
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0
                    || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
                    ::close(fd);
                    continue;
                }
                fds[size_t(i)].fd = fd;
                ++connections;
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            for (pollfd &p : fds) {
                char buffer[4096];
                if (p.fd >= 0 && p.revents != 0 && ::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
                    ::close(p.fd);
                    p.fd = -1;
                }
                p.revents = 0;
            }
        }
        for (const pollfd &p : fds) {
            if (p.fd >= 0)
                ::close(p.fd);
        }
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

double replayCeiling(int count)
{
    QTemporaryDir dir;
    const QString recording = dir.filePath(QStringLiteral("stream.jsonl"));
    QProcess record;
    record.start(QStringLiteral(PBX_EMULATOR_PATH), {QStringLiteral("--record"), recording, QStringLiteral("--count"),
                                                     QString::number(count), QStringLiteral("--seed"), QStringLiteral("1")});
    if (!record.waitForFinished(120000) || record.exitCode() != 0)
        return 0;
    QProcess exchange;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.path());
    exchange.setProcessEnvironment(env);
    exchange.start(QStringLiteral(PBX_EMULATOR_PATH),
                   {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--replay"), recording,
                    QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--count"), QString::number(count),
                    QStringLiteral("--account"), QStringLiteral("admin:bench")});
    ServerAnnouncement served;
    if (!served.waitFor(exchange))
        return 0;
    const QString address = served.address;
    KnownExchanges(g_home).remember(KnownExchanges::addressKey(QHostAddress::LocalHost, served.port), served.fingerprint);
    Client client;
    QElapsedTimer run;
    run.start();
    if (!client.login(address))
        return 0;
    BenchSupport::waitUntil([&] { return client.received.load() >= count; }, 120000, 5);
    const double rate = double(client.received.load()) / (double(run.nsecsElapsed()) / 1e9);
    exchange.kill();
    exchange.waitForFinished(5000);
    return rate;
}

}

int main(int argc, char *argv[])
{
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    PBXLINK::registerMetaTypes();
    QTemporaryDir home;
    g_home = home.path();
    qputenv("XDG_DATA_HOME", QFile::encodeName(g_home));
    {
        QProcess passwd;
        passwd.start(QStringLiteral(AGENT_PATH),
                     {QStringLiteral("passwd"), QStringLiteral("admin"), QStringLiteral("--accounts"), g_home + QStringLiteral("/accounts")});
        passwd.write("bench\n");
        passwd.closeWriteChannel();
        if (!passwd.waitForFinished(10000) || passwd.exitCode() != 0) {
            std::fprintf(stderr, "could not make the account\n");
            return 1;
        }
    }
    const int lineCount = BenchSupport::envInt("AGENT_LINES", 1000000);
    const int latencySeconds = BenchSupport::envInt("AGENT_LATENCY_SECONDS", 10);

    // ---- throughput: a file the agent follows, appended as fast as possible
    const QString logFile = g_home + QStringLiteral("/kamailio.log");
    QFile(logFile).open(QIODevice::WriteOnly);
    double linesPerSecond = 0;
    {
        Agent agent;
        if (!agent.start({QStringLiteral("--source"), QStringLiteral("file:") + logFile})) {
            std::fprintf(stderr, "the agent did not start\n");
            return 1;
        }
        Client client;
        if (!client.login(agent.address)) {
            std::fprintf(stderr, "login failed: %s %s\n", qPrintable(client.ended), qPrintable(agent.events()));
            return 1;
        }
        QByteArray text;
        text.reserve(lineCount * 190);
        for (qint64 n = 0; n < lineCount; ++n)
            text += kamailioLine(n);
        QElapsedTimer clock;
        clock.start();
        std::thread writer([&] {
            QFile out(logFile);
            out.open(QIODevice::Append);
            for (int at = 0; at < text.size(); at += 64 * 1024) {
                out.write(text.constData() + at, qMin(64 * 1024, text.size() - at));
                out.flush();
            }
        });
        BenchSupport::waitUntil([&] { return client.received.load() >= lineCount || !client.ended.isEmpty(); }, 120000, 5);
        writer.join();
        if (client.received.load() < lineCount)
            std::fprintf(stderr, "only %lld of %d lines arrived (%s); the agent said:\n%s\n", client.received.load(), lineCount,
                         qPrintable(client.ended), qPrintable(agent.events().right(2000)));
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        linesPerSecond = double(client.received.load()) / seconds;
        std::printf("file -> agent -> link: %lld of %d lines in %.2f s = %.0f lines/s (%.1f MB of log); "
                    "agent peak resident %.1f MiB\n",
                    client.received.load(), lineCount, seconds, linesPerSecond, text.size() / 1e6,
                    double(BenchSupport::procStatusKiB("VmHWM", agent.pid())) / 1024.0);
        std::fflush(stdout);
    }
    const double ceiling = replayCeiling(qMin(lineCount, 500000));
    std::printf("baseline: the demo exchange replaying recorded frames into the same kind of client: %.0f msgs/s\n", ceiling);
    std::fflush(stdout);

    // ---- latency at 2,000 lines/s
    std::vector<double> latencies;
    {
        QFile::resize(logFile, 0);
        Agent agent;
        agent.start({QStringLiteral("--source"), QStringLiteral("file:") + logFile});
        QElapsedTimer clock;
        clock.start();
        std::mutex lock;
        std::vector<qint64> writtenAt(size_t(latencySeconds) * 2000 + 1, -1);
        Client client([&](const DiagnosticMessage &m) {
            const qint64 seq = sequenceOf(m.message);
            const qint64 now = clock.nsecsElapsed();
            std::lock_guard<std::mutex> guard(lock);
            if (seq >= 0 && size_t(seq) < writtenAt.size() && writtenAt[size_t(seq)] >= 0)
                latencies.push_back(double(now - writtenAt[size_t(seq)]) / 1e6);
        });
        if (!client.login(agent.address))
            return 1;
        const qint64 total = qint64(writtenAt.size()) - 1;
        std::thread writer([&] {
            QFile out(logFile);
            out.open(QIODevice::Append);
            // Ten lines every 5 ms.
            for (qint64 n = 0; n < total;) {
                const qint64 due = n / 10 * 5000000;
                while (clock.nsecsElapsed() < due)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                QByteArray batch;
                for (int i = 0; i < 10 && n < total; ++i, ++n)
                    batch += kamailioLine(n);
                {
                    std::lock_guard<std::mutex> guard(lock);
                    for (qint64 k = n - 10; k < n; ++k)
                        writtenAt[size_t(k)] = clock.nsecsElapsed();
                }
                out.write(batch);
                out.flush();
            }
        });
        BenchSupport::waitUntil([&] { return client.received.load() >= total; }, (latencySeconds + 30) * 1000, 5);
        writer.join();
        std::lock_guard<std::mutex> guard(lock);
        std::printf("latency at 2000 lines/s over %d s: %zu lines, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", latencySeconds,
                    latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.99), percentile(latencies, 1.0));
        std::fflush(stdout);
    }

    // ---- a client that stops reading
    double slowPeakMib = 0;
    double slowBaseMib = 0;
    const int unreadMib = 32;
    {
        QFile::resize(logFile, 0);
        Agent agent;
        agent.start({QStringLiteral("--source"), QStringLiteral("file:") + logFile});
        Client client;
        if (!client.login(agent.address))
            return 1;
        slowBaseMib = double(BenchSupport::procStatusKiB("VmRSS", agent.pid())) / 1024.0;
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            QFile out(logFile);
            out.open(QIODevice::Append);
            QByteArray batch;
            for (qint64 n = 0; !stop.load(); ++n) {
                batch += kamailioLine(n);
                if (batch.size() > 64 * 1024) {
                    out.write(batch);
                    out.flush();
                    batch.clear();
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            }
        });
        // This thread delivers nothing meanwhile: the link stops reading,
        // and the agent's queue for it fills.
        QElapsedTimer clock;
        clock.start();
        QString events;
        while (clock.elapsed() < 20000 && !events.contains(QLatin1String("fell behind"))) {
            slowPeakMib = std::max(slowPeakMib, double(BenchSupport::procStatusKiB("VmRSS", agent.pid())) / 1024.0);
            QThread::msleep(20);
            events = agent.events();
        }
        slowPeakMib = std::max(slowPeakMib, double(BenchSupport::procStatusKiB("VmHWM", agent.pid())) / 1024.0);
        stop = true;
        writer.join();
        std::printf("a client that stops reading: agent resident %.1f MiB before, peak %.1f MiB (bound %d MiB unread); %s\n",
                    slowBaseMib, slowPeakMib, unreadMib,
                    events.contains(QLatin1String("fell behind")) ? "the client was dropped with a bye"
                                                                   : "the client was not dropped within 20 s");
        std::fflush(stdout);
    }

    // ---- "sip show peers" against a real Kamailio
    std::vector<double> commandMs;
    {
        KamailioProcess kamailio;
        if (!kamailio.start()) {
            std::fprintf(stderr, "no Kamailio: %s\n", qPrintable(kamailio.error));
            return 1;
        }
        QProcess ua;
        ua.start(QStringLiteral(SIP_UA_PATH), {QStringLiteral("--proxy"), kamailio.proxy(), QStringLiteral("register"),
                                               QStringLiteral("alice@alpha.test"), QStringLiteral("bob@beta.test"),
                                               QStringLiteral("carol@alpha.test")});
        ua.waitForFinished(20000);
        Agent agent;
        agent.start({QStringLiteral("--source"), QStringLiteral("file:") + logFile, QStringLiteral("--rpc-socket"),
                     kamailio.rpcSocket()});
        Client client;
        if (!client.login(agent.address))
            return 1;
        for (int i = 0; i < 50; ++i) {
            QElapsedTimer clock;
            clock.start();
            const int before = client.responses;
            client.link().sendServerCommand(ServerCommand{QString::number(i), QStringLiteral("sip show peers"), {}});
            BenchSupport::waitUntil([&] { return client.responses > before; }, 15000, 5);
            commandMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        std::printf("\"sip show peers\" (3 contacts) through the agent from a client: median %.2f ms, p90 %.2f ms, max %.2f ms\n",
                    percentile(commandMs, 0.5), percentile(commandMs, 0.9), percentile(commandMs, 1.0));
    }

    // ---- HEP: SIP packets over UDP to the agent's receiver, each run with an
    // agent and a client of its own (one that cannot keep up is dropped by
    // its bound), so that no run inherits another's backlog
    HepRun fastest, steady;
    {
        // Offered above the 100,000 the agent should reach, so that the
        // figure can show it.
        const int hepRate = BenchSupport::envInt("AGENT_HEP_RATE", 150000);
        auto hepAgent = [&](Agent &agent) {
            agent.start({QStringLiteral("--source"), QStringLiteral("file:") + logFile, QStringLiteral("--hep"),
                         QStringLiteral("127.0.0.1:0")});
            if (agent.hepPort == 0)
                std::fprintf(stderr, "no HEP receiver: %s\n", qPrintable(agent.events()));
            return agent.hepPort != 0;
        };
        // Two seconds at full rate vary much on a shared machine: the figure
        // is the median of three runs.
        std::vector<HepRun> runs;
        for (int run = 0; run < 3; ++run) {
            Agent agent;
            Client client;
            if (!hepAgent(agent) || !client.login(agent.address))
                return 1;
            runs.push_back(sendHep(client, agent.pid(), agent.hepPort, hepRate * 2, hepRate));
            const HepRun &r = runs.back();
            std::printf("HEP, sent at %d packets/s for 2 s: %lld of %lld delivered to the client in %.2f s = %.0f packets/s%s; "
                        "CPU per packet: agent %.2f us, client's link thread %.2f us\n",
                        hepRate, r.delivered, r.sent, r.seconds, r.perSecond(),
                        client.ended.isEmpty() ? "" : qPrintable(QStringLiteral(" (") + client.ended + QLatin1Char(')')),
                        r.agentMicros(), r.linkMicros());
            std::printf("  the agent's threads per packet: %s\n", qPrintable(r.agentThreadMicros()));
            // Asked by a client of its own: the first may have been dropped.
            Client asker;
            std::printf("  the agent's \"hep stats\": %s\n",
                        asker.login(agent.address) ? qPrintable(hepStats(asker)) : "no login");
        }
        std::sort(runs.begin(), runs.end(), [](const HepRun &a, const HepRun &b) { return a.perSecond() < b.perSecond(); });
        fastest = runs[1];
        {
            Agent agent;
            Client client;
            if (!hepAgent(agent) || !client.login(agent.address))
                return 1;
            steady = sendHep(client, agent.pid(), agent.hepPort, 150000, 50000);
            std::printf("HEP at 50,000 packets/s for 3 s: %lld of %lld delivered, %.3f %% lost; "
                        "CPU per packet: agent %.2f us, client's link thread %.2f us\n",
                        steady.delivered, steady.sent, steady.lostPercent(), steady.agentMicros(), steady.linkMicros());
            std::printf("  the agent's threads per packet: %s\n", qPrintable(steady.agentThreadMicros()));
        }
        std::fflush(stdout);
    }

    // ---- an administrator's logins while connections that never log in
    // are held open against the agent
    int adminLogins = 0;
    {
        Agent agent;
        agent.start({QStringLiteral("--source"), QStringLiteral("file:") + logFile});
        const quint16 port = quint16(agent.address.section(QLatin1Char(':'), -1).toUInt());
        Attackers attackers(port, 20);
        BenchSupport::waitUntil([&] { return attackers.connections.load() >= 20; }, 5000, 5);
        std::vector<double> loginMs;
        for (int i = 0; i < 10; ++i) {
            Client client;
            QElapsedTimer clock;
            clock.start();
            const bool in = client.login(agent.address);
            loginMs.push_back(double(clock.nsecsElapsed()) / 1e6);
            adminLogins += in && loginMs.back() <= 5000 ? 1 : 0;
        }
        std::printf("an administrator's logins while 20 silent connections are held (%lld made): %d of 10 within 5 s, "
                    "median %.1f ms, max %.1f ms\n",
                    attackers.connections.load(), adminLogins, percentile(loginMs, 0.5), percentile(loginMs, 1.0));
        std::fflush(stdout);
    }

    std::printf("agent: lines_s=%.0f latency_p99_ms=%.1f slow_client_rss_mib=%.1f cmd_median_ms=%.2f hep_pps=%.0f "
                "hep_agent_us=%.2f hep_link_us=%.2f hep_loss_pct=%.3f lockout_admin_logins=%d/10\n",
                linesPerSecond, percentile(latencies, 0.99), slowPeakMib, percentile(commandMs, 0.5), fastest.perSecond(),
                fastest.agentMicros(), fastest.linkMicros(), steady.lostPercent(), adminLogins);
    return 0;
}
