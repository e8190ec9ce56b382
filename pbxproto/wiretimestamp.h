#pragma once

#include <QString>

#include <limits>

class QDateTime;

// The one time format on the link: local time to the millisecond,
// "yyyy-MM-dd HH:mm:ss.zzz". Formatting a local time is slow, so an object
// formats each second once and writes the milliseconds into a copy: keep one
// where many records are stamped.
class WireTimestamp
{
public:
    static QString format(const QDateTime &when);
    static QString now();

    // The same text as format(), cached.
    QString at(qint64 msecsSinceEpoch);
    QString current();

private:
    qint64 m_second = std::numeric_limits<qint64>::min();
    QString m_secondText;
    qint64 m_msecs = std::numeric_limits<qint64>::min();
    QString m_text;
};
