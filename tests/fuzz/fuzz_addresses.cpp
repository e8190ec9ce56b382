// Addresses from outside: "host:port" typed by the user or picked from a
// discovery reply (read by the link), and the discovery target variable.
#include "fuzzsupport.h"
#include "pbxlinksession.h"
#include "pdiscovery.h"

#include <QRegularExpression>

namespace {

QString joined(const QHostAddress &host, quint16 port)
{
    // Concatenated, not arg()-chained: a scope id such as "%1" would be taken
    // for a placeholder.
    const QString text = host.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + host.toString() + QLatin1Char(']')
                             : host.toString();
    return text + QLatin1Char(':') + QString::number(port);
}

// Qt takes any text after '%' as the scope id, even "]"; only interface
// names and numbers can be written back in brackets.
bool plainScope(const QHostAddress &host)
{
    for (const QChar c : host.scopeId()) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char('-') && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));

    // What parses, written back, parses to the same address and port.
    QHostAddress host;
    quint16 port = 0;
    if (PbxLinkSession::parseHostAndPort(text, &host, &port)) {
        FUZZ_CHECK(!host.isNull() && port != 0);
        // IPv4 is read from four decimal parts only, so its octets are the
        // text's first four numbers; a bare IPv6 literal carries no port.
        if (host.protocol() == QAbstractSocket::IPv4Protocol) {
            static const QRegularExpression nonDigits(QStringLiteral("[^0-9]+"));
            const QStringList numbers = text.split(nonDigits, Qt::SkipEmptyParts);
            FUZZ_CHECK(numbers.size() >= 4);
            quint32 ip = 0;
            for (int i = 0; i < 4; ++i)
                ip = (ip << 8) | numbers.at(i).toUInt();
            FUZZ_CHECK(ip == host.toIPv4Address());
        } else if (!text.trimmed().startsWith(QLatin1Char('['))) {
            FUZZ_CHECK(port == 5039);
        }
        if (!plainScope(host))
            return 0;
        QHostAddress again;
        quint16 againPort = 0;
        FUZZ_CHECK(PbxLinkSession::parseHostAndPort(joined(host, port), &again, &againPort));
        FUZZ_CHECK(again == host && againPort == port);
    }

    PDiscovery::Target target;
    if (PDiscovery::parseTarget(text, &target)) {
        FUZZ_CHECK(!target.address.isNull() && target.port != 0);
        if (!plainScope(target.address))
            return 0;
        PDiscovery::Target again;
        FUZZ_CHECK(PDiscovery::parseTarget(joined(target.address, target.port), &again));
        FUZZ_CHECK(again.address == target.address && again.port == target.port);
    }
    return 0;
}
