#include "accountstore.h"

#include "boundedfile.h"

#include <QFile>
#include <QSaveFile>
#include <QUrl>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr qint64 kMaxFileBytes = 1024 * 1024;

QByteArray fromBase64(const QByteArray &text, bool *ok)
{
    const QByteArray::FromBase64Result r = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    *ok = *ok && bool(r);
    return r.decoded;
}
}

bool AccountStore::load(const QString &path, QString *error)
{
    m_accounts.clear();
    // Checked on what was opened, so that the name cannot be swapped between
    // the check and the read; a pipe in its place cannot hold a start.
    QByteArray text;
    struct stat st {};
    switch (BoundedFile::read(path, kMaxFileBytes, BoundedFile::RegularOnly, &text, error, &st)) {
    case BoundedFile::Missing:
        return true;
    case BoundedFile::Failed:
        return false;
    case BoundedFile::Read:
        break;
    }
    if (st.st_mode & (S_IROTH | S_IWOTH)) {
        *error = QStringLiteral("%1 is readable or writable by every user: make it 0640 or 0600 (chmod o-rwx)").arg(path);
        return false;
    }
    // Whoever owns it can add an account for themselves.
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 belongs to user %2, neither root nor this user").arg(path).arg(st.st_uid);
        return false;
    }
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> parts = line.split(':');
        bool ok = parts.size() == 5;
        Scram::Verifier v;
        const QString name = ok ? QUrl::fromPercentEncoding(parts.at(0)) : QString();
        v.iterations = ok ? parts.at(1).toInt(&ok) : 0;
        if (ok) {
            v.salt = fromBase64(parts.at(2), &ok);
            v.storedKey = fromBase64(parts.at(3), &ok);
            v.serverKey = fromBase64(parts.at(4), &ok);
        }
        ok = ok && !name.isEmpty() && v.iterations >= Scram::MinIterations && v.iterations <= Scram::MaxIterations
            && !v.salt.isEmpty() && v.storedKey.size() == Scram::KeyLength && v.serverKey.size() == Scram::KeyLength;
        if (!ok) {
            *error = QStringLiteral("%1:%2: not an account line (name:iterations:salt:storedKey:serverKey)")
                         .arg(path)
                         .arg(i + 1);
            return false;
        }
        m_accounts.insert(name, v);
    }
    return true;
}

bool AccountStore::save(const QString &path, QString *error) const
{
    struct stat old {};
    const bool existed = ::stat(QFile::encodeName(path).constData(), &old) == 0;
    // The new file is private from its first byte; it gets the old one's
    // owner, group and mode (less anything for others) before it moves in.
    const mode_t oldMask = ::umask(077);
    QSaveFile file(path);
    const bool opened = file.open(QIODevice::WriteOnly);
    ::umask(oldMask);
    if (!opened) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray text = "# plogger4-agent accounts: name:iterations:salt:storedKey:serverKey (SCRAM-SHA-256)\n";
    for (auto it = m_accounts.constBegin(); it != m_accounts.constEnd(); ++it) {
        const Scram::Verifier &v = it.value();
        text += QUrl::toPercentEncoding(it.key(), "@.-_") + ':' + QByteArray::number(v.iterations) + ':'
            + v.salt.toBase64() + ':' + v.storedKey.toBase64() + ':' + v.serverKey.toBase64() + '\n';
    }
    file.write(text);
    if (existed) {
        const int fd = int(file.handle());
        // Only root can give the file away; anyone else keeps it as their own.
        if (::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
            *error = QStringLiteral("cannot keep the owner of %1").arg(path);
            file.cancelWriting();
            return false;
        }
        ::fchmod(fd, old.st_mode & 0660);
    } else if (::geteuid() == 0) {
        // Made by root for the packaged service: readable by its group only.
        if (const group *agentGroup = ::getgrnam("plogger4-agent")) {
            const int fd = int(file.handle());
            if (::fchown(fd, 0, agentGroup->gr_gid) != 0 || ::fchmod(fd, 0640) != 0) {
                *error = QStringLiteral("cannot give %1 to the group plogger4-agent").arg(path);
                file.cancelWriting();
                return false;
            }
        }
    }
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void AccountStore::setPassword(const QString &name, const QString &password)
{
    m_accounts.insert(name, Scram::makeVerifier(password, Scram::randomBytes(16), NewIterations));
}

bool AccountStore::remove(const QString &name)
{
    return m_accounts.remove(name) > 0;
}

QStringList AccountStore::changedIn(const AccountStore &newer) const
{
    QStringList changed;
    for (auto it = m_accounts.constBegin(); it != m_accounts.constEnd(); ++it) {
        const auto now = newer.m_accounts.constFind(it.key());
        if (now == newer.m_accounts.constEnd() || now->salt != it->salt || now->iterations != it->iterations
            || now->storedKey != it->storedKey || now->serverKey != it->serverKey)
            changed.append(it.key());
    }
    return changed;
}

std::optional<Scram::Verifier> AccountStore::verifier(const QString &name) const
{
    const auto it = m_accounts.constFind(name);
    if (it == m_accounts.constEnd())
        return std::nullopt;
    return it.value();
}
