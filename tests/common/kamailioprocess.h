#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A real Kamailio for a test: the config of tests/agent/kamailio on a free
// UDP port of 127.0.0.1, its runtime folder (kamailio_rpc.sock) and its
// db_text tables in a temporary folder. Its output (stderr, -E) is kept in
// lines. The test's build names the config folder with KAMAILIO_TEST_DIR.
class KamailioProcess
{
public:
    ~KamailioProcess() { stop(); }

    // Debian installs it in /usr/sbin, which a user's PATH may lack; "" when absent.
    static QString program()
    {
        QString path = QStandardPaths::findExecutable(QStringLiteral("kamailio"));
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(QStringLiteral("kamailio"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
        return path;
    }

    // Starts it (again, after stop(), on the same port) and waits until it
    // answers JSON-RPC. false with error set when it does not.
    bool start()
    {
        if (!m_dir.isValid()) {
            error = QStringLiteral("no temporary folder");
            return false;
        }
        if (program().isEmpty()) {
            error = QStringLiteral("kamailio is not installed (scripts/test installs it)");
            return false;
        }
        if (port == 0 && !pickPort())
            return false;
        const QDir dir(m_dir.path());
        dir.mkpath(QStringLiteral("run"));
        dir.mkpath(QStringLiteral("work"));
        dir.mkpath(QStringLiteral("db"));
        const QDir source(tables);
        for (const QString &table : source.entryList(QDir::Files)) {
            QFile::remove(dir.filePath(QStringLiteral("db/") + table));
            QFile::copy(source.filePath(table), dir.filePath(QStringLiteral("db/") + table));
        }
        runDir = dir.filePath(QStringLiteral("run"));
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        if (!outputFile.isEmpty())
            m_process.setStandardOutputFile(outputFile, QIODevice::Append);
        m_process.setProgram(program());
        m_process.setArguments({QStringLiteral("-f"), config,
                                QStringLiteral("-DD"), QStringLiteral("-E"), QStringLiteral("-m"), QStringLiteral("64"),
                                QStringLiteral("-M"), QStringLiteral("8"), QStringLiteral("-Y"), runDir,
                                QStringLiteral("-w"), dir.filePath(QStringLiteral("work")), QStringLiteral("-A"),
                                QStringLiteral("SIPPORT=%1").arg(port), QStringLiteral("-A"),
                                QStringLiteral("PLOGGER4_DOMAIN_DB=\"text://%1\"").arg(dir.filePath(QStringLiteral("db")))});
        for (QString argument : qAsConst(arguments)) {
            argument.replace(QLatin1String("{port}"), QString::number(port));
            argument.replace(QLatin1String("{db}"), dir.filePath(QStringLiteral("db")));
            m_process.setArguments(m_process.arguments() << argument);
        }
        if (hepPort) {
            m_process.setArguments(m_process.arguments()
                                   << QStringLiteral("-A") << QStringLiteral("PLOGGER4_HEP_URI=\"sip:127.0.0.1:%1\"").arg(hepPort)
                                   << QStringLiteral("-A") << QStringLiteral("PLOGGER4_HEP_PASSWORD=\"%1\"").arg(hepKey));
        }
        m_process.start();
        if (!m_process.waitForStarted(5000)) {
            error = QStringLiteral("kamailio did not start: %1").arg(m_process.errorString());
            return false;
        }
        if (!waitUntilAnswering(10000)) {
            error = QStringLiteral("kamailio gave no JSON-RPC answer; its output:\n") + linesWith(QString()).join('\n');
            stop();
            return false;
        }
        // Another SIP server on the port would take our traffic unseen.
        QUdpSocket probe;
        if (probe.bind(QHostAddress(QHostAddress::LocalHost), port, QAbstractSocket::DontShareAddress)) {
            error = QStringLiteral("kamailio is not listening on port %1").arg(port);
            stop();
            return false;
        }
        return true;
    }

    // SIGTERM, then waits for it (and so its workers) to end.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(15000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        readLines();
    }

    QString rpcSocket() const { return runDir + QStringLiteral("/kamailio_rpc.sock"); }
    QString proxy() const { return QStringLiteral("127.0.0.1:%1").arg(port); }
    // A folder of the test's own, for reply sockets and such.
    QString scratchDir() const
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("scratch"));
        return m_dir.filePath(QStringLiteral("scratch"));
    }

    // The output lines so far that contain needle.
    QStringList linesWith(const QString &needle)
    {
        readLines();
        return lines.filter(needle);
    }

    quint16 port = 0;
    // Set before start(): another configuration, its db_text tables, and
    // more arguments, where {port} is the SIP port and {db} the tables' copy.
    QString config = QStringLiteral(KAMAILIO_TEST_DIR "/kamailio.cfg");
    QString tables = QStringLiteral(KAMAILIO_TEST_DIR "/db");
    QStringList arguments;
    // Set before start(): siptrace sends every SIP message, and hlog() a line
    // per request, as HEP to this port of 127.0.0.1 with this key.
    quint16 hepPort = 0;
    QString hepKey;
    // Set before start(): Kamailio's output goes to this file (for a reader
    // that follows it) instead of being read here.
    QString outputFile;
    QString runDir;
    QString error;
    QStringList lines;

private:
    bool pickPort()
    {
        // Bound without sharing: held by no one else at this moment.
        QUdpSocket socket;
        if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0, QAbstractSocket::DontShareAddress)) {
            error = socket.errorString();
            return false;
        }
        port = socket.localPort();
        return true;
    }

    void readLines()
    {
        if (!outputFile.isEmpty()) {
            QFile file(outputFile);
            if (file.open(QIODevice::ReadOnly))
                lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
            return;
        }
        while (m_process.canReadLine())
            lines.append(QString::fromUtf8(m_process.readLine()).trimmed());
    }

    // core.version over the datagram socket, as the agent asks it.
    bool waitUntilAnswering(int timeoutMs)
    {
        const QByteArray replyPath = QFile::encodeName(m_dir.filePath(QStringLiteral("probe.sock")));
        const QByteArray target = QFile::encodeName(rpcSocket());
        sockaddr_un me{}, to{};
        me.sun_family = to.sun_family = AF_UNIX;
        if (size_t(replyPath.size()) >= sizeof me.sun_path || size_t(target.size()) >= sizeof to.sun_path)
            return false;
        std::memcpy(me.sun_path, replyPath.constData(), size_t(replyPath.size()));
        std::memcpy(to.sun_path, target.constData(), size_t(target.size()));
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::unlink(me.sun_path);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0)
            return false;
        const QByteArray request("{\"jsonrpc\":\"2.0\",\"method\":\"core.version\",\"id\":1}");
        bool answered = false;
        QElapsedTimer clock;
        clock.start();
        while (!answered && !clock.hasExpired(timeoutMs) && m_process.state() == QProcess::Running) {
            ::sendto(fd, request.constData(), size_t(request.size()), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) {
                char buffer[512];
                answered = ::recv(fd, buffer, sizeof buffer, 0) > 0;
            }
            readLines();
            QCoreApplication::processEvents();
        }
        ::close(fd);
        ::unlink(me.sun_path);
        return answered;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
};
