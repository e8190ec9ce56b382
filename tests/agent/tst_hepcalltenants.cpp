#include "hepcalltenants.h"

#include <QtTest>

class TestHepCallTenants : public QObject
{
    Q_OBJECT

private slots:
    void tenantFor_data();
    void tenantFor();
    void domainsOf();
};

namespace {

const QString kAlpha = QStringLiteral("11111111-1111-1111-1111-111111111111");
const QString kBeta = QStringLiteral("22222222-2222-2222-2222-222222222222");

// "callId ruri to from atMs" ("-" for none); "log callId atMs" asks for a log
// line's call.
SipSummary sighting(const QStringList &f)
{
    SipSummary s;
    s.callId = f[0];
    auto domain = [](const QString &d) { return d == QLatin1String("-") ? QString() : d; };
    s.requestUriDomain = domain(f[1]);
    s.toDomain = domain(f[2]);
    s.fromDomain = domain(f[3]);
    return s;
}

}

void TestHepCallTenants::tenantFor_data()
{
    QTest::addColumn<QStringList>("sightings");
    QTest::addColumn<QStringList>("tenants");

    QTest::newRow("Request-URI decides, later messages follow")
        << QStringList{"c1 alpha.test beta.test beta.test 0", "c1 - - - 1", "log c1 2"}
        << QStringList{kAlpha, kAlpha, kAlpha};
    QTest::newRow("else To, else From")
        << QStringList{"c1 10.0.0.1 beta.test alpha.test 0", "c2 10.0.0.1 other.test alpha.test 0"}
        << QStringList{kBeta, kAlpha};
    QTest::newRow("first known domain decides, not the first message")
        << QStringList{"log c1 0", "c1 other.test - - 0", "c1 - beta.test - 1", "c1 alpha.test - - 2"}
        << QStringList{"", "", kBeta, kBeta};
    QTest::newRow("calls are apart") << QStringList{"c1 alpha.test - - 0", "c2 beta.test - - 0", "log c1 1", "log c2 1"}
                                     << QStringList{kAlpha, kBeta, kAlpha, kBeta};
    QTest::newRow("forgotten after an hour unseen")
        << QStringList{"c1 alpha.test - - 0", "log c1 3600000", "log c1 7200001", "c1 - - - 7200002"}
        << QStringList{kAlpha, kAlpha, "", ""};
    // Three calls at most here: the least recently seen goes first.
    QTest::newRow("oldest forgotten at the bound")
        << QStringList{"c1 alpha.test - - 0", "c2 alpha.test - - 1", "c3 alpha.test - - 2", "log c1 3",
                       "c4 beta.test - - 4", "log c2 5", "log c1 6", "log c4 7"}
        << QStringList{kAlpha, kAlpha, kAlpha, kAlpha, kBeta, "", kAlpha, kBeta};
}

void TestHepCallTenants::tenantFor()
{
    QFETCH(QStringList, sightings);
    QFETCH(QStringList, tenants);

    HepCallTenants calls(3, 60 * 60 * 1000);
    calls.setDomains({{QStringLiteral("alpha.test"), kAlpha}, {QStringLiteral("beta.test"), kBeta}});
    for (int i = 0; i < sightings.size(); ++i) {
        const QStringList f = sightings[i].split(QLatin1Char(' '));
        const QString tenant = f[0] == QLatin1String("log") ? calls.tenantOf(f[1], f[2].toLongLong())
                                                            : calls.tenantFor(sighting(f), f[4].toLongLong());
        QVERIFY2(tenant == tenants[i], qPrintable(sightings[i]));
        QVERIFY(calls.size() <= 3);
    }
}

void TestHepCallTenants::domainsOf()
{
    const QHash<QString, QString> domains =
        HepCallTenants::domainsOf({{kAlpha, QStringLiteral("alpha.test, Alpha.Example")}, {kBeta, QStringLiteral("Trasporti Adriatici")}});
    QCOMPARE(domains, (QHash<QString, QString>{{QStringLiteral("alpha.test"), kAlpha}, {QStringLiteral("alpha.example"), kAlpha}}));
}

QTEST_APPLESS_MAIN(TestHepCallTenants)
#include "tst_hepcalltenants.moc"
