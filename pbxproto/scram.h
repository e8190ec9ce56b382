#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

// SCRAM-SHA-256 (RFC 5802 with the hash of RFC 7677): the pieces both ends
// of the login share. The exchange keeps only a Verifier; the client keeps
// the password only until it has answered the challenge.
namespace Scram {

constexpr int MinIterations = 4096;
// Beyond this a challenge is refused: an exchange must not hold the link's
// thread deriving one key. Qt's PBKDF2 takes about 1.2 us per iteration, so
// this is up to an eighth of a second; a million would not stop there.
constexpr int MaxIterations = 100000;
// Any one SCRAM message; real ones are a few hundred bytes.
constexpr int MaxMessageLength = 4096;
constexpr int KeyLength = 32;

struct Verifier
{
    QByteArray salt;
    int iterations = 0;
    QByteArray storedKey;
    QByteArray serverKey;
};

using Attributes = QVector<QPair<char, QByteArray>>;

QByteArray saltedPassword(const QString &password, const QByteArray &salt, int iterations);
QByteArray hmac(const QByteArray &key, const QByteArray &message);
QByteArray clientKey(const QByteArray &saltedPassword);
QByteArray serverKey(const QByteArray &saltedPassword);
QByteArray storedKey(const QByteArray &clientKey);
Verifier makeVerifier(const QString &password, const QByteArray &salt, int iterations);

// Fresh printable nonce text (no ','), from the system's random source.
QByteArray newNonce();
QByteArray randomBytes(int size);

// "=" and "," in a user name travel as "=3D" and "=2C".
QByteArray escapeName(const QString &name);
// False for a "=" that starts no valid escape.
bool unescapeName(const QByteArray &text, QString *name);

// "a=..,b=.." in order; false when any part is not "<letter>=<value>" or the
// message is over the size limit.
bool parseAttributes(const QByteArray &message, Attributes *attributes);
// Value of the attribute at position index when it has the expected name.
bool attributeAt(const Attributes &attributes, int index, char name, QByteArray *value);

// Compares in time independent of where the two differ.
bool equal(const QByteArray &a, const QByteArray &b);
QByteArray xorBytes(const QByteArray &a, const QByteArray &b);

// The exchange's check of a client proof against its verifier.
bool proofMatches(const Verifier &verifier, const QByteArray &authMessage, const QByteArray &proof);

}
