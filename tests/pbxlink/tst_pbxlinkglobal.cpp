#include "pbxlinkglobal.h"

#include <QtTest>

class tst_PbxLinkGlobal : public QObject
{
    Q_OBJECT

private slots:
    void compareVersions_data();
    void compareVersions();
};

void tst_PbxLinkGlobal::compareVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("sign");
    QTest::newRow("equal") << "4.2" << "4.2" << 0;
    QTest::newRow("numeric, not textual") << "4.10" << "4.2" << 1;
    QTest::newRow("older minor") << "4.1" << "4.2" << -1;
    QTest::newRow("missing component is 0") << "4.2" << "4.2.0" << 0;
    QTest::newRow("extra component") << "4.2.1" << "4.2" << 1;
    QTest::newRow("older major, more components") << "3.99.99" << "4" << -1;
    QTest::newRow("suffix ignored") << "4.2-rc1" << "4.2" << 0;
    QTest::newRow("empty is oldest") << "" << "4.2" << -1;
    QTest::newRow("both empty") << "" << "" << 0;
    QTest::newRow("garbage reads as 0") << "abc" << "0" << 0;
    QTest::newRow("garbage component") << "4.x" << "4.0" << 0;
    QTest::newRow("empty component") << "4..2" << "4.0.2" << 0;
    QTest::newRow("leading zeros") << "04.002" << "4.2" << 0;
    QTest::newRow("huge component saturates, no wrap") << "99999999999999999999999" << "1" << 1;
    QTest::newRow("negative sign is no digit") << "-5" << "0" << 0;
}

void tst_PbxLinkGlobal::compareVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, sign);
    const int ab = PBXLINK::compareVersions(a, b);
    const int ba = PBXLINK::compareVersions(b, a);
    QCOMPARE((ab > 0) - (ab < 0), sign);
    QCOMPARE((ba > 0) - (ba < 0), -sign);
}

QTEST_APPLESS_MAIN(tst_PbxLinkGlobal)
#include "tst_pbxlinkglobal.moc"
