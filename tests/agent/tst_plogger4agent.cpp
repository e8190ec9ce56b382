// plogger4-agent end to end: a real Kamailio on loopback, its output followed
// by the agent, SIP traffic from sip-ua, and the link's client (and the
// window) logged in to the agent.

#include "callflowmodel.h"
#include "callflowwindow.h"
#include "hepbuilder.h"
#include "kamailioprocess.h"
#include "knownexchanges.h"
#include "logmessagemodel.h"
#include "logviewselectitemdelegate.h"
#include "modalanswerer.h"
#include "pbxlink.h"
#include "popupanswerer.h"
#include "quitreset.h"
#include "serverannouncement.h"
#include "wdgploggergui.h"

#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QtTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const QString AlphaUuid = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");
const QString HepKey = QStringLiteral("capture-s3cret");

// What siptrace and hlog() sent, as opposed to Kamailio's own log lines.
bool fromHep(const DiagnosticMessage &m)
{
    return m.message.startsWith(QLatin1String("SIP from ")) || m.message.startsWith(QLatin1String("INFO: hlog "));
}

// The build's agent, or an installed one named by PLOGGER4_AGENT, which then
// runs as the user PLOGGER4_AGENT_USER (through setpriv, as root) like its
// service.
QString agentProgram()
{
    const QString installed = qEnvironmentVariable("PLOGGER4_AGENT");
    return installed.isEmpty() ? QStringLiteral(AGENT_PATH) : installed;
}

QString agentUser()
{
    return qEnvironmentVariable("PLOGGER4_AGENT_USER");
}

// deny-syscalls where the agent's user may run it: the build tree may lie
// in a folder only root enters.
QString g_denySyscalls;

// The unit's SystemCallFilter as deny-syscalls takes it: the calls the unit
// allows again after denying their groups, each as "--allow NAME".
QStringList unitAllowedCalls()
{
    QFile unit(QStringLiteral(AGENT_UNIT_PATH));
    if (!unit.open(QIODevice::ReadOnly))
        return {};
    QStringList args;
    const QLatin1String key("SystemCallFilter=");
    for (const QString &line : QString::fromUtf8(unit.readAll()).split(QLatin1Char('\n'))) {
        const QString value = line.trimmed();
        if (!value.startsWith(key) || value.contains(QLatin1Char('~')) || value.contains(QLatin1Char('@')))
            continue;
        for (const QString &name : value.mid(key.size()).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            args << QStringLiteral("--allow") << name;
    }
    return args;
}

// The agent as a child process, with what it prints.
class AgentProcess
{
public:
    ~AgentProcess() { stop(); }

    bool start(const QStringList &args)
    {
        if (agentUser().isEmpty()) {
            m_process.setProgram(agentProgram());
            m_process.setArguments(args + QStringList{QStringLiteral("--allow-root")});
        } else {
            // The unit's NoNewPrivileges, CapabilityBoundingSet, AmbientCapabilities
            // and SystemCallFilter (the calls it denies, less those it allows again).
            m_process.setProgram(QStringLiteral("setpriv"));
            m_process.setArguments(QStringList{QStringLiteral("--reuid"), agentUser(), QStringLiteral("--regid"), agentUser(),
                                               QStringLiteral("--init-groups"), QStringLiteral("--no-new-privs"),
                                               QStringLiteral("--bounding-set=-all,+net_raw"),
                                               QStringLiteral("--inh-caps=-all,+net_raw"),
                                               QStringLiteral("--ambient-caps=-all,+net_raw"), g_denySyscalls}
                                   + unitAllowedCalls() + QStringList{QStringLiteral("--"), agentProgram()} + args);
        }
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        ServerAnnouncement served;
        const bool up = served.waitFor(m_process);
        address = served.address;
        fingerprint = served.fingerprint;
        port = served.port;
        return up;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    QString events() { return events_ += QString::fromUtf8(m_process.readAllStandardError()); }

    // The nice value of the agent's thread of that name, or -100 when none.
    int threadNice(const QByteArray &name) const
    {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(m_process.processId());
        for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks + QLatin1Char('/') + tid + QStringLiteral("/comm"));
            QFile stat(tasks + QLatin1Char('/') + tid + QStringLiteral("/stat"));
            if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name || !stat.open(QIODevice::ReadOnly))
                continue;
            // The fields after the name in parentheses start at the third.
            const QByteArray line = stat.readAll();
            return line.mid(line.lastIndexOf(')') + 2).split(' ').value(19 - 3).toInt();
        }
        return -100;
    }

    QString address;
    QString fingerprint;
    quint16 port = 0;

private:
    QProcess m_process;
    QString events_;
};

