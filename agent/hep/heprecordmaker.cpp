#include "heprecordmaker.h"

#include "pbxprotocol.h"

#include <QDateTime>
#include <QStringBuilder>

namespace {

QString levelText(int level)
{
    return QString::number(qBound(0, level, 4));
}

QString endpoint(const QHostAddress &address, quint16 port)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2").arg(address.isNull() ? QStringLiteral("?") : address.toString()).arg(port);
}

QString transport(quint8 ipProtocol)
{
    switch (ipProtocol) {
    case 17:
        return QStringLiteral("UDP");
    case 6:
        return QStringLiteral("TCP");
    case 132:
        return QStringLiteral("SCTP");
    default:
        return QStringLiteral("protocol %1").arg(ipProtocol);
    }
}

// Appends the text bounded on a character boundary, line ends made plain,
// trailing blank lines gone; the text ends at a NUL byte, as it always has.
// CR LF becomes LF as the decoded text is copied into place: one pass, no
// search and no second copy.
void appendPayloadText(QString *message, const QByteArray &payload)
{
    const char *bytes = payload.constData();
    const bool cut = payload.size() > HepRecordMaker::MaxMessageBytes;
    int size = cut ? int(HepRecordMaker::MaxMessageBytes) : payload.size();
    if (cut) {
        int lead = size - 1;
        while (lead > 0 && lead > size - 4 && (uchar(bytes[lead]) & 0xC0) == 0x80)
            --lead;
        if (lead >= 0 && uchar(bytes[lead]) >= 0xC0)
            size = lead;
    }
    const int nul = int(qstrnlen(bytes, uint(size)));
    // Line ends before a NUL were never trailing.
    const bool trailing = nul == size;
    const QString text = QString::fromUtf8(bytes, nul);
    const int head = message->size();
    // A byte decodes to one UTF-16 unit at most.
    message->resize(head + text.size() + (cut ? 3 : 0));
    QChar *const start = message->data() + head;
    QChar *out = start;
    const QChar *in = text.constData();
    const QChar *const end = in + text.size();
    for (; in != end; ++in) {
        if (*in == QLatin1Char('\r') && in + 1 != end && in[1] == QLatin1Char('\n'))
            continue;
        *out++ = *in;
    }
    while (trailing && out != start && (out[-1] == QLatin1Char('\n') || out[-1] == QLatin1Char('\r')))
        --out;
    if (cut) {
        for (int i = 0; i < 3; ++i)
            *out++ = QLatin1Char('.');
    }
    message->resize(int(out - message->constData()));
}

QString cseqOf(const QByteArray &text)
{
    // "CSeq: 12 INVITE" anywhere in a log text ties it to a transaction.
    const int at = text.indexOf("CSeq: ");
    if (at < 0)
        return QString();
    int i = at + 6;
    const int numberStart = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    if (i == numberStart || i >= text.size() || text[i] != ' ')
        return QString();
    int j = i + 1;
    while (j < text.size() && ((text[j] >= 'A' && text[j] <= 'Z') || text[j] == '-' || text[j] == '_'))
        ++j;
    if (j == i + 1)
        return QString();
    return QString::fromLatin1(text.constData() + numberStart, j - numberStart);
}

}

int HepRecordMaker::sipLevel(const SipSummary &sip)
{
    if (sip.statusCode >= 500)
        return 1;
    if (sip.statusCode >= 400)
        return 2;
    return 4;
}

int HepRecordMaker::logLevel(const QByteArray &text)
{
    static const struct
    {
        const char *word;
        int level;
    } words[] = {{"ERROR", 0}, {"WARNING", 1}, {"NOTICE", 2}, {"INFO", 3}, {"DEBUG", 4}};
    int i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    for (const auto &w : words) {
        const int n = int(qstrlen(w.word));
        if (qstrncmp(text.constData() + i, w.word, n) == 0) {
            const char after = i + n < text.size() ? text[i + n] : ' ';
            if (!((after >= 'A' && after <= 'Z') || (after >= 'a' && after <= 'z')))
                return w.level;
        }
    }
    return 2;
}

