#include "loginthrottle.h"

namespace {
constexpr int kMaxEntries = 4096;
// An address quiet this long starts again from the first delay.
constexpr qint64 kForgetAfterMs = 15 * 60 * 1000;
}

LoginThrottle::LoginThrottle(int firstDelayMs, int maxDelayMs)
    : m_firstDelayMs(qMax(0, firstDelayMs))
    , m_maxDelayMs(qMax(m_firstDelayMs, maxDelayMs))
{
}

int LoginThrottle::currentDelay(const QHostAddress &address) const
{
    const auto it = m_entries.constFind(address);
    if (it == m_entries.constEnd())
        return m_entries.size() >= kMaxEntries ? m_maxDelayMs : 0;
    return it->lastFailure.elapsed() > kForgetAfterMs ? 0 : it->delayMs;
}

int LoginThrottle::failed(const QHostAddress &address)
{
    if (m_entries.size() >= kMaxEntries)
        forgetStale();
    if (m_entries.size() >= kMaxEntries && !m_entries.contains(address))
        return m_maxDelayMs;  // under a flood of addresses, everyone waits long
    Entry &entry = m_entries[address];
    if (entry.lastFailure.isValid() && entry.lastFailure.elapsed() > kForgetAfterMs)
        entry.delayMs = 0;
    entry.delayMs = entry.delayMs == 0 ? m_firstDelayMs : qMin(m_maxDelayMs, entry.delayMs * 2);
    entry.lastFailure.start();
    return entry.delayMs;
}

void LoginThrottle::succeeded(const QHostAddress &address)
{
    m_entries.remove(address);
}

void LoginThrottle::forgetStale()
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->lastFailure.elapsed() > kForgetAfterMs)
            it = m_entries.erase(it);
        else
            ++it;
    }
}