// A logged-in client of the link, keeping what it receives.
class Client : public QObject
{
public:
    explicit Client(const QString &dataDir)
        : link(QStringLiteral("test"), QStringLiteral("1"), QStringLiteral("plogger-test"), QStringLiteral("9.9"), dataDir)
    {
        connect(&link, &PbxLink::loggedToServer, this, [this] { logged = true; });
        connect(&link, &PbxLink::unloggedFromServer, this, [this](const QString &why) { ended = why; });
        connect(&link, &PbxLink::sigTenantListReceived, this,
                [this](const QMap<QString, QString> &t) { tenants = t; });
        connect(&link, &PbxLink::sigDiagnosticMessageReceived, this,
                [this](const DiagnosticMessage &m) { messages << m; });
        connect(&link, &PbxLink::sigServerCommandResponse, this,
                [this](const ServerCommandResponse &r) { responses << r; });
        connect(&link, &PbxLink::sigHistoryCalls, this,
                [this](const QString &, const QVector<HistoryCall> &calls, bool) { historyCalls = calls; ++answers; });
        connect(&link, &PbxLink::sigHistoryRows, this,
                [this](const QString &, const QVector<DiagnosticMessage> &rows, bool) { historyRows = rows; ++answers; });
        connect(&link, &PbxLink::sigHistoryError, this, [this](const QString &, const QString &why) {
            historyError = why;
            ++answers;
        });
    }
    // One history request, answered.
    bool ask(HistoryRequest request)
    {
        const int before = answers;
        request.id = QString::number(before);
        link.sendHistoryRequest(request);
        return QTest::qWaitFor([&] { return answers > before; }, 15000) && historyError.isEmpty();
    }

    // Kamailio's log lines of the call, or what HEP brought of it.
    QList<DiagnosticMessage> ofCall(const QString &callId, bool hep = false) const
    {
        QList<DiagnosticMessage> rows;
        for (const DiagnosticMessage &m : messages) {
            if (m.linkedId == callId && fromHep(m) == hep)
                rows << m;
        }
        return rows;
    }

    ServerCommandResponse run(const QString &command, const QStringList &params = {})
    {
        const int before = responses.size();
        link.sendServerCommand(ServerCommand{QStringLiteral("{%1}").arg(before), command, params});
        if (!QTest::qWaitFor([&] { return responses.size() > before; }, 15000))
            return {};
        return responses.last();
    }

    PbxLink link;
    bool logged = false;
    QString ended;
    QMap<QString, QString> tenants;
    QList<DiagnosticMessage> messages;
    QList<ServerCommandResponse> responses;
    int answers = 0;
    QVector<HistoryCall> historyCalls;
    QVector<DiagnosticMessage> historyRows;
    QString historyError;
};

}

class tst_Plogger4Agent : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void callRowsCarryTheCall_data();
    void callRowsCarryTheCall();
    void commands();
    void hostileTextIsPlain_data();
    void hostileTextIsPlain();
    void windowEmphasisesOneCall();
    void windowDrawsAnsweredCallsFlow();
    void callsFoundInHistoryAfterRestart();

private:
    // Logs the window in to the agent as an administrator of no tenant.
    void loginWindow(wdgPLoggerGui *window);
    // The call's id from sip-ua's output.
    static QString callIdOf(const QString &sipUaOutput);
    std::unique_ptr<Client> login(const QString &tenant = QString());
    // sip-ua on the test's Kamailio; its output once it ends.
    QString sipUa(const QStringList &args);
    // Kamailio's lines of one call, as it logged them.
    QStringList kamailioLinesOf(const QString &callId);

    QTemporaryDir m_dir;
    KamailioProcess m_kamailio;
    AgentProcess m_agent;
    QStringList m_agentArgs;
    quint16 m_hepPort = 0;
};

