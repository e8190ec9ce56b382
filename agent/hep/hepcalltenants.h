#pragma once

#include "pbxtenant.h"
#include "sipsummary.h"

#include <QHash>
#include <QVector>
#include <QString>

#include <deque>

// Which tenant each call belongs to. The first SIP message of a call whose
// Request-URI domain (else To's, else From's) is a tenant's domain decides
// it; the later messages and log lines of that Call-ID carry it too, also the
// in-dialog requests sent to a contact address that names no domain. Bounded
// in calls and age; the least recently seen call is forgotten first.
class HepCallTenants
{
public:
    static constexpr int DefaultMaxCalls = 100000;
    static constexpr qint64 DefaultMaxAgeMs = 60 * 60 * 1000;

    explicit HepCallTenants(int maxCalls = DefaultMaxCalls, qint64 maxAgeMs = DefaultMaxAgeMs);

    // Lower-case domain -> tenant UUID.
    void setDomains(const QHash<QString, QString> &domains);
    // The domains of tenants whose names are ", "-joined domains, as the
    // agent's tenants from Kamailio's domain table are.
    static QHash<QString, QString> domainsOf(const QVector<PbxTenant> &tenants);

    // The tenant of a SIP message's call, deciding it when still open; empty
    // when none is known. nowMs is the time it is seen. A long Call-ID is
    // remembered cut as a record's linkedId is (PbxProtocol::boundLogMembers).
    QString tenantFor(const SipSummary &sip, qint64 nowMs);
    // The tenant decided for a call, empty when none; counts as seeing it.
    QString tenantOf(const QString &callId, qint64 nowMs);

    int size() const { return m_calls.size(); }

private:
    struct Call
    {
        QString tenant;
        qint64 seenMs = 0;
        bool listed = false;
    };

    QString tenantOfDomain(const SipSummary &sip) const;
    void touch(const QString &callId, Call *call, qint64 nowMs);
    void forgetOld(qint64 nowMs);

    int m_maxCalls;
    qint64 m_maxAgeMs;
    QHash<QString, QString> m_domains;
    QHash<QString, Call> m_calls;
    // Every sighting in time order; one whose time is no longer its call's
    // is stale and skipped.
    std::deque<std::pair<QString, qint64>> m_order;
};
