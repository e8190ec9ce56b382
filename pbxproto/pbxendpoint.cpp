#include "pbxendpoint.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSslCertificate>

namespace PbxEndpoint {

bool parseHost(const QString &text, QHostAddress *address)
{
    static const QRegularExpression dottedQuad(
        QStringLiteral("^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"));
    const QRegularExpressionMatch m = dottedQuad.match(text);
    if (m.hasMatch()) {
        quint32 ip = 0;
        for (int i = 1; i <= 4; ++i) {
            const uint octet = m.capturedRef(i).toUInt(nullptr, 10);
            if (octet > 255)
                return false;
            ip = (ip << 8) | octet;
        }
        address->setAddress(ip);
        return true;
    }
    // Anything else must be an IPv6 literal (whose IPv4 tail Qt reads as four
    // decimal parts): Qt also reads IPv4 in fewer parts, in octal and in hex,
    // as inet_aton does, which reaches another host ("127.0.010" is 127.0.0.8).
    QHostAddress parsed;
    if (!parsed.setAddress(text) || parsed.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    *address = parsed;
    return true;
}

bool parse(const QString &text, const PortRules &rules, QHostAddress *host, quint16 *port)
{
    const QString t = text.trimmed();
    const bool portRequired = rules.defaultPort == 0;
    QString hostText;
    QString portText;
    if (t.startsWith(QLatin1Char('['))) {
        const int close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        hostText = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return false;
            portText = rest.mid(1);
        }
    } else {
        const int colon = t.lastIndexOf(QLatin1Char(':'));
        // Whether a last IPv6 group was meant as a port cannot be told, so
        // where the port is optional it follows an IPv6 host only in brackets.
        if (colon < 0 || (!portRequired && QHostAddress(t).protocol() == QAbstractSocket::IPv6Protocol)) {
            hostText = t;
        } else {
            hostText = t.left(colon);
            portText = t.mid(colon + 1);
            if (!portRequired && hostText.contains(QLatin1Char(':')))
                return false;
        }
    }
    QHostAddress address;
    if (hostText.isEmpty() || !parseHost(hostText, &address))
        return false;
    quint16 p = rules.defaultPort;
    if (!portText.isNull()) {
        bool ok = false;
        const uint value = portText.toUInt(&ok, 10);
        if (!ok || value > 65535 || (value == 0 && !rules.zeroAllowed))
            return false;
        p = quint16(value);
    } else if (portRequired) {
        return false;
    }
    *host = address;
    *port = p;
    return true;
}

bool parseListen(const QString &text, QHostAddress *host, quint16 *port)
{
    return parse(text, PortRules{0, true}, host, port);
}

QString certificateFingerprint(const QSslCertificate &certificate)
{
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

}