void tst_Plogger4Agent::initTestCase()
{
    PBXLINK::registerMetaTypes();
    QVERIFY(m_dir.isValid());
    {
        QUdpSocket free;
        QVERIFY(free.bind(QHostAddress(QHostAddress::LocalHost), 0, QAbstractSocket::DontShareAddress));
        m_hepPort = free.localPort();
    }
    m_kamailio.hepPort = m_hepPort;
    m_kamailio.hepKey = HepKey;
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
    m_kamailio.outputFile = m_dir.filePath(QStringLiteral("kamailio.log"));
    QVERIFY2(m_kamailio.start(), qPrintable(m_kamailio.error));

    QProcess passwd;
    passwd.start(agentProgram(), {QStringLiteral("passwd"), QStringLiteral("admin"), QStringLiteral("--accounts"),
                                              m_dir.filePath(QStringLiteral("accounts"))});
    passwd.write("s3cret\n");
    passwd.closeWriteChannel();
    QVERIFY(passwd.waitForFinished(10000));
    QCOMPARE(passwd.exitCode(), 0);
    // Root gives a new file to the packaged service's group, where it exists.
    const QFileInfo accounts(m_dir.filePath(QStringLiteral("accounts")));
    const QFile::Permissions readable = accounts.group() == QLatin1String("plogger4-agent") && accounts.ownerId() == 0
        ? QFile::ReadOther
        : QFile::ReadOther | QFile::ReadGroup;
    QCOMPARE(accounts.permissions() & readable, QFile::Permissions());
    // A user of the test's choosing has no package group to read it through.
    if (!agentUser().isEmpty() && accounts.group() != QLatin1String("plogger4-agent")) {
        const struct passwd *user = ::getpwnam(qPrintable(agentUser()));
        QVERIFY(user);
        QCOMPARE(::chown(QFile::encodeName(accounts.filePath()).constData(), user->pw_uid, user->pw_gid), 0);
    }

    const QString state = m_dir.filePath(QStringLiteral("state"));
    // A second log, read beside Kamailio's output.
    QFile second(m_dir.filePath(QStringLiteral("second.log")));
    QVERIFY(second.open(QIODevice::WriteOnly));
    QVERIFY(second.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    const group *kamailio = agentUser().isEmpty() ? nullptr : ::getgrnam("kamailio");
    if (!agentUser().isEmpty()) {
        // What the service's user reaches on Debian: the log, the accounts,
        // its state folder, and Kamailio's socket through the group kamailio.
        const struct passwd *user = ::getpwnam(qPrintable(agentUser()));
        QVERIFY(user && kamailio);
        QVERIFY(QDir().mkpath(state));
        QCOMPARE(::chown(QFile::encodeName(state).constData(), user->pw_uid, user->pw_gid), 0);
        for (const QString &path : {m_dir.path(), QFileInfo(m_kamailio.runDir).path(), m_kamailio.runDir})
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_kamailio.outputFile).constData(), 0644), 0);
        QCOMPARE(::chown(QFile::encodeName(m_kamailio.rpcSocket()).constData(), uid_t(-1), kamailio->gr_gid), 0);
        g_denySyscalls = m_dir.filePath(QStringLiteral("deny-syscalls"));
        QVERIFY(QFile::copy(QStringLiteral(DENY_SYSCALLS_PATH), g_denySyscalls));
        QCOMPARE(::chmod(QFile::encodeName(g_denySyscalls).constData(), 0755), 0);
    }
    m_agentArgs = QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--source"),
                              QStringLiteral("file:") + m_kamailio.outputFile, QStringLiteral("--source"),
                              QStringLiteral("file:") + second.fileName(), QStringLiteral("--accounts"),
                              m_dir.filePath(QStringLiteral("accounts")), QStringLiteral("--state-dir"), state,
                              QStringLiteral("--runtime-dir"), state, QStringLiteral("--rpc-socket"), m_kamailio.rpcSocket(),
                              QStringLiteral("--tenants-from-rpc"), QStringLiteral("--hep"),
                              QStringLiteral("127.0.0.1:%1").arg(m_hepPort), QStringLiteral("--hep-password"), HepKey};
    QVERIFY2(m_agent.start(m_agentArgs), qPrintable(m_agent.events()));
    if (kamailio) {
        // Kamailio, as its own user, could answer into the agent's socket.
        const QStringList reply{QStringLiteral("plogger4-agent-rpc-*.sock")};
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(state).entryList(reply, QDir::System).isEmpty(), 10000);
        QCOMPARE(QDir(state).entryInfoList(reply, QDir::System).constFirst().groupId(), kamailio->gr_gid);
    }
    // Trusted beforehand, as "Si" in the window would.
    QVERIFY(KnownExchanges(m_dir.path())
                .remember(KnownExchanges::addressKey(QHostAddress::LocalHost, m_agent.port), m_agent.fingerprint));

    const QString registered = sipUa({QStringLiteral("register"), QStringLiteral("alice@alpha.test"),
                                      QStringLiteral("bob@beta.test")});
    QVERIFY2(registered.count(QLatin1String("registered ")) == 2, qPrintable(registered));
}

void tst_Plogger4Agent::cleanupTestCase()
{
    m_agent.stop();
    m_kamailio.stop();
}

std::unique_ptr<Client> tst_Plogger4Agent::login(const QString &tenant)
{
    auto client = std::make_unique<Client>(m_dir.path());
    client->link.init();
    client->link.setServerAddress(m_agent.address);
    client->link.connectToServer(QStringLiteral("admin"), QStringLiteral("s3cret"), QStringLiteral("alpha.test"),
                                 PBXLINK::AppModeDiagnostic);
    if (!QTest::qWaitFor([&] { return client->logged || !client->ended.isEmpty(); }, 10000) || !client->logged) {
        qWarning() << "login failed:" << client->ended << m_agent.events();
        return nullptr;
    }
    client->link.getTenantList();
    if (!QTest::qWaitFor([&] { return !client->tenants.isEmpty(); }, 10000))
        return nullptr;
    if (!tenant.isEmpty()) {
        client->link.subscribeTenantEvents(tenant);
        // A registration in the tenant's domain shows when the subscription holds.
        sipUa({QStringLiteral("register"), QStringLiteral("dave@alpha.test")});
        if (!QTest::qWaitFor([&] {
                return std::any_of(client->messages.cbegin(), client->messages.cend(),
                                   [&](const DiagnosticMessage &m) { return m.tenantUuid == tenant; });
            }, 10000))
            return nullptr;
        client->messages.clear();
    }
    return client;
}

