// The tables made of Kamailio's results, from result texts as its RPC
// replies carry them; no Kamailio needed.
#include "kamailiotables.h"

#include <QJsonDocument>
#include <QtTest>

class TestKamailioTables : public QObject
{
    Q_OBJECT

private slots:
    void contactExpires_data();
    void contactExpires();
};

void TestKamailioTables::contactExpires_data()
{
    QTest::addColumn<QByteArray>("expires");
    QTest::addColumn<QString>("cell");

    QTest::newRow("seconds") << QByteArray("569") << "569";
    QTest::newRow("as a string") << QByteArray("\"569\"") << "569";
    QTest::newRow("fraction") << QByteArray("569.9") << "569";
    QTest::newRow("far past qint64") << "5696666" + QByteArray(93, '6') << "5.69667e+99";
    QTest::newRow("far below qint64") << QByteArray("-1e300") << "-1e+300";
    QTest::newRow("just past qint64") << QByteArray("9223372036854775808") << "9.22337e+18";
}

void TestKamailioTables::contactExpires()
{
    QFETCH(QByteArray, expires);
    QFETCH(QString, cell);
    const QByteArray result = R"({"AoR":"user00001@alpha.test","Contacts":[{"Contact":{"Address":)"
                              R"("sip:user00001@127.0.0.1:52590","Expires":)"
                              + expires + R"(,"User-Agent":"probe-ua/1.0"}}]})";
    const QJsonDocument doc = QJsonDocument::fromJson(result);
    QVERIFY(doc.isObject());
    const QVector<QStringList> rows = KamailioTables::contactRows(doc.object());
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value(2), cell);
    QCOMPARE(rows[0].value(0), QStringLiteral("sip:user00001@alpha.test"));
}

QTEST_APPLESS_MAIN(TestKamailioTables)
#include "tst_kamailiotables.moc"
