#pragma once

#include "diagnosticmessage.h"

#include <QQueue>
#include <QRandomGenerator>
#include <QString>
#include <QVector>

// Produces a believable diagnostic log: whole synthetic calls (SIP
// dialogues, dialplan steps, media notes) interleaved with each other and
// with a few housekeeping lines. Every message of one call shares its
// linked id; each channel of the call has its own unique id.
class CallGenerator
{
public:
    explicit CallGenerator(quint32 seed = 0);

    // Calls and notices started from now on belong to this tenant ("" = none).
    void setTenant(const QString &tenantUuid);
    QString tenant() const { return m_tenant; }

    DiagnosticMessage next();

private:
    struct Call
    {
        QQueue<DiagnosticMessage> messages;
    };

    void startCall();
    DiagnosticMessage housekeeping();
    QString newId();
    QString hex(int digits);
    QString stamp() const;

    QRandomGenerator m_random;
    QString m_tenant;
    QVector<Call> m_calls;
    qint64 m_epoch;
    qint64 m_idCounter = 0;
    int m_channelCounter = 0;
    qint64 m_messageCounter = 0;
    int m_sinceHousekeeping = 0;
};
