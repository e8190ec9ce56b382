#pragma once

#include "discoveryinfo.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QUdpSocket;

// Asks the local network for exchanges by one UDP datagram per request and
// collects every reply of the most recent request.
class PDiscovery : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultPort = 45454;
    // Keeps a flood of replies from growing the set without bound.
    static constexpr int MaxResults = 4096;

    struct Target
    {
        QHostAddress address;
        quint16 port = DefaultPort;
        QString unusable;  // when set, why nothing is sent
    };

    // Sends to defaultTarget().
    explicit PDiscovery(QObject *parent = nullptr);
    PDiscovery(QObject *parent, const QHostAddress &target, quint16 port = DefaultPort);
    PDiscovery(QObject *parent, const Target &target);

    // The limited broadcast on DefaultPort, unless PLOGGER_DISCOVERY_TARGET
    // is set. The variable is read at each call.
    static Target defaultTarget();
    // What a set PLOGGER_DISCOVERY_TARGET names. It is there to keep the
    // requests on one host, so an empty or malformed value sends nothing
    // rather than the broadcast.
    static Target targetFromSetting(const QString &value);
    // Reads "host:port" ("[v6]:port" for IPv6); false when malformed.
    static bool parseTarget(const QString &text, Target *target);

    static QByteArray requestPayload(qint32 cmdId);
    // Value of the first openTag element at or after from; empty when the
    // element or its closing tag is missing.
    static QString tagValue(const QString &text, const QString &openTag, int from);
    // Values of every openTag element, in order.
    static QStringList tagValues(const QString &text, const QString &openTag);

    Target target() const { return dest; }

signals:
    void newResultSet();

public slots:
    QList<DiscoveryInfo> getResultSet();
    void startBroadcasting();

private slots:
    void parseResult();

private:
    void takeReply(const QByteArray &datagram);

    QUdpSocket *socket = nullptr;
    qint32 cmdCounter = 0;
    qint32 lastCmdId = 0;
    QList<DiscoveryInfo> resultSet;
    Target dest;
    bool overflowReported = false;
    bool unusableReported = false;
};
