#pragma once

#include <QProcess>
#include <QRegularExpression>

// Runs the discovery-responder executable on an ephemeral loopback port.
class ResponderProcess
{
public:
    ~ResponderProcess()
    {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
    }

    // The port it listens on, 0 when it did not come up.
    quint16 start(const QStringList &args)
    {
        process.start(QStringLiteral(DISCOVERY_RESPONDER), QStringList{"--listen", "127.0.0.1:0"} + args);
        while (!process.canReadLine() && process.waitForReadyRead(5000)) {
        }
        static const QRegularExpression listening(QStringLiteral("^listening 127\\.0\\.0\\.1:(\\d+)\\n$"));
        const QRegularExpressionMatch m = listening.match(QString::fromLatin1(process.readLine()));
        return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
    }

    QProcess process;
};
