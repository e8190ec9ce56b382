#pragma once

#include <QByteArray>
#include <QString>

// The client's side of one SCRAM-SHA-256 login. The password is dropped as
// soon as the answer to the challenge is computed; what is kept afterwards
// only serves to check the exchange's signature.
class ScramClient
{
public:
    // nonce: the client nonce; a fresh random one when empty.
    ScramClient(const QString &user, const QString &password, const QByteArray &nonce = QByteArray());

    // "n,,n=<user>,r=<nonce>"
    QByteArray clientFirst() const;
    // The answer to the exchange's "r=..,s=..,i=.."; empty with *error set
    // when the challenge is malformed or asks for an unreasonable count.
    QByteArray clientFinal(const QByteArray &serverFirst, QString *error);
    // True when "v=.." is the signature only a holder of the verifier can make.
    bool serverFinalValid(const QByteArray &serverFinal) const;

private:
    QByteArray m_clientFirstBare;
    QByteArray m_nonce;
    QString m_password;
    QByteArray m_expectedServerSignature;
};
