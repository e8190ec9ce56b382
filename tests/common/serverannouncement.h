#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>

// What the demo exchange and the agent print once they serve:
// "fingerprint AB:CD:...", a "listening HOST:PORT" per address and, from an
// agent hearing HEP, "hep HOST:PORT".
struct ServerAnnouncement
{
    QString fingerprint;
    QString address;  // the first address listened on
    quint16 port = 0;
    quint16 hepPort = 0;

    void read(const QString &line)
    {
        auto portOf = [](const QString &hostPort) { return quint16(hostPort.section(QLatin1Char(':'), -1).toUInt()); };
        if (line.startsWith(QLatin1String("fingerprint "))) {
            fingerprint = line.mid(12);
        } else if (line.startsWith(QLatin1String("listening ")) && address.isEmpty()) {
            address = line.mid(10);
            port = portOf(address);
        } else if (line.startsWith(QLatin1String("hep "))) {
            hepPort = portOf(line);
        }
    }

    // Reads the process's standard output until it serves (and hears HEP,
    // when asked), ends, or the time runs out; false unless it serves.
    bool waitFor(QProcess &process, bool hep = false, int timeoutMs = 15000)
    {
        QElapsedTimer clock;
        clock.start();
        auto complete = [&] { return !address.isEmpty() && !fingerprint.isEmpty() && (!hep || hepPort != 0); };
        while (!complete() && !clock.hasExpired(timeoutMs) && process.state() != QProcess::NotRunning) {
            process.waitForReadyRead(50);
            while (process.canReadLine())
                read(QString::fromUtf8(process.readLine()).trimmed());
        }
        return complete();
    }
};
