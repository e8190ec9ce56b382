#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>

#include <functional>

// Failed logins are remembered per address and account together: after a
// failure, that account's next login from that address is refused for a
// while, the wait doubling from a first one up to a ceiling. An address
// that fails across many accounts waits as a whole too. So a guesser is
// slowed down while the right password, from another address or after the
// wait, still gets in; a success forgets the account's failures there.
class LoginThrottle
{
public:
    // Monotonic milliseconds; the default is the system's steady clock.
    using Clock = std::function<qint64()>;

    static constexpr int MaxEntries = 4096;
    // Failures from one address, of any accounts, before it waits as a whole.
    static constexpr int AddressFreeFailures = 10;
    // Quiet this long, an entry starts again from the first wait.
    static constexpr qint64 ForgetAfterMs = 10 * 60 * 1000;

    LoginThrottle(int firstWaitMs, int maxWaitMs, Clock clock = {});

    // What stands for a peer: its IPv4 address, or the /64 of an IPv6 one,
    // which a single host may hold whole.
    static QString addressGroup(const QHostAddress &address);

    // How long a login of this account from this address must still wait;
    // 0 when it may go on.
    int waitMs(const QHostAddress &address, const QString &account) const;
    void failed(const QHostAddress &address, const QString &account);
    void succeeded(const QHostAddress &address, const QString &account);
    int size() const { return m_entries.size(); }

private:
    struct Entry
    {
        int failures = 0;
        qint64 lastFailure = 0;
    };
    int remainingMs(const QString &key, int freeFailures, qint64 now) const;
    void record(const QString &key, qint64 now);
    void makeRoom(qint64 now);

    const int m_firstWaitMs;
    const int m_maxWaitMs;
    Clock m_clock;
    // Keyed by the address group alone, and by group and account.
    QHash<QString, Entry> m_entries;
};
