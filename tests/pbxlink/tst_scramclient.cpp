#include "scram.h"
#include "scramclient.h"

#include <QtTest>

namespace {
// The SCRAM-SHA-256 example exchange of RFC 7677.
const QByteArray kNonce = "rOprNGfwEbeRWgbNEkqO";
const QByteArray kServerFirst = "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const QByteArray kClientFinal =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const QByteArray kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";
}

class tst_ScramClient : public QObject
{
    Q_OBJECT

private slots:
    void publishedExample();
    void badChallengeIsRefused_data();
    void badChallengeIsRefused();
};

void tst_ScramClient::publishedExample()
{
    ScramClient client(QStringLiteral("user"), QStringLiteral("pencil"), kNonce);
    QCOMPARE(client.clientFirst(), QByteArray("n,,n=user,r=") + kNonce);
    QString error;
    QCOMPARE(client.clientFinal(kServerFirst, &error), kClientFinal);
    QVERIFY(client.serverFinalValid(kServerFinal));
    for (const QByteArray &bad : {QByteArray("v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="), QByteArray("v="),
                                  QByteArray("e=invalid-proof"), QByteArray(), kServerFinal.left(20)})
        QVERIFY2(!client.serverFinalValid(bad), bad.constData());

    // The exchange's side accepts that proof from the salted verifier alone.
    const Scram::Verifier verifier =
        Scram::makeVerifier(QStringLiteral("pencil"), QByteArray::fromBase64("W22ZaJ0SNY7soEsUEjb6gQ=="), 4096);
    const QByteArray authMessage = "n=user,r=" + kNonce + ',' + kServerFirst + ','
        + kClientFinal.left(kClientFinal.indexOf(",p="));
    const QByteArray proof = QByteArray::fromBase64(kClientFinal.mid(kClientFinal.indexOf(",p=") + 3));
    QVERIFY(Scram::proofMatches(verifier, authMessage, proof));
    QVERIFY(!Scram::proofMatches(verifier, authMessage + 'x', proof));
    QCOMPARE(Scram::hmac(verifier.serverKey, authMessage).toBase64(), kServerFinal.mid(2));
}

void tst_ScramClient::badChallengeIsRefused_data()
{
    QTest::addColumn<QByteArray>("serverFirst");
    const QByteArray nonce = "r=" + kNonce + "srv";
    QTest::newRow("iteration count 0") << nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=0";
    QTest::newRow("below 4096") << nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4095";
    QTest::newRow("over the cap") << nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=100001";
    QTest::newRow("past any integer") << nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=99999999999999999999999";
    QTest::newRow("truncated") << nonce + ",s=W22ZaJ0SNY7so";
    QTest::newRow("oversized") << nonce + QByteArray(Scram::MaxMessageLength, 'a') + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
    QTest::newRow("nonce not extended") << "r=" + kNonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
    QTest::newRow("someone else's nonce") << QByteArray("r=AAAAsrv,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096");
    QTest::newRow("salt not base64") << nonce + ",s=***,i=4096";
    QTest::newRow("unknown extension") << "m=ext," + nonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
}

void tst_ScramClient::badChallengeIsRefused()
{
    QFETCH(QByteArray, serverFirst);
    ScramClient client(QStringLiteral("user"), QStringLiteral("pencil"), kNonce);
    QString error;
    QVERIFY(client.clientFinal(serverFirst, &error).isEmpty());
    QVERIFY(!error.isEmpty());
    QVERIFY(!client.serverFinalValid(kServerFinal));
}

QTEST_GUILESS_MAIN(tst_ScramClient)
#include "tst_scramclient.moc"
