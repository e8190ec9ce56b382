#pragma once

#include <QByteArray>
#include <QString>

// What the agent needs from one SIP message: its kind, its call and
// transaction, and the domains that may name its tenant. Only the start line
// and headers are looked at; a header that is missing or malformed leaves
// its member empty.
struct SipSummary
{
    bool valid = false;     // a request line or a status line was found
    bool request = false;
    QString method;         // of a request line
    int statusCode = 0;     // of a status line
    QString reason;         // of a status line
    QString callId;         // Call-ID or its compact form i:
    QString cseqNumber;
    QString cseqMethod;
    QString requestUriDomain;
    QString toDomain;
    QString fromDomain;
    QString fromUri;        // the address of From and To, without display name or tag
    QString toUri;
    QString branch;         // of the top Via: tells a transaction's messages apart
    QString viaTransport;   // of the top Via, upper case: UDP, TCP, TLS, WS...


    static SipSummary read(const QByteArray &message);
    // The host of a SIP or SIPS URI (in a header value or bare), lower case;
    // empty when there is none.
    static QString uriDomain(const QByteArray &text);
    // The URI of a name-addr ("Bob" <sip:b@x>;tag=1) or bare URI header value.
    static QString uri(const QByteArray &value);
};
