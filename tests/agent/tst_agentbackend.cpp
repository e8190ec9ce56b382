// What the agent answers the link's sessions: whose login it takes, which
// tenants it knows, and that every command and tenant request is answered.

#include "accountstore.h"
#include "agentbackend.h"

#include <QtTest>

class tst_AgentBackend : public QObject
{
    Q_OBJECT

private slots:
    void verifier_data();
    void verifier();
    void knowsTenant_data();
    void knowsTenant();
    void everyRequestIsAnswered_data();
    void everyRequestIsAnswered();
};

void tst_AgentBackend::verifier_data()
{
    QTest::addColumn<QStringList>("domains");  // the login domains served
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<bool>("known");

    const QStringList served{QStringLiteral("alpha.test"), QStringLiteral("beta.test")};
    QTest::newRow("unknown name let in") << served << "nobody" << "alpha.test" << false;
    QTest::newRow("domain not served let in") << served << "admin" << "gamma.test" << false;
    QTest::newRow("tail of a served domain let in") << served << "admin" << "test" << false;
    QTest::newRow("served domain's subdomain let in") << served << "admin" << "x.alpha.test" << false;
    QTest::newRow("no domain let in where domains are served") << served << "admin" << "" << false;
    QTest::newRow("second served domain refused") << served << "admin" << "beta.test" << true;
    // Domain names are not case-sensitive: a window typing capitals is let in.
    QTest::newRow("served domain in capitals refused") << served << "admin" << "ALPHA.Test" << true;
    QTest::newRow("any domain refused where none is named") << QStringList() << "admin" << "anything.test" << true;
    QTest::newRow("no domain refused where none is named") << QStringList() << "admin" << "" << true;
}

void tst_AgentBackend::verifier()
{
    QFETCH(QStringList, domains);
    QFETCH(QString, user);
    QFETCH(QString, domain);
    QFETCH(bool, known);
    AccountStore accounts;
    accounts.setPassword(QStringLiteral("admin"), QStringLiteral("pw"));
    accounts.setPassword(QStringLiteral("other"), QStringLiteral("pw2"));
    const AgentBackend backend(accounts, domains);
    const std::optional<Scram::Verifier> v = backend.verifier(user, domain);
    QCOMPARE(v.has_value(), known);
    // The account's own verifier, not another's.
    if (known)
        QCOMPARE(v->storedKey, accounts.verifier(user)->storedKey);
}

void tst_AgentBackend::knowsTenant_data()
{
    QTest::addColumn<QStringList>("tenants");
    QTest::addColumn<QStringList>("newer");  // a later list replacing the first; none when empty
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<bool>("known");

    const QStringList two{QStringLiteral("d6f1a3c0-1"), QStringLiteral("d6f1a3c0-2")};
    QTest::newRow("listed tenant unknown") << two << QStringList() << "d6f1a3c0-2" << true;
    QTest::newRow("prefix of a tenant taken for it") << two << QStringList() << "d6f1a3c0" << false;
    QTest::newRow("longer uuid taken for a tenant") << two << QStringList() << "d6f1a3c0-10" << false;
    QTest::newRow("no tenant taken for a tenant") << two << QStringList() << "" << false;
    QTest::newRow("tenant dropped by a newer list kept")
        << two << QStringList{QStringLiteral("d6f1a3c0-1")} << "d6f1a3c0-2" << false;
    QTest::newRow("tenant added by a newer list unknown")
        << two << QStringList{QStringLiteral("d6f1a3c0-3")} << "d6f1a3c0-3" << true;
}

void tst_AgentBackend::knowsTenant()
{
    QFETCH(QStringList, tenants);
    QFETCH(QStringList, newer);
    QFETCH(QString, uuid);
    QFETCH(bool, known);
    const auto listOf = [](const QStringList &uuids) {
        QVector<PbxTenant> list;
        for (const QString &u : uuids)
            list.append(PbxTenant{u, u + QStringLiteral(".test")});
        return list;
    };
    AgentBackend backend(AccountStore(), {});
    backend.setTenants(listOf(tenants));
    if (!newer.isEmpty())
        backend.setTenants(listOf(newer));
    QCOMPARE(backend.knowsTenant(uuid), known);
    QCOMPARE(backend.tenants().size(), newer.isEmpty() ? tenants.size() : newer.size());
}

// A session waits for each answer: one that never comes holds its client.
void tst_AgentBackend::everyRequestIsAnswered_data()
{
    QTest::addColumn<bool>("withRunner");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("output");  // of the answer

    QTest::newRow("command unanswered without a runner") << false << "sip show peers"
                                                         << "No such command 'sip show peers'\n";
    QTest::newRow("huge command name echoed whole")
        << false << QString(100000, QLatin1Char('c')) << "No such command '" + QString(255, QLatin1Char('c')) + "'\n";
    QTest::newRow("runner's answer lost") << true << "core show hints" << "ran core show hints for admin";
}

void tst_AgentBackend::everyRequestIsAnswered()
{
    QFETCH(bool, withRunner);
    QFETCH(QString, command);
    QFETCH(QString, output);
    AgentBackend backend(AccountStore(), {});
    if (withRunner) {
        backend.setCommandRunner([](const ServerCommand &c, const PbxCommandOrigin &origin,
                                    PbxBackend::CommandDone done) {
            ServerCommandResponse response;
            response.executed = true;
            response.output = QStringLiteral("ran %1 for %2").arg(c.command, origin.account);
            done(response);
        });
        // Tenants are brought up to date by whoever the agent hands in.
        backend.setTenantRefresher([&backend](std::function<void()> done) {
            backend.setTenants({PbxTenant{QStringLiteral("d6f1a3c0-1"), QStringLiteral("alpha.test")}});
            done();
        });
    }
    QObject scope;
    QVector<ServerCommandResponse> answers;
    backend.runCommand(ServerCommand{QStringLiteral("id-1"), command, {}},
                       PbxCommandOrigin{QStringLiteral("admin"), &scope},
                       [&answers](const ServerCommandResponse &r) { answers.append(r); });
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers.constFirst().output, output);
    QCOMPARE(answers.constFirst().executed, withRunner);
    if (!withRunner)
        QCOMPARE(answers.constFirst().code, 127);

    int refreshed = 0;
    backend.refreshTenants([&refreshed] { ++refreshed; });
    QCOMPARE(refreshed, 1);
    QCOMPARE(backend.knowsTenant(QStringLiteral("d6f1a3c0-1")), withRunner);
}

QTEST_GUILESS_MAIN(tst_AgentBackend)
#include "tst_agentbackend.moc"
