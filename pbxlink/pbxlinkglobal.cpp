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
