#include "pbxlinkglobal.h"

#include "diagnosticmessage.h"
#include "historycall.h"
#include "logindetails.h"
#include "servercommand.h"
#include "servercommandresponse.h"

#include <QRegularExpression>
#include <QStringList>
#include <QVector>

namespace {
QVector<qlonglong> numericComponents(const QString &version)
{
    static const QRegularExpression leadingDigits(QStringLiteral("^\\s*(\\d+)"));
    QVector<qlonglong> parts;
    const QStringList texts = version.split(QLatin1Char('.'));
    for (const QString &text : texts) {
        const QRegularExpressionMatch m = leadingDigits.match(text);
        bool ok = false;
        // Saturate absurdly long components rather than wrapping them to 0.
        const qlonglong value = m.hasMatch() ? m.captured(1).left(18).toLongLong(&ok) : 0;
        parts.append(ok ? value : 0);
    }
    while (!parts.isEmpty() && parts.constLast() == 0)
        parts.removeLast();
    return parts;
}
}

namespace PBXLINK {

int compareVersions(const QString &a, const QString &b)
{
    const QVector<qlonglong> pa = numericComponents(a);
    const QVector<qlonglong> pb = numericComponents(b);
    const int n = qMax(pa.size(), pb.size());
    for (int i = 0; i < n; ++i) {
        const qlonglong x = i < pa.size() ? pa.at(i) : 0;
        const qlonglong y = i < pb.size() ? pb.at(i) : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool parseHostAddress(const QString &text, QHostAddress *address)
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

void registerMetaTypes()
{
    qRegisterMetaType<DiagnosticMessage>("DiagnosticMessage");
    qRegisterMetaType<ServerCommandResponse>("ServerCommandResponse");
    qRegisterMetaType<ServerCommand>("ServerCommand");
    qRegisterMetaType<LoginDetails>("LoginDetails");
    qRegisterMetaType<QMap<QString, QString>>("QMap<QString,QString>");
    qRegisterMetaType<QVector<HistoryCall>>("QVector<HistoryCall>");
    qRegisterMetaType<QVector<DiagnosticMessage>>("QVector<DiagnosticMessage>");
}

}
