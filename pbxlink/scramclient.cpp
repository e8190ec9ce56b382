#include "scramclient.h"

#include "scram.h"

namespace {
const QByteArray kGs2Header = QByteArrayLiteral("n,,");
}

ScramClient::ScramClient(const QString &user, const QString &password, const QByteArray &nonce)
    : m_nonce(nonce.isEmpty() ? Scram::newNonce() : nonce)
    , m_password(password)
{
    m_clientFirstBare = "n=" + Scram::escapeName(user) + ",r=" + m_nonce;
}

QByteArray ScramClient::clientFirst() const
{
    return kGs2Header + m_clientFirstBare;
}

QByteArray ScramClient::clientFinal(const QByteArray &serverFirst, QString *error)
{
    Scram::Attributes attributes;
    QByteArray nonce, salt, iterationText;
    // Extensions ("m=") are not spoken here: the attributes must be exactly these.
    if (!Scram::parseAttributes(serverFirst, &attributes) || attributes.size() != 3
        || !Scram::attributeAt(attributes, 0, 'r', &nonce) || !Scram::attributeAt(attributes, 1, 's', &salt)
        || !Scram::attributeAt(attributes, 2, 'i', &iterationText)) {
        *error = QStringLiteral("malformed challenge");
        return {};
    }
    // The exchange's nonce must extend ours, or this is a replayed challenge.
    if (!nonce.startsWith(m_nonce) || nonce.size() == m_nonce.size()) {
        *error = QStringLiteral("challenge nonce does not extend the client's");
        return {};
    }
    const QByteArray saltBytes = QByteArray::fromBase64(salt, QByteArray::AbortOnBase64DecodingErrors);
    if (salt.isEmpty() || saltBytes.isEmpty()) {
        *error = QStringLiteral("malformed salt");
        return {};
    }
    bool ok = false;
    const qlonglong iterations = iterationText.toLongLong(&ok, 10);
    if (!ok || iterations < Scram::MinIterations || iterations > Scram::MaxIterations) {
        *error = QStringLiteral("iteration count %1 outside %2..%3")
                     .arg(QString::fromLatin1(iterationText.left(24)))
                     .arg(Scram::MinIterations)
                     .arg(Scram::MaxIterations);
        return {};
    }

    const QByteArray withoutProof = "c=" + kGs2Header.toBase64() + ",r=" + nonce;
    const QByteArray authMessage = m_clientFirstBare + ',' + serverFirst + ',' + withoutProof;
    QByteArray salted = Scram::saltedPassword(m_password, saltBytes, int(iterations));
    m_password.fill(QLatin1Char('\0'));
    m_password.clear();
    const QByteArray clientKey = Scram::clientKey(salted);
    const QByteArray signature = Scram::hmac(Scram::storedKey(clientKey), authMessage);
    m_expectedServerSignature = Scram::hmac(Scram::serverKey(salted), authMessage);
    salted.fill('\0');
    return withoutProof + ",p=" + Scram::xorBytes(clientKey, signature).toBase64();
}

bool ScramClient::serverFinalValid(const QByteArray &serverFinal) const
{
    Scram::Attributes attributes;
    QByteArray signature;
    if (m_expectedServerSignature.isEmpty() || !Scram::parseAttributes(serverFinal, &attributes)
        || !Scram::attributeAt(attributes, 0, 'v', &signature))
        return false;
    return Scram::equal(QByteArray::fromBase64(signature), m_expectedServerSignature);
}
