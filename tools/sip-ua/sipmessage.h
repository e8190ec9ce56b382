#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// One SIP message over UDP, just enough for a test user agent: start line,
// headers in order (compact names expanded), body.
class SipMessage
{
public:
    static SipMessage request(const QString &method, const QString &uri);
    static SipMessage response(int status, const QString &reason);
    // false when the datagram is not a SIP message.
    static bool parse(const QByteArray &datagram, SipMessage *message);

    bool isRequest() const { return m_status == 0; }
    QString method() const { return m_method; }
    QString uri() const { return m_uri; }
    int status() const { return m_status; }
    QString reason() const { return m_reason; }
    QByteArray body() const { return m_body; }

    // The first value of the header, "" when absent.
    QString header(const QString &name) const;
    // Every value, comma-separated lists split (outside <> and quotes).
    QStringList headerValues(const QString &name) const;
    void addHeader(const QString &name, const QString &value);
    // Copies every occurrence of name from other, in order.
    void copyHeaders(const SipMessage &other, const QString &name);
    void setBody(const QByteArray &body, const QString &contentType);

    // The CSeq method ("INVITE" from "1 INVITE") and number.
    QString cseqMethod() const;
    int cseqNumber() const;
    // A header parameter such as the tag of From or To.
    static QString parameter(const QString &headerValue, const QString &name);
    // The URI inside <> (or the value up to its parameters).
    static QString uriOf(const QString &headerValue);
    // host and port of a sip: URI; port 5060 when none.
    static bool hostPort(const QString &uri, QString *host, quint16 *port);

    QByteArray toBytes() const;

private:
    QString m_method;
    QString m_uri;
    int m_status = 0;
    QString m_reason;
    QList<QPair<QString, QString>> m_headers;
    QByteArray m_body;
};
