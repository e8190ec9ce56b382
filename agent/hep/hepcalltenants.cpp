#include "hepcalltenants.h"

#include "pbxprotocol.h"

#include <QVector>

HepCallTenants::HepCallTenants(int maxCalls, qint64 maxAgeMs)
    : m_maxCalls(qMax(1, maxCalls))
    , m_maxAgeMs(maxAgeMs)
{
}

void HepCallTenants::setDomains(const QHash<QString, QString> &domains)
{
    m_domains.clear();
    for (auto it = domains.constBegin(); it != domains.constEnd(); ++it)
        m_domains.insert(it.key().toLower(), it.value());
}

QHash<QString, QString> HepCallTenants::domainsOf(const QVector<PbxTenant> &tenants)
{
    QHash<QString, QString> domains;
    for (const PbxTenant &tenant : tenants) {
        for (const QString &domain : tenant.name.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString d = domain.trimmed().toLower();
            if (!d.isEmpty() && !d.contains(QLatin1Char(' ')))
                domains.insert(d, tenant.uuid);
        }
    }
    return domains;
}

QString HepCallTenants::tenantOfDomain(const SipSummary &sip) const
{
    for (const QString *domain : {&sip.requestUriDomain, &sip.toDomain, &sip.fromDomain}) {
        if (domain->isEmpty())
            continue;
        const auto it = m_domains.constFind(*domain);
        if (it != m_domains.constEnd())
            return it.value();
    }
    return QString();
}

QString HepCallTenants::tenantFor(const SipSummary &sip, qint64 nowMs)
{
    if (sip.callId.isEmpty())
        return tenantOfDomain(sip);
    // Remembered as rows carry it, cut to a log record's bound, where it is
    // looked up; that also bounds what one call costs.
    const QString callId = PbxProtocol::boundedLogMember(sip.callId);
    forgetOld(nowMs);
    auto it = m_calls.find(callId);
    if (it != m_calls.end()) {
        touch(callId, &it.value(), nowMs);
        return it->tenant;
    }
    const QString tenant = tenantOfDomain(sip);
    if (tenant.isEmpty())
        return tenant;
    Call call;
    call.tenant = tenant;
    it = m_calls.insert(callId, call);
    touch(callId, &it.value(), nowMs);
    forgetOld(nowMs);
    return tenant;
}

QString HepCallTenants::tenantOf(const QString &callId, qint64 nowMs)
{
    if (callId.isEmpty() || m_calls.isEmpty())
        return QString();
    forgetOld(nowMs);
    auto it = m_calls.find(callId);
    if (it == m_calls.end())
        return QString();
    touch(callId, &it.value(), nowMs);
    return it->tenant;
}

void HepCallTenants::touch(const QString &callId, Call *call, qint64 nowMs)
{
    // Sightings within one millisecond share one entry.
    if (call->listed && call->seenMs == nowMs)
        return;
    call->listed = true;
    call->seenMs = nowMs;
    m_order.emplace_back(callId, nowMs);
    // Stale sightings of busy calls must not pile up.
    if (m_order.size() > size_t(4 * m_calls.size() + 64)) {
        std::deque<std::pair<QString, qint64>> live;
        for (auto &entry : m_order) {
            const auto c = m_calls.constFind(entry.first);
            if (c != m_calls.constEnd() && c->seenMs == entry.second)
                live.push_back(std::move(entry));
        }
        m_order.swap(live);
    }
}

void HepCallTenants::forgetOld(qint64 nowMs)
{
    while (!m_order.empty()) {
        const auto &front = m_order.front();
        const auto it = m_calls.find(front.first);
        const bool stale = it == m_calls.end() || it->seenMs != front.second;
        if (!stale) {
            if (m_calls.size() <= m_maxCalls && nowMs - front.second <= m_maxAgeMs)
                break;
            m_calls.erase(it);
        }
        m_order.pop_front();
    }
}