QString tst_Plogger4Agent::sipUa(const QStringList &args)
{
    QProcess ua;
    ua.start(QStringLiteral(SIP_UA_PATH), QStringList{QStringLiteral("--proxy"), m_kamailio.proxy()} + args);
    if (!ua.waitForFinished(20000))
        return QStringLiteral("sip-ua did not end");
    return QString::fromUtf8(ua.readAllStandardOutput() + ua.readAllStandardError());
}

QStringList tst_Plogger4Agent::kamailioLinesOf(const QString &callId)
{
    // Lines of a SIP message name its Call-ID in their prefix.
    return m_kamailio.linesWith(QStringLiteral(" %1 t=").arg(callId));
}

void tst_Plogger4Agent::callRowsCarryTheCall_data()
{
    QTest::addColumn<QStringList>("call");
    QTest::addColumn<QString>("lastLine");  // Kamailio's last line of the call
    QTest::addColumn<QStringList>("methods");
    QTest::addColumn<QStringList>("sipLines"); // first lines of SIP messages over HEP, "level text"
    QTest::newRow("answered call") << QStringList{"call", "alice@alpha.test", "carol@alpha.test"}
                                   << "dialog end" << QStringList{"INVITE", "ACK", "BYE"}
                                   << QStringList{"4 INVITE sip:carol@", "4 SIP/2.0 180 ", "4 SIP/2.0 200 ", "4 ACK sip:",
                                                  "4 BYE sip:"};
    QTest::newRow("unregistered callee")
        << QStringList{"call", "alice@alpha.test", "nobody@alpha.test", "--callee-unregistered", "--expect", "404"}
        << "REQ ACK" << QStringList{"INVITE", "ACK"} << QStringList{"4 INVITE sip:nobody@", "2 SIP/2.0 404 ", "4 ACK sip:"};
}

void tst_Plogger4Agent::callRowsCarryTheCall()
{
    QFETCH(QStringList, call);
    QFETCH(QString, lastLine);
    QFETCH(QStringList, methods);
    QFETCH(QStringList, sipLines);
    // One client sees the events of no tenant, the other those of the caller's.
    auto anyone = login();
    auto alpha = login(AlphaUuid);
    QVERIFY(anyone && alpha);

    const QString output = sipUa(call);
    const QString callId = output.section(QStringLiteral("call-id "), 1).section(QLatin1Char('\n'), 0, 0).trimmed();
    QVERIFY2(!callId.isEmpty(), qPrintable(output));
    QTRY_VERIFY_WITH_TIMEOUT(!kamailioLinesOf(callId).filter(lastLine).isEmpty(), 10000);
    const QStringList logged = kamailioLinesOf(callId);

    // Every line of the call reaches a client, as a row of that call.
    QTRY_COMPARE_WITH_TIMEOUT(anyone->ofCall(callId).size() + alpha->ofCall(callId).size(), logged.size(), 10000);
    const QRegularExpression transaction(QStringLiteral("^%1;\\d+ ([A-Z]+)$").arg(QRegularExpression::escape(callId)));
    // The call's SIP messages and hlog() lines, beside its log lines and of
    // its tenant, decided by the Request-URI's domain.
    auto sipSeen = [&] {
        QStringList seen;
        for (const DiagnosticMessage &m : alpha->ofCall(callId, true))
            seen << m.verbosity + QLatin1Char(' ') + m.message.section(QLatin1Char('\n'), 1, 1);
        return seen;
    };
    for (const QString &line : sipLines)
        QTRY_VERIFY2_WITH_TIMEOUT(!sipSeen().filter(line).isEmpty(), qPrintable(sipSeen().join('\n') + m_agent.events()), 10000);
    QVERIFY(anyone->ofCall(callId, true).isEmpty());
    const QList<DiagnosticMessage> hep = alpha->ofCall(callId, true);
    QVERIFY(std::any_of(hep.cbegin(), hep.cend(), [](const DiagnosticMessage &m) {
        return m.verbosity == QLatin1String("3") && m.message.startsWith(QLatin1String("INFO: hlog CSeq: "));
    }));
    QSet<QString> seenMethods;
    for (const DiagnosticMessage &m : anyone->ofCall(callId) + alpha->ofCall(callId) + alpha->ofCall(callId, true)) {
        const QRegularExpressionMatch match = transaction.match(m.uniqueId);
        QVERIFY2(match.hasMatch(), qPrintable(m.uniqueId));
        seenMethods.insert(match.captured(1));
    }
    for (const QString &method : methods)
        QVERIFY2(seenMethods.contains(method), qPrintable(method));
    // After subscribing, a tenant's rows only; before, none of any tenant.
    for (const DiagnosticMessage &m : qAsConst(alpha->messages))
        QCOMPARE(m.tenantUuid, AlphaUuid);
    for (const DiagnosticMessage &m : qAsConst(anyone->messages))
        QVERIFY2(m.tenantUuid.isEmpty(), qPrintable(m.message));
    QVERIFY(!alpha->ofCall(callId).isEmpty());
    if (call.contains(QLatin1String("--callee-unregistered"))) {
        const QList<DiagnosticMessage> rows = alpha->ofCall(callId);
        QVERIFY(std::any_of(rows.cbegin(), rows.cend(), [](const DiagnosticMessage &m) {
            return m.verbosity == QLatin1String("1") && m.message.contains(QLatin1String("no contact for"));
        }));
    }
}

