#include "pbxemulatorbackend.h"

#include <QDateTime>
#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>

namespace {
QString framed(const QString &body)
{
    return QStringLiteral("Response: Follows\nPrivilege: Command\n") + body + QStringLiteral("\n--END COMMAND--");
}

// A name or an address; anything else is "not found", as a resolver would say.
bool plausibleHost(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$"));
    return QHostAddress(text).protocol() != QAbstractSocket::UnknownNetworkLayerProtocol || name.match(text).hasMatch();
}

// The emulator resolves nothing: names get a stable documentation address.
QString addressFor(const QString &host)
{
    if (QHostAddress(host).protocol() != QAbstractSocket::UnknownNetworkLayerProtocol)
        return host;
    return QStringLiteral("203.0.113.%1").arg(10 + qHash(host.toLower()) % 200);
}
}

PbxEmulatorBackend::PbxEmulatorBackend(const PbxEmulatorConfig &config)
    : m_config(config)
{
}

std::optional<Scram::Verifier> PbxEmulatorBackend::verifier(const QString &user, const QString &domain) const
{
    const auto account = m_config.accounts.constFind(qMakePair(user, domain));
    if (account == m_config.accounts.constEnd())
        return std::nullopt;
    return account.value();
}

QVector<PbxTenant> PbxEmulatorBackend::tenants() const
{
    return m_config.tenants;
}

void PbxEmulatorBackend::runCommand(const ServerCommand &command, const PbxCommandOrigin &, CommandDone done)
{
    ServerCommandResponse response;
    answer(command.command, command.params, &response.executed, &response.code, &response.detail, &response.output);
    done(response);
}

void PbxEmulatorBackend::answer(const QString &command, const QStringList &params, bool *executed, int *code,
                                QString *detail, QString *output)
{
    const QString param = params.value(0);
    *executed = true;
    *code = 0;
    detail->clear();

    if (command == QLatin1String("sip show peers")) {
        *output = framed(QStringLiteral(
            "Name/username        Host              Dyn Port   Status        Description\n"
            "201/201              192.0.2.21         D  5060   OK (12 ms)    Zoë Martelli\n"
            "202/202              192.0.2.22         D  5060   OK (9 ms)     Nicolò Ferraris\n"
            "203/203              (Unspecified)      D  0      UNREACHABLE   Front desk\n"
            "204/204              192.0.2.24         D  5060   OK (31 ms)    Łucja Nowicka\n"
            "trunk-main/3904417   198.51.100.7          5060   OK (23 ms)    Main trunk\n"
            "5 sip peers [Monitored: 4 online, 1 offline]"));
    } else if (command == QLatin1String("sip show registry")) {
        const QString when = QDateTime::currentDateTime().addSecs(-95).toString(QStringLiteral("ddd, d MMM yyyy HH:mm:ss"));
        *output = framed(QStringLiteral(
            "Host                    Username       Refresh  State              Reg.Time\n"
            "198.51.100.7:5060       3904417            105  Registered         %1\n"
            "203.0.113.40:5060       backup-line        120  Request Sent\n"
            "2 SIP registrations.").arg(when));
    } else if (command == QLatin1String("core show hints")) {
        *output = framed(QStringLiteral(
            "    -= Registered Hints =-\n"
            "   201@from-internal   : SIP/201    State:Idle          Watchers  2\n"
            "   202@from-internal   : SIP/202    State:InUse         Watchers  1\n"
            "   203@from-internal   : SIP/203    State:Unavailable   Watchers  0\n"
            "   204@from-internal   : SIP/204    State:Ringing       Watchers  1\n"
            "----------------\n"
            "- 4 hints registered"));
    } else if (command == QLatin1String("ping")) {
        if (param.isEmpty()) {
            *code = 2;
            *output = QStringLiteral("ping: usage error: destination address required\n");
        } else if (!plausibleHost(param)) {
            *code = 2;
            *output = QStringLiteral("ping: %1: Name or service not known\n").arg(param.left(255));
        } else {
            const QString address = addressFor(param);
            const uint h = qHash(param);
            QString text = QStringLiteral("PING %1 (%2) 56(84) bytes of data.\n").arg(param, address);
            for (int i = 1; i <= 4; ++i)
                text += QStringLiteral("64 bytes from %1: icmp_seq=%2 ttl=64 time=%3 ms\n")
                            .arg(address)
                            .arg(i)
                            .arg(0.3 + ((h >> (i * 3)) % 40) / 100.0, 0, 'f', 3);
            text += QStringLiteral("\n--- %1 ping statistics ---\n"
                                   "4 packets transmitted, 4 received, 0% packet loss, time 3004ms\n")
                        .arg(param);
            text += QStringLiteral("rtt min/avg/max/mdev = 0.301/0.482/0.689/0.121 ms\n");
            *output = text;
        }
    } else if (command == QLatin1String("traceroute")) {
        if (param.isEmpty()) {
            *code = 2;
            *output = QStringLiteral("Usage: traceroute host [packetlen]\n");
        } else if (!plausibleHost(param)) {
            *code = 2;
            *output = QStringLiteral("%1: Name or service not known\nCannot handle \"host\" cmdline arg `%1' on position 1 (argc 1)\n")
                          .arg(param.left(255));
        } else {
            const QString address = addressFor(param);
            *output = QStringLiteral("traceroute to %1 (%2), 30 hops max, 60 byte packets\n"
                                     " 1  192.0.2.254 (192.0.2.254)  0.512 ms  0.488 ms  0.471 ms\n"
                                     " 2  198.51.100.1 (198.51.100.1)  3.912 ms  3.877 ms  4.010 ms\n"
                                     " 3  %2 (%2)  9.102 ms  9.087 ms  9.244 ms\n")
                          .arg(param, address);
        }
    } else if (command == QLatin1String("host")) {
        const QHostAddress literal(param);
        if (param.isEmpty()) {
            *code = 1;
            *output = QStringLiteral("Usage: host [-aCdilrTvVw] hostname [server]\n");
        } else if (literal.protocol() == QAbstractSocket::IPv4Protocol) {
            const QStringList octets = param.split(QLatin1Char('.'));
            QStringList reversed = octets;
            std::reverse(reversed.begin(), reversed.end());
            *output = QStringLiteral("%1.in-addr.arpa domain name pointer host-%2.demo.invalid.\n")
                          .arg(reversed.join(QLatin1Char('.')), octets.join(QLatin1Char('-')));
        } else if (literal.protocol() == QAbstractSocket::IPv6Protocol) {
            *output = QStringLiteral("Host %1 not found: 3(NXDOMAIN)\n").arg(param);
            *code = 1;
        } else if (!plausibleHost(param)) {
            *code = 1;
            *output = QStringLiteral("Host %1 not found: 3(NXDOMAIN)\n").arg(param.left(255));
        } else {
            *output = QStringLiteral("%1 has address %2\n").arg(param, addressFor(param));
        }
    } else {
        *executed = false;
        *code = 127;
        *detail = QStringLiteral("unknown command");
        *output = QStringLiteral("No such command '%1'\n").arg(command.left(255));
    }
}
