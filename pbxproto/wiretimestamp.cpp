#include "wiretimestamp.h"

#include <QDateTime>

namespace {
const QString kFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
constexpr int kFormattedLength = 23;
constexpr int kMillisecondsAt = 20;
}

QString WireTimestamp::format(const QDateTime &when)
{
    return when.toString(kFormat);
}

QString WireTimestamp::now()
{
    return format(QDateTime::currentDateTime());
}

QString WireTimestamp::current()
{
    return at(QDateTime::currentMSecsSinceEpoch());
}

QString WireTimestamp::at(qint64 msecsSinceEpoch)
{
    if (msecsSinceEpoch == m_msecs)
        return m_text;
    // Floor, so that times before 1970 keep their second.
    const qint64 second = msecsSinceEpoch >= 0 ? msecsSinceEpoch / 1000 : (msecsSinceEpoch - 999) / 1000;
    if (second != m_second) {
        m_second = second;
        m_secondText = format(QDateTime::fromMSecsSinceEpoch(second * 1000));
    }
    QString text = m_secondText;
    // A year past 9999 formats longer; it keeps the second's milliseconds.
    if (text.size() == kFormattedLength) {
        const int milli = int(msecsSinceEpoch - second * 1000);
        QChar *digits = text.data() + kMillisecondsAt;
        digits[0] = QLatin1Char(char('0' + milli / 100));
        digits[1] = QLatin1Char(char('0' + milli / 10 % 10));
        digits[2] = QLatin1Char(char('0' + milli % 10));
    }
    m_msecs = msecsSinceEpoch;
    m_text = text;
    return text;
}
