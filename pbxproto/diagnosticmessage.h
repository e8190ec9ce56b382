#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// One log line of the exchange, as the link delivers it.
struct DiagnosticMessage
{
    QString tenantUuid;
    QString linkedId;   // shared by every message of one call
    QString uniqueId;   // one per channel
    QString messageId;
    QString timestamp;
    QString verbosity;  // decimal level as text
    QString message;
    QStringList extraFields;
};

Q_DECLARE_METATYPE(DiagnosticMessage)
