#include "heprecordmaker.h"

#include "pbxprotocol.h"

#include <QDateTime>

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

// The text bounded on a character boundary, line ends made plain, trailing
// blank lines gone.
QString payloadText(const QByteArray &payload)
{
    const bool cut = payload.size() > HepRecordMaker::MaxMessageBytes;
    QByteArray bytes = cut ? payload.left(HepRecordMaker::MaxMessageBytes) : payload;
    if (cut) {
        int end = bytes.size();
        int lead = end - 1;
        while (lead > 0 && lead > end - 4 && (uchar(bytes[lead]) & 0xC0) == 0x80)
            --lead;
        if (lead >= 0 && uchar(bytes[lead]) >= 0xC0)
            bytes.truncate(lead);
    }
    bytes.replace("\r\n", "\n");
    while (bytes.endsWith('\n') || bytes.endsWith('\r'))
        bytes.chop(1);
    QString text = QString::fromUtf8(bytes);
    if (cut)
        text += QStringLiteral("...");
    return text;
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
            record->uniqueId = sip->callId + QLatin1Char(';') + sip->cseqNumber + QLatin1Char(' ') + sip->cseqMethod;
        record->message = QStringLiteral("SIP from %1 to %2 (%3)\n")
                              .arg(endpoint(packet.source, packet.sourcePort),
                                   endpoint(packet.destination, packet.destinationPort), transport(packet.ipProtocol))
            + payloadText(packet.payload);
    } else if (packet.protocolType == HepPacket::Log) {
        *sip = SipSummary();
        record->verbosity = levelText(logLevel(packet.payload));
        record->linkedId = QString::fromUtf8(packet.correlationId);
        const QString cseq = record->linkedId.isEmpty() ? QString() : cseqOf(packet.payload);
        record->uniqueId = cseq.isEmpty() ? record->linkedId : record->linkedId + QLatin1Char(';') + cseq;
        record->message = payloadText(packet.payload);
    } else {
        return false;
    }
    record->timestamp = stamp(packet);
    PbxProtocol::boundLogMembers(record);
    return true;
}

// Formatting a local time is slow; one per second is formatted, the
// milliseconds are written into a copy.
QString HepRecordMaker::stamp(const HepPacket &packet)
{
    const qint64 ms = packet.seconds ? qint64(packet.seconds) * 1000 + qMin<quint32>(packet.microseconds, 999999) / 1000
                                     : QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms / 1000;
    if (second != m_stampSecond) {
        m_stampSecond = second;
        m_stampSecondText = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    }
    QString text = m_stampSecondText;
    if (text.size() == 23) {
        const int milli = int(ms - second * 1000);
        QChar *digits = text.data() + 20;
        digits[0] = QLatin1Char(char('0' + milli / 100));
        digits[1] = QLatin1Char(char('0' + milli / 10 % 10));
        digits[2] = QLatin1Char(char('0' + milli % 10));
    }
    return text;
}
