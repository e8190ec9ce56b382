#pragma once

#include "diagnosticmessage.h"
#include "heppacket.h"
#include "sipsummary.h"
#include "wiretimestamp.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

// Turns a decoded HEP packet into the log record the window shows. A SIP
// packet becomes "SIP from A to B (UDP)" and the whole message, tied to its
// call and transaction as the agent ties Kamailio's log lines (linkedId =
// Call-ID, uniqueId = "<Call-ID>;<CSeq number> <METHOD>"); a log packet
// becomes its text, tied to the call its correlation id names. A SIP record
// also carries in its extra fields what a call's ladder is drawn from
// (sip.src, sip.dst, sip.method...; see docs/pbxlink-protocol.md).
class HepRecordMaker
{
public:
    // One runaway message must not fill a client's screen; cut text is
    // marked with "...".
    static constexpr int MaxMessageBytes = 64 * 1024;
    // First lines kept formatted: a SIP server talks to few peers.
    static constexpr int MaxRoutes = 256;

    // False for packets of other protocol types. *sip is filled for SIP.
    bool make(const HepPacket &packet, DiagnosticMessage *record, SipSummary *sip);

    // The level a SIP message is shown at: requests and 1xx-3xx answers 4,
    // 4xx 2, 5xx and 6xx 1.
    static int sipLevel(const SipSummary &sip);
    // The level word at the start of a log text (ERROR 0 ... DEBUG 4), else 2.
    static int logLevel(const QByteArray &text);

private:
    // Where a SIP message went.
    struct Route
    {
        QHostAddress source;
        QHostAddress destination;
        quint16 sourcePort = 0;
        quint16 destinationPort = 0;
        quint8 ipProtocol = 0;

        bool operator==(const Route &other) const
        {
            return sourcePort == other.sourcePort && destinationPort == other.destinationPort
                && ipProtocol == other.ipProtocol && source == other.source && destination == other.destination;
        }
        friend uint qHash(const Route &route, uint seed)
        {
            return qHash(route.source, seed) ^ (qHash(route.destination, seed) * 31)
                ^ ((uint(route.sourcePort) << 16 | route.destinationPort) + route.ipProtocol);
        }
    };

    // What is written once for each route.
    struct RouteText
    {
        QString firstLine;  // "SIP from A to B (UDP)" and a line end
        QString source;     // "sip.src=A"
        QString destination;
        QString ipTransport;  // UDP, TCP, SCTP or "protocol N"
    };

    QString stamp(const HepPacket &packet);
    const RouteText &routeText(const HepPacket &packet);
    void addSipFields(const HepPacket &packet, const SipSummary &sip, const RouteText &route,
                      QStringList *fields) const;

    QHash<Route, RouteText> m_routes;

    WireTimestamp m_stamp;
};
