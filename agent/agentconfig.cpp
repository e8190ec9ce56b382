#include "agentconfig.h"

#include "boundedfile.h"

#include "hepreceiver.h"

#include "pbxendpoint.h"
#include "pbxserver.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <utility>

namespace {
constexpr qint64 kMaxConfigBytes = 1024 * 1024;

bool parseBool(const QString &text, bool *value)
{
    const QString t = text.toLower();
    if (t == QLatin1String("yes") || t == QLatin1String("true") || t == QLatin1String("on") || t == QLatin1String("1")) {
        *value = true;
        return true;
    }
    if (t == QLatin1String("no") || t == QLatin1String("false") || t == QLatin1String("off") || t == QLatin1String("0")) {
        *value = false;
        return true;
    }
    return false;
}

QStringList parseList(const QString &text)
{
    QStringList items;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString item = part.trimmed();
        if (!item.isEmpty())
            items.append(item);
    }
    return items;
}
}

bool AgentConfig::parseTenant(const QString &text, PbxTenant *tenant)
{
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return false;
    const QString uuid = text.left(eq).trimmed();
    if (QUuid::fromString(uuid).isNull())
        return false;
    tenant->uuid = uuid;
    tenant->name = text.mid(eq + 1).trimmed();
    return true;
}

bool AgentConfig::readFile(const QString &path, QString *error)
{
    QByteArray text;
    const BoundedFile::Result result = BoundedFile::read(path, kMaxConfigBytes, BoundedFile::AnyKind, &text, error);
    if (result == BoundedFile::Missing)
        *error = QStringLiteral("cannot read %1: it does not exist").arg(path);
    if (result != BoundedFile::Read)
        return false;
    configFile = path;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    QString section;
    bool sourcesFromFile = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString where = QStringLiteral("%1:%2").arg(path).arg(i + 1);
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']'))) {
                *error = QStringLiteral("%1: a section name needs a closing ']'").arg(where);
                return false;
            }
            section = line.mid(1, line.size() - 2).trimmed().toLower();
            static const QStringList known{"agent", "log", "kamailio", "tenants", "login", "commands", "hep", "history"};
            if (!known.contains(section))
                warnings.append(QStringLiteral("%1: unknown section [%2]").arg(where, section));
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            *error = QStringLiteral("%1: expected \"key = value\"").arg(where);
            return false;
        }
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        auto bad = [&](const QString &what) {
            *error = QStringLiteral("%1: %2 needs %3, not \"%4\"").arg(where, key, what, value.left(200));
            return false;
        };
        auto number = [&](qint64 min, qint64 max, qint64 *out) {
            bool ok = false;
            const qint64 n = value.toLongLong(&ok);
            if (!ok || n < min || n > max)
                return false;
            *out = n;
            return true;
        };
        qint64 n = 0;
        if (section == QLatin1String("tenants")) {
            PbxTenant tenant;
            if (!parseTenant(key + QLatin1Char('=') + value, &tenant))
                return bad(QStringLiteral("a tenant UUID as its key"));
            tenants.append(tenant);
        } else if (section == QLatin1String("commands")) {
            commands.insert(key, value);
        } else if (section == QLatin1String("agent") && key == QLatin1String("listen")) {
            listen = parseList(value);
            QHostAddress host;
            quint16 port = 0;
            if (listen.isEmpty())
                return bad(QStringLiteral("one or more host:port"));
            for (const QString &address : qAsConst(listen)) {
                if (!PbxEndpoint::parseListen(address, &host, &port))
                    return bad(QStringLiteral("IP addresses with ports (e.g. 0.0.0.0:5039)"));
            }
        } else if (section == QLatin1String("agent") && key == QLatin1String("state_dir")) {
            stateDir = value;
        } else if (section == QLatin1String("agent") && key == QLatin1String("runtime_dir")) {
            runtimeDir = value;
        } else if (section == QLatin1String("agent") && key == QLatin1String("accounts")) {
            accountsFile = value;
        } else if (section == QLatin1String("agent") && key == QLatin1String("certificate")) {
            certificateFile = value;
        } else if (section == QLatin1String("agent") && key == QLatin1String("key")) {
            keyFile = value;
        } else if (section == QLatin1String("agent") && key == QLatin1String("max_clients")) {
            if (!number(1, 1000, &n))
                return bad(QStringLiteral("a whole number from 1 to 1000"));
            maxClients = int(n);
        } else if (section == QLatin1String("agent") && key == QLatin1String("max_sessions_per_account")) {
            if (!number(1, 1000, &n))
                return bad(QStringLiteral("a whole number from 1 to 1000"));
            maxSessionsPerAccount = int(n);
        } else if (section == QLatin1String("agent") && key == QLatin1String("max_unread_mib")) {
            if (!number(1, 4096, &n))
                return bad(QStringLiteral("a whole number of MiB from 1 to 4096"));
            maxUnreadBytes = n * 1024 * 1024;
        } else if (section == QLatin1String("agent") && key == QLatin1String("idle_timeout_s")) {
            if (!number(10, 24 * 3600, &n))
                return bad(QStringLiteral("a whole number of seconds from 10 to 86400"));
            idleTimeoutMs = int(n * 1000);
        } else if (section == QLatin1String("agent") && key == QLatin1String("discovery")) {
            if (!parseBool(value, &discovery))
                return bad(QStringLiteral("yes or no"));
        } else if (section == QLatin1String("agent") && key == QLatin1String("discovery_listen")) {
            QHostAddress host;
            quint16 port = 0;
            if (!PbxEndpoint::parseListen(value, &host, &port))
                return bad(QStringLiteral("an IP address with a port (e.g. 0.0.0.0:45454)"));
            discoveryListen = value;
        } else if (section == QLatin1String("log") && key == QLatin1String("source")) {
            if (value.isEmpty())
                return bad(QStringLiteral("a log source"));
            if (!std::exchange(sourcesFromFile, true))
                sources.clear();
            sources.append(value);
        } else if (section == QLatin1String("log") && key == QLatin1String("tenant_pattern")) {
            const QRegularExpression pattern(value);
            if (!value.isEmpty() && (!pattern.isValid() || pattern.captureCount() != 1))
                return bad(QStringLiteral("a regular expression with one group"));
            tenantPattern = value;
        } else if (section == QLatin1String("hep") && key == QLatin1String("listen")) {
            QHostAddress host;
            quint16 port = 0;
            if (!value.isEmpty() && !HepReceiver::parseAddress(value, &host, &port))
                return bad(QStringLiteral("an IP address with a port (e.g. 127.0.0.1:9060)"));
            hepListen = value;
        } else if (section == QLatin1String("hep") && key == QLatin1String("password")) {
            hepPassword = value;
        } else if (section == QLatin1String("history") && key == QLatin1String("enabled")) {
            if (!parseBool(value, &historyEnabled))
                return bad(QStringLiteral("yes or no"));
        } else if (section == QLatin1String("history") && key == QLatin1String("keep_days")) {
            if (!number(1, 3650, &n))
                return bad(QStringLiteral("a whole number of days from 1 to 3650"));
            historyKeepDays = int(n);
        } else if (section == QLatin1String("history") && key == QLatin1String("max_mib")) {
            if (!number(16, 1024 * 1024, &n))
                return bad(QStringLiteral("a whole number of MiB from 16 to 1048576"));
            historyMaxMib = n;
        } else if (section == QLatin1String("kamailio") && key == QLatin1String("rpc_socket")) {
            rpcSocket = value;
        } else if (section == QLatin1String("kamailio") && key == QLatin1String("tenants_from_rpc")) {
            if (!parseBool(value, &tenantsFromRpc))
                return bad(QStringLiteral("yes or no"));
        } else if (section == QLatin1String("login") && key == QLatin1String("domains")) {
            domains = parseList(value);
        } else if (section.isEmpty()) {
            *error = QStringLiteral("%1: \"%2\" stands before any [section]").arg(where, key);
            return false;
        } else {
            warnings.append(QStringLiteral("%1: unknown key \"%2\" in [%3], ignored").arg(where, key, section));
        }
    }
    return true;
}