void tst_Plogger4Agent::commands()
{
    auto client = login();
    QVERIFY(client);
    QCOMPARE(client->tenants.value(AlphaUuid), QStringLiteral("alpha.test"));

    QFile second(m_dir.filePath(QStringLiteral("second.log")));
    QVERIFY(second.open(QIODevice::Append));
    second.write("NOTICE: a line of the second source\n");
    second.flush();
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(client->messages.cbegin(), client->messages.cend(), [](const DiagnosticMessage &m) {
        return m.message == QLatin1String("NOTICE: a line of the second source");
    }), 10000);

    ServerCommandResponse r = client->run(QStringLiteral("sip show peers"));
    QVERIFY2(r.executed, qPrintable(r.detail));
    QVERIFY2(r.output.startsWith(QLatin1String("Response: Follows\n")), qPrintable(r.output));
    QVERIFY2(r.output.contains(QLatin1String("sip:alice@alpha.test")) && r.output.contains(QLatin1String("sip:bob@beta.test")),
             qPrintable(r.output));

    QProcess held;
    held.start(QStringLiteral(SIP_UA_PATH), {QStringLiteral("--proxy"), m_kamailio.proxy(), QStringLiteral("call"),
                                             QStringLiteral("alice@alpha.test"), QStringLiteral("erin@beta.test"),
                                             QStringLiteral("--hold-stdin")});
    QString output;
    QTRY_VERIFY_WITH_TIMEOUT((output += QString::fromUtf8(held.readAllStandardOutput())).contains(QLatin1String("\nup ")),
                             10000);
    const QString callId = output.section(QStringLiteral("call-id "), 1).section(QLatin1Char('\n'), 0, 0).trimmed();
    r = client->run(QStringLiteral("core show hints"));
    QVERIFY2(r.executed && r.output.contains(callId), qPrintable(r.output + r.detail));
    held.closeWriteChannel();
    QVERIFY(held.waitForFinished(10000));

    // Debian's ping, with the capability the service's unit grants.
    r = client->run(QStringLiteral("ping"), {QStringLiteral("127.0.0.1")});
    QVERIFY2(r.executed && r.code == 0 && r.output.contains(QLatin1String(" 0% packet loss")), qPrintable(r.output + r.detail));

    r = client->run(QStringLiteral("ping"), {QStringLiteral("-oProxyCommand=touch /tmp/x")});
    QVERIFY(!r.executed);
    QVERIFY2(!r.detail.isEmpty(), "a refused parameter says why");

    // HEP with another capture password is counted, never shown.
    QUdpSocket forger;
    forger.writeDatagram(HepBuilder()
                             .chunk(14, "wrong")
                             .sip("OPTIONS sip:x@alpha.test SIP/2.0\r\nCall-ID: forged\r\nCSeq: 1 OPTIONS\r\n\r\n")
                             .packet(),
                         QHostAddress(QHostAddress::LocalHost), m_hepPort);
    QTRY_VERIFY_WITH_TIMEOUT((r = client->run(QStringLiteral("hep stats"))).output.contains(QLatin1String("unauthenticated=1")),
                             10000);
    QVERIFY2(r.executed && !r.output.contains(QLatin1String("sip=0 ")), qPrintable(r.output));
    QVERIFY(client->ofCall(QStringLiteral("forged"), true).isEmpty());
}

void tst_Plogger4Agent::cleanup()
{
    // A window gone asks the event loop to end; menus of the next would not open.
    clearQuitRequest();
}

