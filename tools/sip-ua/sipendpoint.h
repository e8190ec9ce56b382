#pragma once

#include "sipmessage.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>

class QTimer;
class QUdpSocket;

// One user's UDP socket on loopback: sends requests to the proxy with
// retransmission until an answer, answers requests as a callee that picks up
// at once (100, 180, 200 until the ACK; 200 to BYE and OPTIONS).
class SipEndpoint : public QObject
{
    Q_OBJECT

public:
    // aor is user@domain; every request goes to proxy:proxyPort.
    SipEndpoint(const QString &aor, const QHostAddress &proxy, quint16 proxyPort, QObject *parent = nullptr);

    bool bind(QString *error);
    QString aor() const { return m_aor; }
    QString user() const { return m_aor.section(QLatin1Char('@'), 0, 0); }
    QString domain() const { return m_aor.section(QLatin1Char('@'), 1); }
    QString contact() const;
    QString userAgent = QStringLiteral("plogger4-sip-ua/1.0");
    int ringMs = 0;  // callee: how long it rings before it answers

    // A request with Via (fresh branch), Max-Forwards, From, To, Call-ID and
    // CSeq filled in; toValue "" means the request URI.
    SipMessage newRequest(const QString &method, const QString &uri, const QString &callId, int cseq,
                          const QString &fromTag, const QString &toValue = QString(),
                          const QString &branch = QString()) const;
    // Sends to the first Route when there is one, otherwise to the proxy;
    // retransmits (500 ms doubling) until a response comes, unless it is an ACK.
    void send(const SipMessage &request);

    static QString randomToken();

signals:
    void responseReceived(const SipMessage &response);
    void failed(const QString &reason);

private:
    void readPending();
    void handleRequest(const SipMessage &request, const QHostAddress &from, quint16 port);
    SipMessage responseTo(const SipMessage &request, int status, const QString &reason, const QString &toTag) const;
    void sendTo(const QByteArray &bytes, const QHostAddress &host, quint16 port);

    struct Pending
    {
        QByteArray bytes;
        QHostAddress host;
        quint16 port = 0;
        QTimer *timer = nullptr;
        int interval = 500;
    };

    QString m_aor;
    QHostAddress m_proxy;
    quint16 m_proxyPort;
    QUdpSocket *m_socket;
    QHash<QString, Pending> m_pending;  // by Via branch
    // Callee side: the 200 of each answered INVITE, until its ACK; by Call-ID.
    QHash<QString, Pending> m_unacked;
    QHash<QString, QString> m_toTags;  // by Call-ID
};