QString AgentConfig::describe() const
{
    QStringList lines;
    lines << QStringLiteral("configuration: %1").arg(configFile.isEmpty() ? QStringLiteral("(none)") : configFile);
    for (const QString &address : listen)
        lines << QStringLiteral("listen: %1").arg(address);
    for (const QString &source : sources)
        lines << QStringLiteral("log source: %1").arg(source);
    if (!tenantPattern.isEmpty())
        lines << QStringLiteral("tenant pattern: %1").arg(tenantPattern);
    if (!hepListen.isEmpty())
        lines << QStringLiteral("HEP: %1%2").arg(hepListen, hepPassword.isEmpty() ? QString() : QStringLiteral(", with a capture password"));
    lines << QStringLiteral("accounts: %1").arg(accountsFile);
    lines << QStringLiteral("state folder: %1").arg(stateDir);
    lines << QStringLiteral("runtime folder: %1").arg(effectiveRuntimeDir());
    const QString certificate = certificateFile.isEmpty() ? stateDir + QStringLiteral("/certificate.pem") : certificateFile;
    lines << QStringLiteral("certificate: %1 (%2)")
                 .arg(certificate, QFileInfo::exists(certificate) ? QStringLiteral("exists")
                                   : certificateFile.isEmpty()    ? QStringLiteral("not yet: made on the first start")
                                                                  : QStringLiteral("missing"));
    lines << QStringLiteral("Kamailio control socket: %1").arg(rpcSocket);
    if (tenantsFromRpc)
        lines << QStringLiteral("tenants: from Kamailio's domain module, every 60 s");
    for (const PbxTenant &t : tenants)
        lines << QStringLiteral("tenant: %1 %2").arg(t.uuid, t.name);
    if (!tenantsFromRpc && tenants.isEmpty())
        lines << QStringLiteral("tenants: none");
    lines << QStringLiteral("login domains: %1")
                 .arg(domains.isEmpty() ? QStringLiteral("any (not checked)") : domains.join(QStringLiteral(", ")));
    for (auto it = commands.constBegin(); it != commands.constEnd(); ++it)
        lines << QStringLiteral("command \"%1\": %2").arg(it.key(), it.value());
    lines << QStringLiteral("clients: at most %1 logged in, %2 per account, each at most %3 MiB unread")
                 .arg(maxClients)
                 .arg(maxSessionsPerAccount)
                 .arg(maxUnreadBytes / (1024 * 1024));
    lines << QStringLiteral("discovery: %1").arg(discovery ? discoveryListen : QStringLiteral("off"));
    lines << (historyEnabled ? QStringLiteral("history: %1/history.sqlite, %2 days, at most %3 MiB")
                                   .arg(stateDir)
                                   .arg(historyKeepDays)
                                   .arg(historyMaxMib)
                             : QStringLiteral("history: off"));
    return lines.join(QLatin1Char('\n'));
}
