#include "loginthrottle.h"

#include <QElapsedTimer>

#include <algorithm>
#include <vector>

namespace {
qint64 steadyMs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

QString pairKey(const QHostAddress &address, const QString &account)
{
    return LoginThrottle::addressGroup(address) + QLatin1Char('\n') + account;
}
}

LoginThrottle::LoginThrottle(int firstWaitMs, int maxWaitMs, Clock clock)
    : m_firstWaitMs(qMax(0, firstWaitMs))
    , m_maxWaitMs(qMax(m_firstWaitMs, maxWaitMs))
    , m_clock(clock ? std::move(clock) : Clock(steadyMs))
{
}

QString LoginThrottle::addressGroup(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ipv4 = address.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ipv4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

int LoginThrottle::remainingMs(const QString &key, int freeFailures, qint64 now) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.constEnd() || it->failures <= freeFailures || now - it->lastFailure > ForgetAfterMs)
        return 0;
    const int doublings = qMin(it->failures - freeFailures - 1, 20);
    const qint64 wait = qMin(qint64(m_maxWaitMs), qint64(m_firstWaitMs) << doublings);
    // A clock that went back never makes the wait longer than it was.
    return int(qBound(qint64(0), it->lastFailure + wait - now, wait));
}

int LoginThrottle::waitMs(const QHostAddress &address, const QString &account) const
{
    const qint64 now = m_clock();
    return qMax(remainingMs(pairKey(address, account), 0, now),
                remainingMs(addressGroup(address), AddressFreeFailures, now));
}

void LoginThrottle::record(const QString &key, qint64 now)
{
    if (!m_entries.contains(key) && m_entries.size() >= MaxEntries)
        makeRoom(now);
    Entry &entry = m_entries[key];
    if (now - entry.lastFailure > ForgetAfterMs)
        entry.failures = 0;
    entry.failures = qMin(entry.failures + 1, 1000);
    entry.lastFailure = now;
}

void LoginThrottle::failed(const QHostAddress &address, const QString &account)
{
    const qint64 now = m_clock();
    record(pairKey(address, account), now);
    record(addressGroup(address), now);
}

void LoginThrottle::succeeded(const QHostAddress &address, const QString &account)
{
    m_entries.remove(pairKey(address, account));
}

// A flood of addresses pushes out the oldest entries rather than making
// every newcomer wait: the newest failures are the ones that matter.
void LoginThrottle::makeRoom(qint64 now)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (now - it->lastFailure > ForgetAfterMs)
            it = m_entries.erase(it);
        else
            ++it;
    }
    if (m_entries.size() < MaxEntries)
        return;
    std::vector<qint64> times;
    times.reserve(size_t(m_entries.size()));
    for (const Entry &e : qAsConst(m_entries))
        times.push_back(e.lastFailure);
    // A quarter at once, so that a flood does not pay for a scan per entry.
    const auto cut = times.begin() + times.size() / 4;
    std::nth_element(times.begin(), cut, times.end());
    const qint64 before = *cut;
    for (auto it = m_entries.begin(); it != m_entries.end() && m_entries.size() >= MaxEntries * 3 / 4;) {
        if (it->lastFailure <= before)
            it = m_entries.erase(it);
        else
            ++it;
    }
}
