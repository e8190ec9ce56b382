#pragma once

#include "diagnosticmessage.h"
#include "hepcalltenants.h"
#include "hepdecoder.h"
#include "heprecordmaker.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QVector>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;

// Received-packet counts since the start.
struct HepCounters
{
    quint64 sip = 0;
    quint64 log = 0;
    quint64 other = 0; // well-formed, of a protocol type the agent does not show
    quint64 dropped = 0;
    quint64 unauthenticated = 0;
    // Datagrams the system dropped before the agent read them, almost
    // always because the socket's buffer was full.
    quint64 overflowed = 0;
    quint64 droppedFor[HepDecoder::ErrorCount] = {};
};

// Hears HEP version 3 from SIP servers over UDP and TCP on one address and
// turns each SIP and log packet into a log record, with its call's tenant.
// HEP is neither encrypted nor, by default, authenticated: the address is
// the configured one, loopback unless an administrator names another, and a
// capture password, when set, must come with every packet.
class HepReceiver : public QObject
{
    Q_OBJECT
public:
    // At the limit, a new connection takes the place of one that passes
    // nothing, or of one long quiet; else it is refused: see
    // connectionToGiveWay().
    static constexpr int MaxConnections = 64;
    static constexpr int QuietBeforeGivingWayMs = 60 * 1000;
    // What one wake-up reads of a connection at most.
    static constexpr int MaxStreamRead = 1024 * 1024;
    static constexpr int StatsIntervalMs = 60 * 1000;

    explicit HepReceiver(QObject *parent = nullptr);
    ~HepReceiver() override;

    // Packets must carry this authentication key; empty accepts all.
    void setPassword(const QByteArray &password);
    // Lower-case domain -> tenant UUID; see HepCallTenants.
    void setTenantDomains(const QHash<QString, QString> &domains);
    HepCallTenants &callTenants() { return m_tenants; }

    // "HOST:PORT" ("[::1]:9060"); a bare port means 127.0.0.1. UDP and TCP
    // on the same address and port; a second call gives up the first
    // address, and a failed one leaves nothing open.
    bool listen(const QString &address, QString *error);
    static bool parseAddress(const QString &text, QHostAddress *host, quint16 *port);
    QHostAddress address() const;
    quint16 port() const;

    // Takes one packet as if it had arrived; records follow in
    // recordsReady() at the next flush(). True when it passed: well-formed
    // and, with a password, authenticated.
    bool receive(const char *data, int size);
    void flush();

    const HepCounters &counters() const { return m_counters; }
    // "hep sip=N log=N other=N dropped=N unauthenticated=N", " overflowed=N"
    // once the system has dropped any, and the drop reasons seen, e.g.
    // " (bad-chunk=2)".
    QString statsText() const;
    int connectionCount() const { return m_streams.size(); }

signals:
    void recordsReady(const QVector<DiagnosticMessage> &records);
    // The counters' line, once a minute while packets are dropped.
    void statsReport(const QString &line);

private:
    // A TCP connection: the start of a packet still to come, and when a
    // packet of it last passed.
    struct Stream
    {
        QByteArray buffer;
        QElapsedTimer accepted;
        QElapsedTimer lastPassed; // invalid until one passes
    };

    bool bindUdp(const QHostAddress &host, quint16 port, QString *why);
    void closeUdp();
    void stopListening();
    void readDatagrams();
    void acceptConnections();
    QTcpSocket *connectionToGiveWay() const;
    void closeStream(QTcpSocket *socket);
    void readStream(QTcpSocket *socket);
    void drop(HepDecoder::Error why);
    void reportIfDropping();

    // A descriptor of its own: QUdpSocket takes two system calls for each
    // datagram, recvmmsg one for many.
    int m_udp = -1;
    QSocketNotifier *m_udpNotifier = nullptr;
    QHostAddress m_address;
    quint16 m_port = 0;
    bool m_udpFailing = false; // told once, until a read succeeds
    quint32 m_systemDrops = 0; // the socket's own count, as last told
    QTcpServer *m_tcp = nullptr;
    QHash<QTcpSocket *, Stream> m_streams;
    QByteArray m_password;
    QByteArray m_datagrams; // room for one recvmmsg's worth
    HepCallTenants m_tenants;
    HepRecordMaker m_maker;
    HepCounters m_counters;
    QVector<DiagnosticMessage> m_batch;
    QTimer m_statsTimer;
    quint64 m_reportedDrops = 0;
};