void tst_Plogger4Agent::loginWindow(wdgPLoggerGui *window)
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->findChild<QLineEdit *>(QStringLiteral("txtPAddress"))->setText(m_agent.address);
    window->findChild<QLineEdit *>(QStringLiteral("txtUser"))->setText(QStringLiteral("admin@alpha.test"));
    window->findChild<QLineEdit *>(QStringLiteral("txtPwd"))->setText(QStringLiteral("s3cret"));
    QVERIFY(QMetaObject::invokeMethod(window, "connectToP"));
    auto *status = window->findChild<QLabel *>(QStringLiteral("lblStatusText"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Stato: Connesso"), 10000);
}

QString tst_Plogger4Agent::callIdOf(const QString &sipUaOutput)
{
    return sipUaOutput.section(QStringLiteral("call-id "), 1).section(QLatin1Char('\n'), 0, 0).trimmed();
}

void tst_Plogger4Agent::hostileTextIsPlain_data()
{
    QTest::addColumn<QByteArray>("hostile");
    QTest::addColumn<QString>("shown");

    const QString r(QChar(0xFFFD));
    QTest::newRow("ESC sequences") << QByteArray("\x1b[2J\x1b]0;title\x07x") << r + "[2J" + r + "]0;title" + r + "x";
    QTest::newRow("BEL") << QByteArray("ring\x07\x07") << "ring" + r + r;
    QTest::newRow("right-to-left override") << QByteArray("\xe2\x80\xae" "gpj.exe") << r + "gpj.exe";
    QTest::newRow("directional isolates") << QByteArray("\xe2\x81\xa6" "a" "\xe2\x81\xa9") << r + "a" + r;
    QTest::newRow("C1 control sequence introducer 0x9B") << QByteArray("\xc2\x9b" "31m") << r + "31m";
    QTest::newRow("DEL, backspace, carriage return") << QByteArray("a\x7f\x08\rb") << "a" + r + r + r + "b";
    QTest::newRow("tab and right-to-left mark stay") << QByteArray("a\tb\xe2\x80\x8f")
                                                     << QStringLiteral("a\tb") + QChar(0x200F);
}

// Whatever source a row comes from, a peer's text in any of its members
// reaches the clients unable to steer a terminal or reorder the screen.
void tst_Plogger4Agent::hostileTextIsPlain()
{
    QFETCH(QByteArray, hostile);
    QFETCH(QString, shown);
    auto client = login();
    QVERIFY(client);
    static int row = 0;
    const QByteArray marker = "hostile" + QByteArray::number(++row);
    const QByteArray callId = marker + "\x1b[0m@h";
    const QString shownCallId = QString::fromLatin1(marker) + QChar(0xFFFD) + QStringLiteral("[0m@h");

    QFile second(m_dir.filePath(QStringLiteral("second.log")));
    QVERIFY(second.open(QIODevice::Append));
    second.write("INFO: {1 1 INVITE " + callId + "} " + marker + " " + hostile + "\n");
    second.flush();
    QUdpSocket hep;
    hep.writeDatagram(HepBuilder().chunk(14, HepKey.toUtf8()).log("INFO: " + marker + " " + hostile, callId).packet(),
                      QHostAddress(QHostAddress::LocalHost), m_hepPort);

    auto rows = [&] {
        QList<DiagnosticMessage> found;
        for (const DiagnosticMessage &m : qAsConst(client->messages)) {
            if (m.message.contains(QLatin1String(marker)))
                found << m;
        }
        return found;
    };
    QTRY_COMPARE_WITH_TIMEOUT(rows().size(), 2, 10000);
    for (const DiagnosticMessage &m : rows()) {
        QVERIFY2(m.message.endsWith(QLatin1String(marker + ' ') + shown), qPrintable(m.message));
        QCOMPARE(m.linkedId, shownCallId);
        QVERIFY(m.uniqueId.startsWith(shownCallId));
    }
}

void tst_Plogger4Agent::windowEmphasisesOneCall()
{
    ModalAnswerer answerer(QStringLiteral("Ok"));
    wdgPLoggerGui window;
    loginWindow(&window);
    if (QTest::currentTestFailed())
        return;

    // Two calls of no tenant's domain, so that a window without a tenant sees them.
    QString first = sipUa({QStringLiteral("call"), QStringLiteral("frank@gamma.test"), QStringLiteral("grace@gamma.test")});
    QString second = sipUa({QStringLiteral("call"), QStringLiteral("heidi@gamma.test"), QStringLiteral("ivan@gamma.test")});
    first = callIdOf(first);
    second = callIdOf(second);
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    auto *view = window.findChild<QTableView *>(QStringLiteral("tbLogView"));
    QAbstractItemModel *rows = view->model();
    auto rowsOf = [&](const QString &callId) {
        QVector<int> found;
        for (int r = 0; r < rows->rowCount(); ++r) {
            if (rows->index(r, LogMessageModel::LinkedIdColumn).data().toString() == callId)
                found << r;
        }
        return found;
    };
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(first).size() >= 3 && rowsOf(second).size() >= 3, 10000);

    // "Seleziona chiamata" on a row of the first call.
    PopupAnswerer popup(QStringLiteral("Seleziona chiamata"));
    const int clicked = rowsOf(first).constFirst();
    view->scrollTo(rows->index(clicked, LogMessageModel::MessageColumn));
    const QPoint at = view->visualRect(rows->index(clicked, LogMessageModel::MessageColumn)).center();
    QVERIFY(QMetaObject::invokeMethod(&window, "onLogViewContextMenu", Q_ARG(QPoint, at)));
    QTRY_VERIFY(popup.answered());
    auto *delegate = qobject_cast<LogViewSelectItemDelegate *>(view->itemDelegate());
    QVERIFY(delegate);
    // The emphasis is every row whose call is the clicked row's, and only those.
    QCOMPARE(delegate->selectedColumn(), int(LogMessageModel::LinkedIdColumn));
    QCOMPARE(delegate->selectedValue(), first);
}

