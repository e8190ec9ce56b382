#include "kamailiocommands.h"
#include "kamailiorpcclient.h"

#include "kamailioprocess.h"

#include <QtTest>

namespace {

const QString AlphaUuid = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");
const QString BetaUuid = QStringLiteral("8d41b6f0-2c3e-4a5b-9d7c-6e1f0a2b3c4d");

}

class TestKamailioCommands : public QObject
{
    Q_OBJECT

private:
    ServerCommandResponse run(KamailioCommands *commands, const QString &name, const QStringList &params = {})
    {
        bool done = false;
        ServerCommandResponse response;
        commands->run(ServerCommand{QStringLiteral("id-1"), name, params}, [&](const ServerCommandResponse &r) {
            done = true;
            response = r;
        });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(done, 15000); }();
        return response;
    }

    // sip-ua on the test's Kamailio; returns its output once it ends.
    QString sipUa(const QStringList &args)
    {
        QProcess ua;
        ua.start(QStringLiteral(SIP_UA_PATH), QStringList{QStringLiteral("--proxy"), m_kamailio.proxy()} + args);
        if (!ua.waitForFinished(20000))
            return QStringLiteral("sip-ua did not end");
        return QString::fromUtf8(ua.readAllStandardOutput() + ua.readAllStandardError());
    }

    KamailioProcess m_kamailio;
    KamailioRpcClient *m_rpc = nullptr;
    KamailioCommands *m_commands = nullptr;
    QSet<QString> m_methods;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_kamailio.start(), qPrintable(m_kamailio.error));
        m_rpc = new KamailioRpcClient(m_kamailio.rpcSocket(), m_kamailio.scratchDir(), this);
        m_commands = new KamailioCommands(m_rpc, KamailioCommandConfig::defaults(), this);
        const QString registered = sipUa({QStringLiteral("register"), QStringLiteral("alice@alpha.test"),
                                          QStringLiteral("bob@beta.test"), QStringLiteral("--user-agent"),
                                          QStringLiteral("Desk phone 7")});
        QVERIFY2(registered.count(QLatin1String("registered ")) == 2, qPrintable(registered));
        bool done = false;
        m_commands->fetchMethods([&](bool ok, const QSet<QString> &methods, const QString &error) {
            QVERIFY2(ok, qPrintable(error));
            m_methods = methods;
            done = true;
        });
        QTRY_VERIFY(done);
        for (const char *method : {"dlg.list", "ul.dump", "domain.dump", "core.version"})
            QVERIFY2(m_methods.contains(QLatin1String(method)), method);
        QVERIFY(!m_methods.contains(QStringLiteral("uac.reg_dump")));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("params");
        QTest::addColumn<QString>("mapping");  // "name = action" replacing the stock one
        QTest::addColumn<bool>("executed");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("expected");  // in output or detail
        QTest::addColumn<QString>("missing");  // a method Kamailio is known not to offer

        QTest::newRow("peers") << "sip show peers" << QStringList() << "" << true << 0
                               << QStringList{"Response: Follows\nPrivilege: Command\nAddress of record", "sip:alice@alpha.test",
                                              "sip:bob@beta.test", "Desk phone 7", "2 contacts of 2 addresses of record\n--END COMMAND--"} << "";
        QTest::newRow("registry without uac") << "sip show registry" << QStringList() << "" << false << 500
                                              << QStringList{"sip show registry needs Kamailio's uac module: loadmodule \"uac.so\""}
                                              << "";
        QTest::newRow("registry without uac, known") << "sip show registry" << QStringList() << "" << false << 500
                                                     << QStringList{"sip show registry needs Kamailio's uac module: "
                                                                    "loadmodule \"uac.so\""}
                                                     << "uac.reg_dump";
        // Kamailio restarted with the module since the list was read.
        QTest::newRow("hints, dialog loaded since") << "core show hints" << QStringList() << "" << true << 0
                                                    << QStringList{"Call-ID"} << "dlg.list";
        QTest::newRow("peers, usrloc loaded since") << "sip show peers" << QStringList() << "" << true << 0
                                                    << QStringList{"sip:alice@alpha.test"} << "ul.dump";
        QTest::newRow("Kamailio's own error text") << "sip show registry" << QStringList()
                                                   << "sip show registry = rpc:ul.lookup location nobody@nowhere.test"
                                                   << false << 500 << QStringList{"Kamailio answered error 500: AOR not found in location table"}
                                                   << "";
        QTest::newRow("option as host") << "ping" << QStringList{"-oProxyCommand"} << "" << false << 2
                                        << QStringList{"refused parameter"} << "";
        QTest::newRow("space in host") << "traceroute" << QStringList{"a b"} << "" << false << 2
                                       << QStringList{"refused parameter"} << "";
        QTest::newRow("host too long") << "host" << QStringList{QString(254, 'a')} << "" << false << 2
                                       << QStringList{"longer than 253"} << "";
        QTest::newRow("label too long") << "host" << QStringList{QString(64, 'a') + ".test"} << "" << false << 2
                                        << QStringList{"not a host name"} << "";
        QTest::newRow("no host") << "ping" << QStringList() << "" << false << 2 << QStringList{"is needed"} << "";
        QTest::newRow("unknown command") << "rm -rf" << QStringList() << "" << false << 127
                                         << QStringList{"unknown command"} << "";
        QTest::newRow("program missing") << "ping" << QStringList{"127.0.0.1"} << "ping = plogger4-no-such-ping {host}"
                                         << false << 127 << QStringList{"plogger4-no-such-ping is not installed"} << "";
        QTest::newRow("program runs") << "host" << QStringList{"::1"} << "host = echo resolving {host}" << true << 0
                                      << QStringList{"resolving ::1\n"} << "";
        QTest::newRow("program too slow") << "ping" << QStringList{"localhost"} << "ping = sh -c \"sleep 30\" {host}" << false
                                          << 124 << QStringList{"stopped after 300 ms"} << "";
        QTest::newRow("output too long") << "ping" << QStringList{"localhost"} << "ping = yes {host}" << true << 137
                                         << QStringList{"localhost\nlocalhost", "[output cut at 2000 bytes]"} << "";
        QTest::newRow("another method") << "sip show registry" << QStringList() << "sip show registry = rpc:core.version"
                                        << true << 0 << QStringList{"Response: Follows", "kamailio 5."} << "";
    }

    void commands()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, params);
        QFETCH(QString, mapping);
        QFETCH(bool, executed);
        QFETCH(int, code);
        QFETCH(QStringList, expected);
        QFETCH(QString, missing);

        KamailioCommandConfig config = KamailioCommandConfig::defaults();
        config.timeoutMs = 300;
        config.maxOutputBytes = 2000;
        if (!mapping.isEmpty()) {
            QString error;
            QVERIFY2(KamailioCommandConfig::parseAction(mapping.section(QLatin1Char('='), 1),
                                                        &config.commands[mapping.section(QLatin1Char('='), 0, 0).trimmed()],
                                                        &error),
                     qPrintable(error));
        }
        KamailioCommands commands(m_rpc, config);
        if (!missing.isEmpty())
            commands.setMethods(m_methods - QSet<QString>{missing});
        const ServerCommandResponse r = run(&commands, command, params);
        QCOMPARE(r.commandId, QStringLiteral("id-1"));
        QCOMPARE(r.command, command);
        QCOMPARE(r.executed, executed);
        QCOMPARE(r.code, code);
        QVERIFY(!r.timestamp.isEmpty());
        for (const QString &text : qAsConst(expected))
            QVERIFY2((r.output + r.detail).contains(text), qPrintable(r.output + " | " + r.detail));
    }

    // Programs are bounded in all and per account, and a session that ends
    // takes its program with it.
    void programBound_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("perAccount");
        QTest::addColumn<QStringList>("runs");  // "account:command"; the last one is answered
        QTest::addColumn<bool>("endFirstSession");
        QTest::addColumn<int>("code");

        QTest::newRow("one account past its bound") << 4 << 2 << QStringList{"a:ping", "a:ping", "a:host"} << false << 16;
        QTest::newRow("the agent past its bound") << 2 << 4 << QStringList{"a:ping", "b:ping", "c:host"} << false << 16;
        QTest::newRow("another account within both") << 4 << 2 << QStringList{"a:ping", "a:ping", "b:host"} << false << 0;
        QTest::newRow("program outlives its session") << 1 << 1 << QStringList{"a:ping", "b:host"} << true << 0;
    }

    void programBound()
    {
        QFETCH(int, total);
        QFETCH(int, perAccount);
        QFETCH(QStringList, runs);
        QFETCH(bool, endFirstSession);
        QFETCH(int, code);

        KamailioCommandConfig config = KamailioCommandConfig::defaults();
        QString error;
        QVERIFY(KamailioCommandConfig::parseAction(QStringLiteral("sh -c \"sleep 30\" {host}"),
                                                   &config.commands[QStringLiteral("ping")], &error));
        QVERIFY(KamailioCommandConfig::parseAction(QStringLiteral("echo {host}"), &config.commands[QStringLiteral("host")],
                                                   &error));
        KamailioCommands commands(m_rpc, config);
        commands.setProgramLimits(total, perAccount);
        auto *session = new QObject(this);
        int answered = 0;
        bool lastDone = false;
        ServerCommandResponse last;
        for (int i = 0; i < runs.size(); ++i) {
            const bool isLast = i == runs.size() - 1;
            const ServerCommand command{QStringLiteral("id"), runs.at(i).section(QLatin1Char(':'), 1), {QStringLiteral("localhost")}};
            commands.run(command, [&, isLast](const ServerCommandResponse &r) {
                ++answered;
                if (isLast) {
                    lastDone = true;
                    last = r;
                }
            }, i == 0 ? session : nullptr, runs.at(i).section(QLatin1Char(':'), 0, 0));
            if (i == 0 && endFirstSession) {
                delete session;
                QTRY_COMPARE_WITH_TIMEOUT(commands.programsRunning(), 0, 5000);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(lastDone, 5000);
        QCOMPARE(last.code, code);
        QCOMPARE(answered, 1);  // the slow ones still run, the ended one never answers
        if (!endFirstSession)
            delete session;
    }

    void tableTexts_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one contact") << "ul.lookup"
                                     << QByteArray(R"({"AoR":"bob@beta.test","Contacts":[{"Contact":{"Address":"sip:bob@127.0.0.1:5070"}}]})")
                                     << QStringList{"\n1 contact of 1 address of record"};
        QTest::newRow("usrloc without domains") << "ul.lookup"
                                                << QByteArray(R"({"AoR":"bob","Contacts":[{"Contact":{"Address":"sip:bob@127.0.0.1:5070"}},{"Contact":{"Address":"sip:bob@127.0.0.1:5080"}}]})")
                                                << QStringList{"sip:bob (no domain) ", "2 contacts of 1 address of record"};
        QTest::newRow("one call") << "dlg.list" << QByteArray(R"([{"call-id":"c1","from_uri":"sip:a@x","to_uri":"sip:b@x","state":4}])")
                                  << QStringList{"\n1 call"};
        QTest::newRow("no call") << "dlg.list" << QByteArray("[]") << QStringList{"\n0 calls"};
    }

    void tableTexts()
    {
        QFETCH(QString, method);
        QFETCH(QByteArray, result);
        QFETCH(QStringList, expected);
        const QJsonValue value = QJsonDocument::fromJson("[" + result + "]").array().at(0);
        const QString text = method == QLatin1String("dlg.list") ? KamailioTables::hintsTable(value, 0)
                                                                 : KamailioTables::peersTable(KamailioTables::contactRows(value));
        for (const QString &e : qAsConst(expected))
            QVERIFY2(text.contains(e), qPrintable(text));
        QVERIFY2(!text.contains(QLatin1String("1 calls")) && !text.contains(QLatin1String("1 contacts")), qPrintable(text));
    }

    // A call that is up shows in the hints, gone once it ends.
    void callInHints()
    {
        QProcess call;
        call.start(QStringLiteral(SIP_UA_PATH),
                   {QStringLiteral("--proxy"), m_kamailio.proxy(), QStringLiteral("call"), QStringLiteral("alice@alpha.test"),
                    QStringLiteral("bob@beta.test"), QStringLiteral("--hold-stdin")});
        QString output;
        QTRY_VERIFY_WITH_TIMEOUT((output += QString::fromUtf8(call.readAllStandardOutput())).contains(QLatin1String("\nup ")), 10000);
        const QString callId = output.section(QStringLiteral("call-id "), 1).section(QLatin1Char('\n'), 0, 0);

        ServerCommandResponse r = run(m_commands, QStringLiteral("core show hints"));
        QVERIFY2(r.executed, qPrintable(r.detail));
        const QStringList row = r.output.split(QLatin1Char('\n')).filter(callId);
        QCOMPARE(row.size(), 1);
        QCOMPARE(row.first().simplified(), QStringLiteral("sip:alice@alpha.test sip:bob@beta.test Up %1 %2")
                                               .arg(row.first().simplified().section(QLatin1Char(' '), 3, 3), callId));

        call.closeWriteChannel();
        QVERIFY(call.waitForFinished(10000));
        QVERIFY(QString::fromUtf8(call.readAllStandardOutput()).contains(QLatin1String("ended 200")));
        r = run(m_commands, QStringLiteral("core show hints"));
        QVERIFY2(!r.output.contains(callId), qPrintable(r.output));
    }

    void tenants()
    {
        bool done = false;
        QVector<KamailioTables::Tenant> tenants;
        m_commands->fetchTenants([&](bool ok, const QVector<KamailioTables::Tenant> &t, const QString &error) {
            QVERIFY2(ok, qPrintable(error));
            done = true;
            tenants = t;
        });
        QTRY_VERIFY(done);
        QCOMPARE(tenants.size(), 2);
        QCOMPARE(tenants.at(0).uuid, AlphaUuid);
        QCOMPARE(tenants.at(0).name, QStringLiteral("alpha.test"));
        QCOMPARE(tenants.at(1).uuid, BetaUuid);
        QCOMPARE(tenants.at(1).name, QStringLiteral("beta.example, beta.test"));
    }

    void version()
    {
        QString version;
        m_commands->fetchVersion([&](bool ok, const QString &v, const QString &error) {
            QVERIFY2(ok, qPrintable(error));
            version = v;
        });
        QTRY_VERIFY(!version.isEmpty());
        QVERIFY2(QRegularExpression(QStringLiteral("^kamailio 5\\.\\d+\\.\\d+ \\S+$")).match(version).hasMatch(),
                 qPrintable(version));
    }

    // Last: Kamailio goes away under the agent.
    void kamailioStopped()
    {
        m_kamailio.stop();
        const ServerCommandResponse r = run(m_commands, QStringLiteral("sip show peers"));
        QVERIFY(!r.executed);
        QCOMPARE(r.code, int(KamailioCommands::Unavailable));
        QVERIFY2(r.detail.contains(QLatin1String("not running")) || r.detail.contains(QLatin1String("does not exist")),
                 qPrintable(r.detail));
        bool done = false;
        m_commands->fetchTenants([&](bool ok, const QVector<KamailioTables::Tenant> &, const QString &) {
            QVERIFY(!ok);
            done = true;
        });
        QTRY_VERIFY(done);
    }
};

QTEST_GUILESS_MAIN(TestKamailioCommands)
#include "tst_kamailiocommands.moc"
