#pragma once

#include "scram.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// The agent's accounts: for each name only a SCRAM-SHA-256 verifier (salt,
// iteration count, StoredKey, ServerKey), never a password. One account a
// line, "name:iterations:salt:storedKey:serverKey" with base64 values and the
// name percent-encoded.
class AccountStore
{
public:
    // Iterations of a new verifier: a guess from a stolen file costs this
    // many hashes; a login costs the client about 1.2 us each.
    static constexpr int NewIterations = 20000;

    // An absent file is an empty store; a file others may read or write, or
    // that belongs to someone but root or this user, is refused.
    bool load(const QString &path, QString *error);
    // Writes the whole store through a new file moved into place, keeping
    // an existing file's owner, group and mode (never readable by others).
    // A new file made by root goes to root and the group plogger4-agent,
    // 0640, when that group exists; otherwise it is its maker's alone.
    bool save(const QString &path, QString *error) const;

    void setPassword(const QString &name, const QString &password);
    // False when there was no such account.
    bool remove(const QString &name);
    // The accounts here that another store lacks or holds with another
    // verifier (a changed password): whose sessions a reload ends.
    QStringList changedIn(const AccountStore &newer) const;
    std::optional<Scram::Verifier> verifier(const QString &name) const;
    int count() const { return m_accounts.size(); }

private:
    QMap<QString, Scram::Verifier> m_accounts;
};
