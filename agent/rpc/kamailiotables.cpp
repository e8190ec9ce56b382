#include "kamailiotables.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <algorithm>

namespace KamailioTables {

namespace {

const int MaxCell = 80;
const int MaxUuid = 256;

QString cell(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    out = out.trimmed();
    if (out.size() > MaxCell) {
        int end = MaxCell - 3;
        if (out.at(end - 1).isHighSurrogate())
            --end;
        out = out.left(end) + QStringLiteral("...");
    }
    return out;
}

QString valueText(const QJsonValue &v)
{
    if (v.isString())
        return v.toString();
    if (v.isDouble()) {
        // A double past qint64's range has no integer to convert to.
        const double d = v.toDouble();
        if (d > -9.2e18 && d < 9.2e18)
            return QString::number(qint64(d));
        return QString::number(d, 'g', 6);
    }
    return QString();
}

qint64 number(const QJsonValue &v)
{
    const double d = v.isString() ? v.toString().toDouble() : v.toDouble();
    return d > -1e15 && d < 1e15 ? qint64(d) : 0;
}

QString sipUri(const QString &user)
{
    if (user.isEmpty() || user.startsWith(QLatin1String("sip:")) || user.startsWith(QLatin1String("sips:"))
        || user.startsWith(QLatin1String("tel:")))
        return user;
    return QStringLiteral("sip:") + user;
}

// usrloc without use_domain keeps only the user: say so, or "sip:bob" reads as a host.
QString aorText(const QString &aor)
{
    const QString uri = sipUri(aor);
    if (uri.isEmpty() || uri.contains(QLatin1Char('@')) || uri.startsWith(QLatin1String("tel:")))
        return uri;
    return uri + QStringLiteral(" (no domain)");
}

QString counted(qsizetype n, const QString &one, const QString &many)
{
    return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? one : many);
}

QString duration(qint64 seconds)
{
    if (seconds < 0)
        seconds = 0;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void appendContacts(const QString &aor, const QJsonArray &contacts, QVector<QStringList> *rows)
{
    for (const QJsonValue &entry : contacts) {
        QJsonObject c = entry.toObject();
        if (c.contains(QLatin1String("Contact")))
            c = c.value(QLatin1String("Contact")).toObject();
        rows->append({aorText(cell(aor)), cell(c.value(QLatin1String("Address")).toString()),
                      cell(valueText(c.value(QLatin1String("Expires")))),
                      cell(c.value(QLatin1String("User-Agent")).toString())});
    }
}

// The Info objects of an ul.dump, whatever its form.
QJsonArray infosOf(const QJsonValue &dump)
{
    QJsonArray infos;
    const QJsonArray domains = dump.toObject().value(QLatin1String("Domains")).toArray();
    for (const QJsonValue &d : domains) {
        const QJsonObject domain = d.toObject().value(QLatin1String("Domain")).toObject();
        const QString table = domain.value(QLatin1String("Domain")).toString();
        const QJsonArray aors = domain.value(QLatin1String("AoRs")).toArray();
        for (const QJsonValue &a : aors) {
            QJsonObject o = a.toObject();
            if (o.contains(QLatin1String("Info")))
                o = o.value(QLatin1String("Info")).toObject();
            o.insert(QStringLiteral("__table"), table);
            infos.append(o);
        }
    }
    return infos;
}

}

QString table(const QStringList &header, const QVector<QStringList> &rows)
{
    QVector<int> widths(header.size(), 0);
    for (int i = 0; i < header.size(); ++i)
        widths[i] = header.at(i).size();
    for (const QStringList &row : rows) {
        for (int i = 0; i < header.size() && i < row.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    }
    auto line = [&](const QStringList &cells) {
        QString out;
        for (int i = 0; i < header.size(); ++i) {
            const QString text = cells.value(i);
            out += i + 1 < header.size() ? text.leftJustified(widths[i] + 2) : text;
        }
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
        return out + QLatin1Char('\n');
    };
    QString out = line(header);
    for (const QStringList &row : rows)
        out += line(row);
    return out;
}

QList<QPair<QString, QString>> usrlocAors(const QJsonValue &briefDump)
{
    QList<QPair<QString, QString>> aors;
    const QJsonArray infos = infosOf(briefDump);
    for (const QJsonValue &v : infos) {
        const QJsonObject o = v.toObject();
        const QString aor = o.value(QLatin1String("AoR")).toString();
        const QString table = o.value(QLatin1String("__table")).toString();
        if (!aor.isEmpty() && !table.isEmpty())
            aors.append({table, aor});
    }
    std::sort(aors.begin(), aors.end(), [](const auto &a, const auto &b) {
        return a.second == b.second ? a.first < b.first : a.second < b.second;
    });
    return aors;
}

QVector<QStringList> contactRows(const QJsonValue &result)
{
    QVector<QStringList> rows;
    const QJsonObject o = result.toObject();
    if (o.contains(QLatin1String("Domains"))) {
        const QJsonArray infos = infosOf(result);
        for (const QJsonValue &v : infos) {
            const QJsonObject info = v.toObject();
            appendContacts(info.value(QLatin1String("AoR")).toString(),
                           info.value(QLatin1String("Contacts")).toArray(), &rows);
        }
        std::stable_sort(rows.begin(), rows.end(), [](const QStringList &a, const QStringList &b) { return a.at(0) < b.at(0); });
    } else {
        appendContacts(o.value(QLatin1String("AoR")).toString(), o.value(QLatin1String("Contacts")).toArray(), &rows);
    }
    return rows;
}

QString peersTable(const QVector<QStringList> &rows)
{
    QStringList aors;
    for (const QStringList &row : rows)
        aors.append(row.value(0));
    aors.removeDuplicates();
    return table({QStringLiteral("Address of record"), QStringLiteral("Contact"), QStringLiteral("Expires"),
                  QStringLiteral("User agent")},
                 rows)
        + counted(rows.size(), QStringLiteral("contact"), QStringLiteral("contacts")) + QStringLiteral(" of ")
        + counted(aors.size(), QStringLiteral("address of record"), QStringLiteral("addresses of record"));
}

QString dialogState(int state)
{
    switch (state) {
    case 1: return QStringLiteral("Trying");
    case 2: return QStringLiteral("Early");
    case 3: return QStringLiteral("Answered");
    case 4: return QStringLiteral("Up");
    case 5: return QStringLiteral("Ended");
    default: return QStringLiteral("State %1").arg(state);
    }
}

QString hintsTable(const QJsonValue &dialogs, qint64 now)
{
    QVector<QStringList> rows;
    const QJsonArray list = dialogs.toArray();
    for (const QJsonValue &v : list) {
        const QJsonObject d = v.toObject();
        const int state = int(number(d.value(QLatin1String("state"))));
        if (state == 5)
            continue;  // ended: Kamailio keeps it a while
        const qint64 start = number(d.value(QLatin1String("start_ts")));
        rows.append({cell(d.value(QLatin1String("from_uri")).toString()),
                     cell(d.value(QLatin1String("to_uri")).toString()), dialogState(state),
                     start > 0 ? duration(now - start) : QStringLiteral("-"),
                     cell(d.value(QLatin1String("call-id")).toString())});
    }
    return table({QStringLiteral("Caller"), QStringLiteral("Callee"), QStringLiteral("State"),
                  QStringLiteral("Duration"), QStringLiteral("Call-ID")},
                 rows)
        + counted(rows.size(), QStringLiteral("call"), QStringLiteral("calls"));
}

QString registryTable(const QJsonValue &registrations)
{
    QVector<QStringList> rows;
    const QJsonArray list = registrations.toArray();
    for (const QJsonValue &v : list) {
        const QJsonObject r = v.toObject();
        const int flags = int(number(r.value(QLatin1String("flags"))));
        // uac's flags: 1 disabled, 2 sending, 4 registered, 8 sent with credentials.
        const QString state = flags & 1   ? QStringLiteral("Disabled")
                              : flags & 4 ? QStringLiteral("Registered")
                              : flags & 8 ? QStringLiteral("Auth Sent")
                              : flags & 2 ? QStringLiteral("Request Sent")
                                          : QStringLiteral("Unregistered");
        const QString remote = r.value(QLatin1String("r_username")).toString() + QLatin1Char('@')
            + r.value(QLatin1String("r_domain")).toString();
        const QString local = r.value(QLatin1String("l_username")).toString() + QLatin1Char('@')
            + r.value(QLatin1String("l_domain")).toString();
        rows.append({sipUri(cell(remote)), cell(r.value(QLatin1String("auth_proxy")).toString()), sipUri(cell(local)),
                     cell(valueText(r.value(QLatin1String("expires")))), state});
    }
    return table({QStringLiteral("Remote user"), QStringLiteral("Proxy"), QStringLiteral("Local user"),
                  QStringLiteral("Expires"), QStringLiteral("State")},
                 rows)
        + QStringLiteral("%1 registrations").arg(rows.size());
}

QVector<PbxTenant> tenants(const QJsonValue &domainDump)
{
    QMap<QString, QStringList> byDid;
    const QJsonArray domains = domainDump.toObject().value(QLatin1String("domains")).toArray();
    for (const QJsonValue &v : domains) {
        const QJsonObject d = v.toObject();
        const QString did = d.value(QLatin1String("did")).toString().trimmed();
        const QString domain = cell(d.value(QLatin1String("domain")).toString());
        if (did.isEmpty() || did.size() > MaxUuid || domain.isEmpty())
            continue;
        byDid[did].append(domain);
    }
    QVector<PbxTenant> out;
    for (auto it = byDid.begin(); it != byDid.end(); ++it) {
        QStringList names = it.value();
        names.sort();
        names.removeDuplicates();
        out.append({it.key(), names.join(QStringLiteral(", "))});
    }
    std::sort(out.begin(), out.end(), [](const PbxTenant &a, const PbxTenant &b) {
        return a.name == b.name ? a.uuid < b.uuid : a.name < b.name;
    });
    return out;
}

QString plain(const QJsonValue &result)
{
    if (result.isString())
        return result.toString();
    if (result.isArray()) {
        const QJsonArray list = result.toArray();
        QStringList lines;
        for (const QJsonValue &v : list) {
            if (!v.isString())
                return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented));
            lines.append(v.toString());
        }
        return lines.join(QLatin1Char('\n'));
    }
    if (result.isObject())
        return QString::fromUtf8(QJsonDocument(result.toObject()).toJson(QJsonDocument::Indented));
    if (result.isDouble() || result.isBool())
        return QString::fromUtf8(QJsonDocument(QJsonArray{result}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    return QString();
}

}