bool HepRecordMaker::make(const HepPacket &packet, DiagnosticMessage *record, SipSummary *sip)
{
    *record = DiagnosticMessage();
    if (packet.protocolType == HepPacket::Sip) {
        *sip = SipSummary::read(packet.payload);
        record->verbosity = levelText(sipLevel(*sip));
        record->linkedId = sip->callId;
        if (!sip->callId.isEmpty() && !sip->cseqNumber.isEmpty())
            record->uniqueId = sip->callId % QLatin1Char(';') % sip->cseqNumber % QLatin1Char(' ') % sip->cseqMethod;
        const RouteText &route = routeText(packet);
        const QString &line = route.firstLine;
        record->message.reserve(line.size() + qMin(packet.payload.size(), int(MaxMessageBytes)) + 3);
        record->message += line;
        addSipFields(packet, *sip, route, &record->extraFields);
        appendPayloadText(&record->message, packet.payload);
    } else if (packet.protocolType == HepPacket::Log) {
        *sip = SipSummary();
        record->verbosity = levelText(logLevel(packet.payload));
        record->linkedId = QString::fromUtf8(packet.correlationId);
        const QString cseq = record->linkedId.isEmpty() ? QString() : cseqOf(packet.payload);
        record->uniqueId = cseq.isEmpty() ? record->linkedId : record->linkedId + QLatin1Char(';') + cseq;
        appendPayloadText(&record->message, packet.payload);
    } else {
        return false;
    }
    record->timestamp = stamp(packet);
    PbxProtocol::boundLogMembers(record);
    return true;
}

const HepRecordMaker::RouteText &HepRecordMaker::routeText(const HepPacket &packet)
{
    const Route route{packet.source, packet.destination, packet.sourcePort, packet.destinationPort, packet.ipProtocol};
    auto it = m_routes.constFind(route);
    if (it != m_routes.constEnd())
        return it.value();
    if (m_routes.size() >= MaxRoutes)
        m_routes.clear();
    RouteText text;
    const QString source = endpoint(packet.source, packet.sourcePort);
    const QString destination = endpoint(packet.destination, packet.destinationPort);
    text.ipTransport = transport(packet.ipProtocol);
    text.firstLine = QStringLiteral("SIP from %1 to %2 (%3)\n").arg(source, destination, text.ipTransport);
    text.source = QStringLiteral("sip.src=") + source;
    text.destination = QStringLiteral("sip.dst=") + destination;
    return m_routes.insert(route, text).value();
}

void HepRecordMaker::addSipFields(const HepPacket &packet, const SipSummary &sip, const RouteText &route,
                                  QStringList *fields) const
{
    // TLS and WebSocket ride on TCP: the top Via says which it was.
    static const QStringList viaNames{QStringLiteral("UDP"), QStringLiteral("TCP"), QStringLiteral("TLS"),
                                      QStringLiteral("SCTP"), QStringLiteral("WS"), QStringLiteral("WSS")};
    const QString &proto = viaNames.contains(sip.viaTransport) ? sip.viaTransport : route.ipTransport;
    fields->reserve(10);
    *fields << route.source << route.destination << QStringLiteral("sip.proto=") + proto;
    if (sip.valid && sip.request) {
        *fields << QStringLiteral("sip.method=") + sip.method;
    } else if (sip.valid) {
        *fields << QStringLiteral("sip.status=") + QString::number(sip.statusCode)
                << QStringLiteral("sip.reason=") + sip.reason;
    }
    if (!sip.cseqNumber.isEmpty())
        *fields << QStringLiteral("sip.cseq=") % sip.cseqNumber % QLatin1Char(' ') % sip.cseqMethod;
    if (!sip.fromUri.isEmpty())
        *fields << QStringLiteral("sip.from=") + sip.fromUri;
    if (!sip.toUri.isEmpty())
        *fields << QStringLiteral("sip.to=") + sip.toUri;
    if (!sip.branch.isEmpty())
        *fields << QStringLiteral("sip.branch=") + sip.branch;
    // Microseconds, as the capture stamped the packet: answers can arrive
    // in another order than they were sent.
    qint64 seconds = packet.seconds;
    quint32 micro = qMin<quint32>(packet.microseconds, 999999);
    if (!seconds) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        seconds = now / 1000;
        micro = quint32(now % 1000) * 1000;
    }
    *fields << QStringLiteral("sip.time=%1.%2").arg(seconds).arg(micro, 6, 10, QLatin1Char('0'));
}

QString HepRecordMaker::stamp(const HepPacket &packet)
{
    const qint64 ms = packet.seconds ? qint64(packet.seconds) * 1000 + qMin<quint32>(packet.microseconds, 999999) / 1000
                                     : QDateTime::currentMSecsSinceEpoch();
    return m_stamp.at(ms);
}
