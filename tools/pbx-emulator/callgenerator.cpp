#include "callgenerator.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QUuid>

namespace {
const char *const kServerIp = "192.0.2.1";

enum Level { Error = 0, Warning = 1, Notice = 2, Verbose = 3, Debug = 4 };

struct PeerInfo
{
    const char *ext;
    const char *name;
    const char *ip;
};

// Names with accents on purpose: the log is Unicode end to end.
const PeerInfo kPeers[] = {
    {"201", "Zoë Martelli", "192.0.2.21"},
    {"202", "Nicolò Ferraris", "192.0.2.22"},
    {"203", "Front desk", "192.0.2.23"},
    {"204", "Łucja Nowicka", "192.0.2.24"},
    {"205", "Sala riunioni", "192.0.2.25"},
    {"206", "Andrea Cossu", "192.0.2.26"},
};
}

CallGenerator::CallGenerator(quint32 seed)
    : m_random(seed ? seed : QRandomGenerator::global()->generate())
    , m_epoch(QDateTime::currentSecsSinceEpoch())
{
}

void CallGenerator::setTenant(const QString &tenantUuid)
{
    m_tenant = tenantUuid;
}

QString CallGenerator::newId()
{
    return QStringLiteral("%1.%2").arg(m_epoch).arg(m_idCounter++);
}

QString CallGenerator::hex(int digits)
{
    QString s;
    s.reserve(digits);
    for (int i = 0; i < digits; ++i)
        s.append(QLatin1Char("0123456789abcdef"[m_random.bounded(16)]));
    return s;
}

QString CallGenerator::stamp() const
{
    return WireTimestamp::now();
}

DiagnosticMessage CallGenerator::next()
{
    if (++m_sinceHousekeeping > 12 + int(m_random.bounded(10))) {
        m_sinceHousekeeping = 0;
        return housekeeping();
    }
    if (m_calls.size() < 2 || (m_calls.size() < 4 && m_random.bounded(10) == 0))
        startCall();
    const int index = int(m_random.bounded(m_calls.size()));
    DiagnosticMessage msg = m_calls[index].messages.dequeue();
    if (m_calls[index].messages.isEmpty())
        m_calls.remove(index);
    msg.messageId = QString::number(++m_messageCounter);
    msg.timestamp = stamp();
    return msg;
}

DiagnosticMessage CallGenerator::housekeeping()
{
    const PeerInfo &peer = kPeers[m_random.bounded(int(sizeof kPeers / sizeof kPeers[0]))];
    DiagnosticMessage msg;
    msg.tenantUuid = m_tenant;
    msg.messageId = QString::number(++m_messageCounter);
    msg.timestamp = stamp();
    switch (m_random.bounded(5)) {
    case 0:
        msg.verbosity = QString::number(Notice);
        msg.message = QStringLiteral("Peer '%1' registered from %2:5060, expires in 3600 s, user agent DeskPhone 7.2")
                          .arg(QLatin1String(peer.ext), QLatin1String(peer.ip));
        break;
    case 1:
        msg.verbosity = QString::number(Debug);
        msg.message = QStringLiteral("Qualify of peer '%1' (%2:5060): OPTIONS answered in %3 ms")
                          .arg(QLatin1String(peer.ext), QLatin1String(peer.ip))
                          .arg(3 + m_random.bounded(40));
        break;
    case 2:
        msg.verbosity = QString::number(Warning);
        msg.message = QStringLiteral("Peer '%1' is unreachable: no answer to OPTIONS within 2000 ms (last seen at %2)")
                          .arg(QLatin1String(peer.ext), QLatin1String(peer.ip));
        break;
    case 3:
        msg.verbosity = QString::number(Verbose);
        msg.message = QStringLiteral("Trunk 'trunk-main' registration refreshed with 198.51.100.7:5060, next refresh in %1 s")
                          .arg(100 + m_random.bounded(20));
        break;
    default:
        msg.verbosity = QString::number(Error);
        msg.message = QStringLiteral("Rejected REGISTER from 203.0.113.%1:5060 for '%2': wrong password (attempt %3)")
                          .arg(10 + m_random.bounded(200))
                          .arg(QLatin1String(peer.ext))
                          .arg(1 + m_random.bounded(5));
        break;
    }
    return msg;
}

