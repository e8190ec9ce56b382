// The agent's clients against changes of its accounts: a reload ends the
// sessions of an account that went or changed, "passwd --delete" removes
// one, and an unknown account's challenge stays the same across restarts.

#include "accountstore.h"
#include "agent.h"
#include "linklogin.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class tst_AgentSessions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void reloadEndsSessions_data();
    void reloadEndsSessions();
    void unknownAccountSaltIsStable();
    void passwdDelete_data();
    void passwdDelete();

private:
    // Starts an agent on an ephemeral loopback port; its port, or 0.
    quint16 start(Agent *agent);
    AgentConfig config() const;
    bool changeAccounts(const std::function<void(AccountStore *)> &change);
    // The salt an unknown account's challenge offers.
    QString unknownSalt(quint16 port);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_AgentSessions::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QFile log(m_dir->filePath(QStringLiteral("kamailio.log")));
    QVERIFY(log.open(QIODevice::WriteOnly));
    QVERIFY(changeAccounts([](AccountStore *s) {
        s->setPassword(QStringLiteral("admin"), QStringLiteral("pw"));
        s->setPassword(QStringLiteral("low"), QStringLiteral("pw"));
    }));
}

AgentConfig tst_AgentSessions::config() const
{
    AgentConfig c;
    c.listen = QStringList{QStringLiteral("127.0.0.1:0")};
    c.stateDir = m_dir->filePath(QStringLiteral("state"));
    c.accountsFile = m_dir->filePath(QStringLiteral("accounts"));
    c.sources = QStringList{QStringLiteral("file:") + m_dir->filePath(QStringLiteral("kamailio.log"))};
    c.rpcSocket = m_dir->filePath(QStringLiteral("no-kamailio.sock"));
    return c;
}

bool tst_AgentSessions::changeAccounts(const std::function<void(AccountStore *)> &change)
{
    AccountStore store;
    QString error;
    const QString path = m_dir->filePath(QStringLiteral("accounts"));
    if (!store.load(path, &error))
        return false;
    change(&store);
    return store.save(path, &error);
}

quint16 tst_AgentSessions::start(Agent *agent)
{
    QSignalSpy ready(agent, &Agent::ready);
    QString error;
    if (!agent->check(&error) || !agent->start(&error) || (ready.isEmpty() && !ready.wait(10000))) {
        qWarning() << "agent did not start:" << error;
        return 0;
    }
    const QStringList lines = ready.constFirst().constFirst().toStringList().filter(QStringLiteral("listening "));
    return quint16(lines.value(0).section(QLatin1Char(':'), -1).toUInt());
}

void tst_AgentSessions::reloadEndsSessions_data()
{
    QTest::addColumn<QString>("account");   // whose entry changes
    QTest::addColumn<bool>("remove");       // else a new password
    QTest::addColumn<bool>("adminEnds");

    QTest::newRow("account removed") << "admin" << true << true;
    QTest::newRow("password changed") << "admin" << false << true;
    QTest::newRow("another account's password changed") << "low" << false << false;
}

void tst_AgentSessions::reloadEndsSessions()
{
    QFETCH(QString, account);
    QFETCH(bool, remove);
    QFETCH(bool, adminEnds);
    Agent agent(config());
    const quint16 port = start(&agent);
    QVERIFY(port != 0);
    QSslSocket admin;
    QCOMPARE(logIn(admin, port, QStringLiteral("admin")).value(QLatin1String("type")).toString(),
             QStringLiteral("login-ok"));

    QVERIFY(changeAccounts([&](AccountStore *s) {
        if (remove)
            s->remove(account);
        else
            s->setPassword(account, QStringLiteral("new"));
    }));
    agent.reload();
    admin.write(linkFrame(QStringLiteral("ping"), {{QStringLiteral("seq"), 7}}));
    const QJsonObject answer = nextFrame(admin);
    if (adminEnds) {
        QCOMPARE(answer.value(QLatin1String("type")).toString(), QStringLiteral("bye"));
        QCOMPARE(answer.value(QLatin1String("reason")).toString(), QStringLiteral("account removed or its password changed"));
        QTRY_COMPARE_WITH_TIMEOUT(admin.state(), QAbstractSocket::UnconnectedState, 5000);
    } else {
        QCOMPARE(answer.value(QLatin1String("type")).toString(), QStringLiteral("pong"));
    }
}

QString tst_AgentSessions::unknownSalt(quint16 port)
{
    QSslSocket socket;
    const QString challenge =
        beginLogin(socket, port, ScramClient(QStringLiteral("nobody"), QStringLiteral("pw"))).value(QLatin1String("scram")).toString();
    return challenge.section(QStringLiteral(",s="), 1).section(QLatin1Char(','), 0, 0);
}

// Were it new at every start, the salt of a name would tell whether the
// account exists; it comes from a secret in the state folder.
void tst_AgentSessions::unknownAccountSaltIsStable()
{
    QString first;
    {
        Agent agent(config());
        const quint16 port = start(&agent);
        QVERIFY(port != 0);
        first = unknownSalt(port);
        QVERIFY(!first.isEmpty());
        QCOMPARE(unknownSalt(port), first);
    }
    Agent restarted(config());
    const quint16 port = start(&restarted);
    QVERIFY(port != 0);
    QCOMPARE(unknownSalt(port), first);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(m_dir->filePath(QStringLiteral("state/unknown-accounts.key"))).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
}

void tst_AgentSessions::passwdDelete_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::addColumn<int>("accountsLeft");

    QTest::newRow("an account") << "low" << 0 << "account low removed" << 1;
    QTest::newRow("an unknown account") << "nobody" << 1 << "no account \"nobody\"" << 2;
}

void tst_AgentSessions::passwdDelete()
{
    QFETCH(QString, name);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QFETCH(int, accountsLeft);
    QProcess passwd;
    passwd.start(QStringLiteral(AGENT_PATH), {QStringLiteral("passwd"), QStringLiteral("--delete"), name,
                                              QStringLiteral("--accounts"), m_dir->filePath(QStringLiteral("accounts"))});
    QVERIFY(passwd.waitForFinished(10000));
    QCOMPARE(passwd.exitCode(), exitCode);
    const QString output = QString::fromUtf8(passwd.readAllStandardOutput() + passwd.readAllStandardError());
    QVERIFY2(output.contains(said), qPrintable(output));
    AccountStore store;
    QString error;
    QVERIFY2(store.load(m_dir->filePath(QStringLiteral("accounts")), &error), qPrintable(error));
    QCOMPARE(store.count(), accountsLeft);
}

QTEST_GUILESS_MAIN(tst_AgentSessions)
#include "tst_agentsessions.moc"
