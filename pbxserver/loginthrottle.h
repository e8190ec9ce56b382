#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

// Failed logins from one address are answered later each time, from a first
// delay doubling up to a ceiling, so that guessing passwords over the link
// is slow; a success from the address forgets its failures.
class LoginThrottle
{
public:
    LoginThrottle(int firstDelayMs, int maxDelayMs);

    // The wait before an answer to this address's next login.
    int currentDelay(const QHostAddress &address) const;
    // Records a failure; the delay the next login from there waits.
    int failed(const QHostAddress &address);
    void succeeded(const QHostAddress &address);

private:
    struct Entry
    {
        int delayMs = 0;
        QElapsedTimer lastFailure;
    };
    void forgetStale();

    const int m_firstDelayMs;
    const int m_maxDelayMs;
    // Bounded: a flood of addresses must not grow it without end.
    QHash<QHostAddress, Entry> m_entries;
};
