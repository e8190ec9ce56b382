#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

// The outcome of one JSON-RPC call to Kamailio: its result, the error it
// answered with, or why there is no usable answer.
struct KamailioRpcReply
{
    enum Status {
        Ok,      // result holds Kamailio's result
        Error,   // Kamailio answered with an error: code and message
        Failed,  // no usable answer (no socket, timeout, bad datagram): message says why
    };

    // Larger replies are refused: they would only be held in memory to be cut.
    static const int MaxBytes = 1 << 20;

    Status status = Failed;
    QJsonValue result;
    int code = 0;
    QString message;  // at most 300 characters
    qint64 id = -1;   // the request id the reply names; -1 when it names none

    bool ok() const { return status == Ok; }
    bool isMethodNotFound() const;
    // The reason as one line for a log or a command's detail.
    QString describe() const;

    // Reads one reply datagram. Pure: any bytes give a reply, a bad one Failed.
    static KamailioRpcReply read(const QByteArray &datagram);
    static KamailioRpcReply failure(const QString &why);
};
