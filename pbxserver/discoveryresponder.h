#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;
class QUdpSocket;

// The exchange's side of discovery: answers each request datagram with the
// exchange's model, serial number, versions and addresses, sent back to the
// address and port the request came from.
class DiscoveryResponder : public QObject
{
    Q_OBJECT

public:
    // Off loopback, many answers to one small request would make the
    // responder an amplifier for whoever forges the sender.
    static constexpr int MaxRepliesOffLoopback = 4;
    static constexpr int MaxCmdIdLength = 64;
    static constexpr int MaxPendingReplies = 256;

    explicit DiscoveryResponder(QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port = 0);
    void close();
    bool isListening() const;
    QHostAddress localAddress() const;
    quint16 localPort() const;
    QString errorString() const;

    void setPn(const QString &pn) { replyPn = pn; }
    void setSn(const QString &sn) { replySn = sn; }
    void setFw(const QString &fw) { replyFw = fw; }
    void setBl(const QString &bl) { replyBl = bl; }
    void setIps(const QStringList &ips) { replyIps = ips; }
    QString pn() const { return replyPn; }
    QString sn() const { return replySn; }
    QString fw() const { return replyFw; }
    QString bl() const { return replyBl; }
    QStringList ips() const { return replyIps; }

    // Replies sent for each request (0: stay silent); at most
    // MaxRepliesOffLoopback unless listening on loopback.
    void setReplyCount(int count) { replyCount = qMax(0, count); }
    // Answers with this command id instead of the request's own.
    void setCmdIdOverride(const QString &cmdId) { cmdIdOverride = cmdId; }
    void clearCmdIdOverride() { cmdIdOverride = QString(); }
    // Sends these bytes instead of a built reply (empty: build it).
    void setRawReply(const QByteArray &datagram) { rawReply = datagram; }

    QByteArray reply(const QString &cmdId) const;
    // The command id of a discovery request; false for anything else,
    // including another responder's reply.
    static bool parseRequest(const QByteArray &datagram, QString *cmdId);

signals:
    void requestReceived(QString cmdId, QByteArray datagram);
    // Every reply asked for so far has left.
    void repliesSent();

private:
    struct Pending
    {
        QByteArray datagram;
        QHostAddress address;
        quint16 port;
        int remaining;
    };

    void readRequests();
    void sendPending();

    QUdpSocket *socket = nullptr;
    QTimer *sendTimer = nullptr;
    QList<Pending> pending;
    QString replyPn;
    QString replySn;
    QString replyFw;
    QString replyBl;
    QStringList replyIps;
    int replyCount = 1;
    QString cmdIdOverride;
    QByteArray rawReply;
};
