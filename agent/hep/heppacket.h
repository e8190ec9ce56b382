#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtGlobal>

// What one HEP version 3 packet carries, as HepDecoder reads it.
struct HepPacket
{
    // Protocol types of chunk 11 that the agent shows.
    enum ProtocolType : quint8 { Sip = 1, Log = 100 };

    quint8 addressFamily = 0; // 2 IPv4, 10 IPv6
    quint8 ipProtocol = 0;    // 17 UDP, 6 TCP, 132 SCTP
    QHostAddress source;
    QHostAddress destination;
    quint16 sourcePort = 0;
    quint16 destinationPort = 0;
    quint32 seconds = 0;
    quint32 microseconds = 0;
    quint8 protocolType = 0;
    quint32 captureId = 0;
    bool hasAuthKey = false;
    QByteArray authKey;
    QByteArray payload; // inflated when it came compressed
    QByteArray correlationId;
};
