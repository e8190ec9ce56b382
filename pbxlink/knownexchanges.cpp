#include "knownexchanges.h"

#include <QDir>
#include <QHostAddress>
#include <QSettings>

namespace {
const QString kGroup = QStringLiteral("KnownExchanges");
}

KnownExchanges::KnownExchanges(const QString &dataDir)
    : m_fileName(QDir(dataDir).filePath(QStringLiteral("plogger.ini")))
{
}

std::optional<QString> KnownExchanges::fingerprint(const QString &address) const
{
    QSettings settings(m_fileName, QSettings::IniFormat);
    settings.beginGroup(kGroup);
    const QString pin = settings.value(address).toString();
    if (settings.status() != QSettings::NoError)
        return std::nullopt;
    return pin;
}

bool KnownExchanges::remember(const QString &address, const QString &fingerprint)
{
    QDir().mkpath(QFileInfo(m_fileName).absolutePath());
    QSettings settings(m_fileName, QSettings::IniFormat);
    settings.beginGroup(kGroup);
    settings.setValue(address, fingerprint);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QString KnownExchanges::fileEntry(const QString &address)
{
    // The escaping QSettings applies to keys in an INI file.
    QString entry;
    for (const QChar c : address) {
        const ushort u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '-'
            || u == '.')
            entry += c;
        else if (u < 0x100)
            entry += QStringLiteral("%%1").arg(u, 2, 16, QLatin1Char('0')).toUpper();
        else
            entry += QStringLiteral("%U%1").arg(u, 4, 16, QLatin1Char('0')).toUpper();
    }
    return entry + QLatin1Char('=');
}

QString KnownExchanges::addressKey(const QHostAddress &host, quint16 port)
{
    const QString text = host.toString();
    return host.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2").arg(text).arg(port)
                                                            : QStringLiteral("%1:%2").arg(text).arg(port);
}
