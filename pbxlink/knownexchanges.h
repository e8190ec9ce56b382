#pragma once

#include <QString>

#include <optional>

class QHostAddress;

// The exchanges the user chose to trust, as SSH keeps known hosts: address
// to certificate fingerprint, in the [KnownExchanges] group of plogger.ini
// in the data directory.
class KnownExchanges
{
public:
    explicit KnownExchanges(const QString &dataDir);

    // "" when the address has no pin; nullopt when the file cannot be read,
    // which must not pass for "no pin".
    std::optional<QString> fingerprint(const QString &address) const;
    bool remember(const QString &address, const QString &fingerprint);

    QString fileName() const { return m_fileName; }
    // How the address's line begins in the file ("127.0.0.1%3A5039="), for
    // telling the user which line to remove.
    static QString fileEntry(const QString &address);

    // "127.0.0.1:5039", "[::1]:5039": one spelling per endpoint.
    static QString addressKey(const QHostAddress &host, quint16 port);

private:
    QString m_fileName;
};
