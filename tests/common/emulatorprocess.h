#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

// The demo exchange (pbx-emulator) as a child process on an ephemeral
// loopback port. Everything it prints on stdout is kept in lines. Every
// exchange of one test process shares one data folder, so one certificate.
class EmulatorProcess
{
public:
    // The test's build names the program with PBX_EMULATOR_PATH; otherwise it
    // is looked up in the build tree.
    static QString program()
    {
#ifdef PBX_EMULATOR_PATH
        return QStringLiteral(PBX_EMULATOR_PATH);
#else
        return QProcessEnvironment::systemEnvironment().value(QStringLiteral("PLOGGER_BIN_DIR"))
            + QStringLiteral("/tools/pbx-emulator/pbx-emulator");
#endif
    }

    ~EmulatorProcess() { stop(); }

    bool start(const QStringList &args, const QString &listen = QStringLiteral("127.0.0.1:0"))
    {
        static QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        m_process.setProcessEnvironment(env);
        m_process.setProgram(program());
        m_process.setArguments(QStringList{QStringLiteral("--listen"), listen} + args);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        const QString line = waitForLine(QStringLiteral("listening "), 10000);
        fingerprint = waitForLine(QStringLiteral("fingerprint ")).mid(12);
        address = line.mid(10).remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        port = quint16(address.mid(address.lastIndexOf(QLatin1Char(':')) + 1).toUInt());
        return !address.isEmpty();
    }

    // Kills the exchange at once: its clients see the connection drop.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Waits for a stdout line containing needle; returns it, or "" on timeout.
    // Events keep being processed meanwhile.
    QString waitForLine(const QString &needle, int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            readLines();
            for (const QString &line : qAsConst(lines)) {
                if (line.contains(needle))
                    return line;
            }
            if (clock.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
                return QString();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            m_process.waitForReadyRead(20);
        }
    }

    // The lines printed so far that contain needle.
    QStringList linesWith(const QString &needle)
    {
        readLines();
        return lines.filter(needle);
    }

    QString address;  // host:port, host unbracketed as the window writes it
    quint16 port = 0;
    QString fingerprint;  // as the client shows it
    QStringList lines;

private:
    void readLines()
    {
        while (m_process.canReadLine())
            lines.append(QString::fromUtf8(m_process.readLine()).trimmed());
    }

    QProcess m_process;
};