void CallGenerator::startCall()
{
    const int peerCount = int(sizeof kPeers / sizeof kPeers[0]);
    const int a = int(m_random.bounded(peerCount));
    int b = int(m_random.bounded(peerCount - 1));
    if (b >= a)
        ++b;
    const PeerInfo &from = kPeers[a];
    const PeerInfo &to = kPeers[b];
    const QString fromExt = QLatin1String(from.ext);
    const QString toExt = QLatin1String(to.ext);
    const QString fromIp = QLatin1String(from.ip);
    const QString toIp = QLatin1String(to.ip);
    const QString server = QLatin1String(kServerIp);

    const QString linked = newId();
    const QString callerId = linked;  // the first channel names the call
    const QString calleeId = newId();
    const QString callerChan = QStringLiteral("SIP/%1-%2").arg(fromExt).arg(m_channelCounter++, 8, 16, QLatin1Char('0'));
    const QString calleeChan = QStringLiteral("SIP/%1-%2").arg(toExt).arg(m_channelCounter++, 8, 16, QLatin1Char('0'));
    const QString callId = hex(12) + QLatin1Char('@') + fromIp;
    const QString fromTag = hex(8);
    const QString toTag = hex(8);
    const QString outCallId = hex(16) + QLatin1Char('@') + server;
    const QString bridge = QUuid::fromRfc4122(QByteArray::fromHex(hex(32).toLatin1())).toString(QUuid::WithoutBraces);
    const QString context = m_tenant.isEmpty() ? QStringLiteral("from-internal")
                                               : QStringLiteral("tenant-%1").arg(m_tenant.left(8));

    Call call;
    auto add = [&](int level, const QString &uniqueId, const QString &text) {
        DiagnosticMessage m;
        m.tenantUuid = m_tenant;
        m.linkedId = linked;
        m.uniqueId = uniqueId;
        m.verbosity = QString::number(level);
        m.message = text;
        call.messages.enqueue(m);
    };
    // Whole packets for the requests and final answers that matter, one-line
    // notes for the rest, as a debug log with SIP tracing usually looks.
    auto sipNote = [&](const QString &uniqueId, bool read, const QString &peerIp, const QString &firstLine,
                       const QString &cseq, const QString &cid) {
        add(Debug, uniqueId,
            QStringLiteral("%1 %2:5060: %3 (Call-ID %4, CSeq %5)")
                .arg(read ? QStringLiteral("SIP from") : QStringLiteral("SIP to"), peerIp, firstLine, cid, cseq));
    };
    auto sip = [&](const QString &uniqueId, bool read, const QString &peerIp, const QString &firstLine,
                   const QString &cseq, const QString &cid, const QString &extra) {
        const QString head = read ? QStringLiteral("<--- SIP read from UDP:%1:5060 --->").arg(peerIp)
                                  : QStringLiteral("<--- Transmitting SIP to %1:5060 --->").arg(peerIp);
        add(Debug, uniqueId,
            head + QLatin1Char('\n') + firstLine + QLatin1Char('\n')
                + QStringLiteral("Via: SIP/2.0/UDP %1:5060;branch=z9hG4bK%2;rport\n").arg(peerIp, hex(8))
                + QStringLiteral("From: \"%1\" <sip:%2@%3>;tag=%4\n")
                      .arg(QString::fromUtf8(from.name), fromExt, server, fromTag)
                + QStringLiteral("To: <sip:%1@%2>%3\n").arg(toExt, server, extra)
                + QStringLiteral("Call-ID: %1\n").arg(cid) + QStringLiteral("CSeq: %1\n").arg(cseq)
                + QStringLiteral("Content-Length: 0\n<------------->"));
    };

    sip(callerId, true, fromIp, QStringLiteral("INVITE sip:%1@%2:5060 SIP/2.0").arg(toExt, server),
        QStringLiteral("102 INVITE"), callId, QString());
    sipNote(callerId, false, fromIp, QStringLiteral("SIP/2.0 100 Trying"), QStringLiteral("102 INVITE"), callId);
    add(Verbose, callerId,
        QStringLiteral("-- Executing [%1@%2:1] Set(\"%3\", \"CALLERID(name)=%4\") in new stack")
            .arg(toExt, context, callerChan, QString::fromUtf8(from.name)));
    add(Verbose, callerId,
        QStringLiteral("-- Executing [%1@%2:2] Dial(\"%3\", \"SIP/%1,30,tT\") in new stack")
            .arg(toExt, context, callerChan));

    const unsigned outcome = m_random.bounded(10);
    if (outcome == 0) {
        // The callee is not registered: the dial fails at once.
        add(Error, callerId,
            QStringLiteral("Cannot create channel SIP/%1: peer not registered (cause 20, subscriber absent)").arg(toExt));
        add(Warning, callerId,
            QStringLiteral("Dial on %1 failed: all destinations unavailable, DIALSTATUS=CHANUNAVAIL").arg(callerChan));
        sip(callerId, false, fromIp, QStringLiteral("SIP/2.0 480 Temporarily Unavailable"),
            QStringLiteral("102 INVITE"), callId, QStringLiteral(";tag=%1").arg(toTag));
        add(Notice, callerId, QStringLiteral("Call %1 from %2 to %3 ended: unavailable").arg(linked, fromExt, toExt));
        m_calls.append(call);
        return;
    }

    add(Verbose, calleeId, QStringLiteral("-- Called SIP/%1 (channel %2)").arg(toExt, calleeChan));
    sip(calleeId, false, toIp, QStringLiteral("INVITE sip:%1@%2:5060 SIP/2.0").arg(toExt, toIp),
        QStringLiteral("101 INVITE"), outCallId, QString());
    sipNote(calleeId, true, toIp, QStringLiteral("SIP/2.0 180 Ringing"), QStringLiteral("101 INVITE"), outCallId);
    add(Verbose, calleeId, QStringLiteral("-- %1 is ringing").arg(calleeChan));
    sipNote(callerId, false, fromIp, QStringLiteral("SIP/2.0 180 Ringing"), QStringLiteral("102 INVITE"), callId);

    if (outcome == 1) {
        sip(calleeId, true, toIp, QStringLiteral("SIP/2.0 486 Busy Here"), QStringLiteral("101 INVITE"), outCallId,
            QStringLiteral(";tag=%1").arg(toTag));
        add(Verbose, calleeId, QStringLiteral("-- %1 is busy").arg(calleeChan));
        add(Notice, callerId, QStringLiteral("Dial on %1 ended with DIALSTATUS=BUSY").arg(callerChan));
        add(Notice, callerId, QStringLiteral("Call %1 from %2 to %3 ended: busy").arg(linked, fromExt, toExt));
        m_calls.append(call);
        return;
    }
    if (outcome == 2) {
        add(Verbose, callerId, QStringLiteral("-- No answer from %1 within 30000 ms, giving up").arg(calleeChan));
        sip(calleeId, false, toIp, QStringLiteral("CANCEL sip:%1@%2:5060 SIP/2.0").arg(toExt, toIp),
            QStringLiteral("101 CANCEL"), outCallId, QString());
        sip(calleeId, true, toIp, QStringLiteral("SIP/2.0 487 Request Terminated"), QStringLiteral("101 INVITE"),
            outCallId, QStringLiteral(";tag=%1").arg(toTag));
        add(Notice, callerId, QStringLiteral("Call %1 from %2 to %3 ended: no answer").arg(linked, fromExt, toExt));
        m_calls.append(call);
        return;
    }

    const int rtpPort = 10000 + 2 * int(m_random.bounded(5000));
    sip(calleeId, true, toIp, QStringLiteral("SIP/2.0 200 OK"), QStringLiteral("101 INVITE"), outCallId,
        QStringLiteral(";tag=%1").arg(toTag));
    add(Verbose, calleeId, QStringLiteral("-- %1 answered %2").arg(calleeChan, callerChan));
    sipNote(callerId, false, fromIp, QStringLiteral("SIP/2.0 200 OK"), QStringLiteral("102 INVITE"), callId);
    sipNote(callerId, true, fromIp, QStringLiteral("ACK sip:%1@%2:5060 SIP/2.0").arg(toExt, server),
            QStringLiteral("102 ACK"), callId);
    add(Notice, calleeId, QStringLiteral("Channel %1 joined bridge %2 (simple mixing)").arg(calleeChan, bridge));
    add(Notice, callerId, QStringLiteral("Channel %1 joined bridge %2 (simple mixing)").arg(callerChan, bridge));
    add(Debug, callerId,
        QStringLiteral("RTP media for %1: local %2:%3 <-> remote %4:%5, codec alaw, ptime 20 ms")
            .arg(callerChan, server)
            .arg(rtpPort)
            .arg(fromIp)
            .arg(rtpPort + 2000));
    add(Debug, calleeId,
        QStringLiteral("RTP media for %1: local %2:%3 <-> remote %4:%5, codec alaw, ptime 20 ms")
            .arg(calleeChan, server)
            .arg(rtpPort + 2)
            .arg(toIp)
            .arg(rtpPort + 4000));
    if (m_random.bounded(3) == 0)
        add(Warning, callerId,
            QStringLiteral("RTP jitter on %1 above threshold: %2 ms, %3 packets lost in the last 5 s")
                .arg(callerChan)
                .arg(40 + m_random.bounded(60))
                .arg(1 + m_random.bounded(9)));
    const int seconds = 5 + int(m_random.bounded(300));
    sip(calleeId, true, toIp, QStringLiteral("BYE sip:%1@%2:5060 SIP/2.0").arg(fromExt, server),
        QStringLiteral("102 BYE"), outCallId, QStringLiteral(";tag=%1").arg(toTag));
    sipNote(calleeId, false, toIp, QStringLiteral("SIP/2.0 200 OK"), QStringLiteral("102 BYE"), outCallId);
    add(Verbose, calleeId, QStringLiteral("-- Channel %1 left bridge %2").arg(calleeChan, bridge));
    sip(callerId, false, fromIp, QStringLiteral("BYE sip:%1@%2:5060 SIP/2.0").arg(fromExt, fromIp),
        QStringLiteral("103 BYE"), callId, QStringLiteral(";tag=%1").arg(toTag));
    add(Debug, callerId,
        QStringLiteral("RTP statistics for %1:\tsent %2\treceived %3\tlost %4")
            .arg(callerChan)
            .arg(seconds * 50)
            .arg(seconds * 50 - 3)
            .arg(3));
    add(Notice, callerId,
        QStringLiteral("Call %1 from %2 to %3 ended: answered, duration %4:%5")
            .arg(linked, fromExt, toExt)
            .arg(seconds / 60, 2, 10, QLatin1Char('0'))
            .arg(seconds % 60, 2, 10, QLatin1Char('0')));
    m_calls.append(call);
}