// The flow of an answered call, opened from the table as a user would, saved
// as SVG: the ladder across caller, Kamailio and callee, in time order.
void tst_Plogger4Agent::windowDrawsAnsweredCallsFlow()
{
    ModalAnswerer answerer(QStringLiteral("Ok"));
    wdgPLoggerGui window;
    loginWindow(&window);
    if (QTest::currentTestFailed())
        return;
    // Hung up only once Kamailio has relayed the ACK: its workers could
    // otherwise pass on a BYE sent right behind it first.
    QProcess call;
    call.start(QStringLiteral(SIP_UA_PATH), {QStringLiteral("--proxy"), m_kamailio.proxy(), QStringLiteral("call"),
                                             QStringLiteral("judy@gamma.test"), QStringLiteral("mallory@gamma.test"),
                                             QStringLiteral("--ring-ms"), QStringLiteral("100"), QStringLiteral("--hold-stdin")});
    QString output;
    QTRY_VERIFY_WITH_TIMEOUT((output += QString::fromUtf8(call.readAllStandardOutput())).contains(QLatin1String("\nup ")),
                             10000);
    const QString callId = callIdOf(output);
    QVERIFY2(!callId.isEmpty(), qPrintable(output));

    auto *view = window.findChild<QTableView *>(QStringLiteral("tbLogView"));
    QAbstractItemModel *rows = view->model();
    const QRegularExpression byeCSeq(QStringLiteral("\nCSeq: *\\d+ BYE"));
    int clicked = -1;
    // The call's SIP messages whose start line begins so, and that are
    // about a BYE, when byeOnly.
    auto sipRows = [&](const QString &startLine, bool byeOnly) {
        int found = 0;
        for (int r = 0; r < rows->rowCount(); ++r) {
            if (rows->index(r, LogMessageModel::LinkedIdColumn).data().toString() != callId)
                continue;
            if (clicked < 0)
                clicked = r;
            const QString message = rows->index(r, LogMessageModel::MessageColumn).data().toString();
            if (message.startsWith(QLatin1String("SIP from"))
                && message.section(QLatin1Char('\n'), 1, 1).startsWith(startLine)
                && (!byeOnly || byeCSeq.match(message).hasMatch()))
                ++found;
        }
        return found;
    };
    // The ACK in and out of Kamailio.
    QTRY_VERIFY_WITH_TIMEOUT(sipRows(QStringLiteral("ACK "), false) >= 2, 10000);
    call.closeWriteChannel();
    QVERIFY(call.waitForFinished(10000));
    // Until both answers to the BYE, callee's and Kamailio's, are in.
    QTRY_VERIFY_WITH_TIMEOUT(sipRows(QStringLiteral("SIP/2.0 200"), true) >= 2, 10000);

    PopupAnswerer popup(QStringLiteral("Flusso della chiamata"));
    view->scrollTo(rows->index(clicked, LogMessageModel::MessageColumn));
    const QPoint at = view->visualRect(rows->index(clicked, LogMessageModel::MessageColumn)).center();
    QVERIFY(QMetaObject::invokeMethod(&window, "onLogViewContextMenu", Q_ARG(QPoint, at)));
    QTRY_VERIFY(popup.answered());
    CallFlowWindow *flow = nullptr;
    QTRY_VERIFY((flow = window.findChild<CallFlowWindow *>()) && flow->isVisible());
    QCOMPARE(flow->windowTitle(), QStringLiteral("Flusso della chiamata ") + callId);

    const QString path = m_dir.filePath(QStringLiteral("answered.svg"));
    QString error;
    QVERIFY2(flow->saveImage(path, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString svg = QString::fromUtf8(file.readAll());

    // The texts in drawing order, which is time order.
    QStringList texts;
    const QRegularExpression text(QStringLiteral("<text[^>]*>([^<]*)</text>"));
    for (auto it = text.globalMatch(svg); it.hasNext();)
        texts << it.next().captured(1).trimmed();
    const QString kamailio = QStringLiteral("127.0.0.1:%1").arg(m_kamailio.port);
    const QVector<CallFlowModel::Column> &columns = flow->model().columns();
    QCOMPARE(columns.size(), 3);
    QCOMPARE(columns.at(1).address, kamailio);
    QVERIFY(!columns.at(1).role.isEmpty());
    // The heads: caller, Kamailio, callee.
    const QStringList heads = texts.filter(QRegularExpression(QStringLiteral("^127\\.0\\.0\\.1:\\d+$"))).mid(0, 3);
    QCOMPARE(heads, (QStringList{columns.at(0).address, kamailio, columns.at(2).address}));
    const QStringList ladder{QStringLiteral("INVITE"), QStringLiteral("180 "), QStringLiteral("200 "),
                             QStringLiteral("ACK"), QStringLiteral("BYE"), QStringLiteral("200 ")};
    int next = 0;
    for (const QString &t : qAsConst(texts)) {
        if (next < ladder.size() && t.startsWith(ladder.at(next)))
            ++next;
    }
    // The arrows alone: the whole drawing is too long for a message.
    const QStringList arrows = texts.filter(QRegularExpression(QStringLiteral("^([A-Z]+|\\d{3} .*)$")));
    QVERIFY2(next == ladder.size(), qPrintable(arrows.join('|')));
    // Each of them over two hops, Kamailio in the middle.
    for (const QString &label : {QStringLiteral("INVITE"), QStringLiteral("ACK"), QStringLiteral("BYE")})
        QVERIFY2(texts.count(label) >= 2, qPrintable(label));
    // The picture in docs/agent.md is this call's.
    const QString picture = qEnvironmentVariable("FLOW_PICTURE");
    if (!picture.isEmpty())
        QVERIFY2(flow->saveImage(picture, &error), qPrintable(error));
}

// A call while no window is connected, another while the agent is stopped:
// after its start both are found by a user's name and by Call-ID, with
// every line Kamailio wrote of them.
void tst_Plogger4Agent::callsFoundInHistoryAfterRestart()
{
    const QString away = callIdOf(sipUa({QStringLiteral("call"), QStringLiteral("judy@gamma.test"), QStringLiteral("mallory@gamma.test")}));
    QVERIFY(!away.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!kamailioLinesOf(away).filter(QStringLiteral("dialog end")).isEmpty(), 10000);
    // Kept before the agent stops.
    {
        auto client = login();
        QVERIFY(client);
        HistoryRequest byId;
        byId.kind = HistoryRequest::Kind::Rows;
        byId.callId = away;
        QTRY_VERIFY_WITH_TIMEOUT(client->ask(byId) && client->historyRows.size() >= kamailioLinesOf(away).size(), 10000);
    }
    m_agent.stop();
    const QString stopped = callIdOf(sipUa({QStringLiteral("call"), QStringLiteral("oscar@gamma.test"), QStringLiteral("peggy@gamma.test")}));
    QVERIFY(!stopped.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!kamailioLinesOf(stopped).filter(QStringLiteral("dialog end")).isEmpty(), 10000);
    QVERIFY2(m_agent.start(m_agentArgs), qPrintable(m_agent.events()));
    QVERIFY(KnownExchanges(m_dir.path())
                .remember(KnownExchanges::addressKey(QHostAddress::LocalHost, m_agent.port), m_agent.fingerprint));

    // Under the unit's system call filter too, storing yields to serving.
    QTRY_COMPARE(m_agent.threadNice("HistoryWriter"), 10);

    auto client = login();
    QVERIFY(client);
    const struct
    {
        QString callId;
        QString user;
    } calls[] = {{away, QStringLiteral("mallory")}, {stopped, QStringLiteral("peggy")}};
    for (const auto &call : calls) {
        const QStringList logged = kamailioLinesOf(call.callId);
        // The user's registration is a Call-ID of its own that names him too.
        HistoryCall found;
        auto finds = [&](const QString &query) {
            HistoryRequest search;
            search.query = query;
            if (!client->ask(search))
                return false;
            for (const HistoryCall &c : qAsConst(client->historyCalls)) {
                if (c.callId == call.callId)
                    found = c;
            }
            return found.callId == call.callId;
        };
        for (const QString &query : {call.user, call.callId})
            QTRY_VERIFY2_WITH_TIMEOUT(finds(query), qPrintable(query + client->historyError), 10000);
        HistoryRequest rows;
        rows.kind = HistoryRequest::Kind::Rows;
        rows.callId = call.callId;
        QVERIFY2(client->ask(rows), qPrintable(client->historyError));
        QStringList kept;
        for (const DiagnosticMessage &m : qAsConst(client->historyRows)) {
            if (!fromHep(m))
                kept << m.message;
        }
        QCOMPARE(kept.size(), logged.size());
        for (int i = 0; i < logged.size(); ++i)
            QVERIFY2(logged.at(i).contains(kept.at(i)) || kept.at(i).contains(logged.at(i).trimmed()),
                     qPrintable(kept.at(i) + QLatin1String(" / ") + logged.at(i)));
        QCOMPARE(found.rows, client->historyRows.size());
    }
}

QTEST_MAIN(tst_Plogger4Agent)
#include "tst_plogger4agent.moc"
