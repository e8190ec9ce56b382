#include "scram.h"

#include <QCryptographicHash>
#include <QList>
#include <QMessageAuthenticationCode>
#include <QPasswordDigestor>
#include <QRandomGenerator>

namespace Scram {

QByteArray saltedPassword(const QString &password, const QByteArray &salt, int iterations)
{
    // NFKC is the normalisation step of SASLprep; both ends apply the same.
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256,
                                              password.normalized(QString::NormalizationForm_KC).toUtf8(), salt,
                                              iterations, KeyLength);
}

QByteArray hmac(const QByteArray &key, const QByteArray &message)
{
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256);
}

QByteArray clientKey(const QByteArray &saltedPassword)
{
    return hmac(saltedPassword, QByteArrayLiteral("Client Key"));
}

QByteArray serverKey(const QByteArray &saltedPassword)
{
    return hmac(saltedPassword, QByteArrayLiteral("Server Key"));
}

QByteArray storedKey(const QByteArray &clientKey)
{
    return QCryptographicHash::hash(clientKey, QCryptographicHash::Sha256);
}

Verifier makeVerifier(const QString &password, const QByteArray &salt, int iterations)
{
    const QByteArray salted = saltedPassword(password, salt, iterations);
    return Verifier{salt, iterations, storedKey(clientKey(salted)), serverKey(salted)};
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::system()->bounded(256));
    return bytes;
}

QByteArray newNonce()
{
    return randomBytes(18).toBase64();
}

QByteArray escapeName(const QString &name)
{
    QByteArray text = name.toUtf8();
    text.replace('=', "=3D");
    text.replace(',', "=2C");
    return text;
}

bool unescapeName(const QByteArray &text, QString *name)
{
    QByteArray plain;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != '=') {
            plain.append(text.at(i));
            continue;
        }
        const QByteArray code = text.mid(i + 1, 2);
        if (code == "3D")
            plain.append('=');
        else if (code == "2C")
            plain.append(',');
        else
            return false;
        i += 2;
    }
    *name = QString::fromUtf8(plain);
    return true;
}

bool parseAttributes(const QByteArray &message, Attributes *attributes)
{
    attributes->clear();
    if (message.isEmpty() || message.size() > MaxMessageLength)
        return false;
    for (const QByteArray &part : message.split(',')) {
        if (part.size() < 2 || part.at(1) != '=' || !QChar::isLetter(uint(uchar(part.at(0)))))
            return false;
        attributes->append(qMakePair(part.at(0), part.mid(2)));
    }
    return true;
}

bool attributeAt(const Attributes &attributes, int index, char name, QByteArray *value)
{
    if (index < 0 || index >= attributes.size() || attributes.at(index).first != name)
        return false;
    *value = attributes.at(index).second;
    return true;
}

bool equal(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return diff == 0;
}

QByteArray xorBytes(const QByteArray &a, const QByteArray &b)
{
    QByteArray out(qMin(a.size(), b.size()), Qt::Uninitialized);
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(a.at(i) ^ b.at(i));
    return out;
}

bool proofMatches(const Verifier &verifier, const QByteArray &authMessage, const QByteArray &proof)
{
    if (proof.size() != KeyLength || verifier.storedKey.size() != KeyLength)
        return false;
    const QByteArray clientSignature = hmac(verifier.storedKey, authMessage);
    return equal(storedKey(xorBytes(proof, clientSignature)), verifier.storedKey);
}

}
