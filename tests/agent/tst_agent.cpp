// The agent in this process against a Kamailio of the test's own making: a
// datagram socket that answers JSON-RPC as Kamailio would, with the methods
// the test gives it, and counts what it is asked.

#include "accountstore.h"
#include "agent.h"
#include "knownexchanges.h"
#include "pbxlink.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>

namespace {

const QString AlphaUuid = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");
const QString BetaUuid = QStringLiteral("8d41b6f0-2c3e-4a5b-9d7c-6e1f0a2b3c4d");

QJsonObject domains(const QStringList &pairs)  // "domain=did"
{
    QJsonArray list;
    for (const QString &p : pairs)
        list.append(QJsonObject{{QStringLiteral("domain"), p.section('=', 0, 0)}, {QStringLiteral("did"), p.section('=', 1)}});
    return QJsonObject{{QStringLiteral("domains"), list}, {QStringLiteral("attributes"), QJsonArray()}};
}

// Kamailio's JSON-RPC datagram socket: answers each method it is given,
// "Method Not Found" to others, as Kamailio does.
class FakeKamailio : public QObject
{
public:
    ~FakeKamailio() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool listen(const QString &path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return false;
        auto *notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &FakeKamailio::answer);
        return true;
    }

    QHash<QString, QJsonValue> results;
    QHash<QString, QString> errors;  // method -> Kamailio's message, code 500
    QStringList calls;

private:
    void answer()
    {
        char buffer[65536];
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        ssize_t n;
        while ((n = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &fromLength)) > 0) {
            const QJsonObject request = QJsonDocument::fromJson(QByteArray(buffer, int(n))).object();
            const QString method = request.value(QLatin1String("method")).toString();
            calls << method;
            QJsonObject reply{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("id"), request.value(QLatin1String("id"))}};
            if (method == QLatin1String("system.listMethods")) {
                QJsonArray names{QStringLiteral("system.listMethods")};
                for (const QString &m : results.keys() + errors.keys())
                    names.append(m);
                reply.insert(QStringLiteral("result"), names);
            } else if (results.contains(method)) {
                reply.insert(QStringLiteral("result"), results.value(method));
            } else {
                reply.insert(QStringLiteral("error"),
                             QJsonObject{{QStringLiteral("code"), 500},
                                         {QStringLiteral("message"), errors.value(method, QStringLiteral("Method Not Found"))}});
            }
            const QByteArray bytes = QJsonDocument(reply).toJson(QJsonDocument::Compact);
            ::sendto(m_fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<sockaddr *>(&from), fromLength);
            fromLength = sizeof from;
        }
    }

    int m_fd = -1;
};

// A logged-in client of the link, keeping what it receives.
class Client : public QObject
{
public:
    explicit Client(const QString &dataDir)
        : link(QStringLiteral("test"), QStringLiteral("1"), QStringLiteral("plogger-test"), QStringLiteral("9.9"), dataDir)
    {
        connect(&link, &PbxLink::loggedToServer, this, [this] { logged = true; });
        connect(&link, &PbxLink::sigTenantListReceived, this, [this](const QMap<QString, QString> &t) {
            tenants = t;
            ++tenantLists;
        });
        connect(&link, &PbxLink::sigServerCommandResponse, this,
                [this](const ServerCommandResponse &r) { responses << r; });
        connect(&link, &PbxLink::sigDiagnosticMessageReceived, this,
                [this](const DiagnosticMessage &m) { messages << m; });
    }

    PbxLink link;
    bool logged = false;
    QMap<QString, QString> tenants;
    int tenantLists = 0;
    QList<ServerCommandResponse> responses;
    QList<DiagnosticMessage> messages;
};

}

class tst_Agent : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void tenantFloodMakesOneCall();
    void changedTenantsArePushed();
    void missingModulesAreNotAsked_data();
    void missingModulesAreNotAsked();
    void lostSourceIsToldToLateClients();

private:
    bool startAgent(const QVector<PbxTenant> &configTenants = {}, const QString &source = QString());
    std::unique_ptr<Client> login();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeKamailio> m_kamailio;
    std::unique_ptr<Agent> m_agent;
    QStringList m_events;
    QString m_address;
    QString m_fingerprint;
};

void tst_Agent::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_kamailio = std::make_unique<FakeKamailio>();
    QVERIFY(m_kamailio->listen(m_dir->filePath(QStringLiteral("kamailio_rpc.sock"))));
    m_kamailio->results.insert(QStringLiteral("core.version"), QStringLiteral("kamailio 5.6.3 (x86_64/linux) "));
    m_kamailio->results.insert(QStringLiteral("domain.dump"), domains({"alpha.test=" + AlphaUuid}));
    m_kamailio->results.insert(QStringLiteral("ul.dump"), QJsonObject{{QStringLiteral("Domains"), QJsonArray()}});
    m_kamailio->results.insert(QStringLiteral("dlg.list"), QJsonArray());
    m_events.clear();
}

void tst_Agent::cleanup()
{
    m_agent.reset();
    m_kamailio.reset();
    m_dir.reset();
}

bool tst_Agent::startAgent(const QVector<PbxTenant> &configTenants, const QString &source)
{
    AccountStore accounts;
    accounts.setPassword(QStringLiteral("admin"), QStringLiteral("s3cret"));
    QString error;
    if (!accounts.save(m_dir->filePath(QStringLiteral("accounts")), &error))
        return false;
    QFile log(m_dir->filePath(QStringLiteral("kamailio.log")));
    if (!log.open(QIODevice::WriteOnly))
        return false;

    AgentConfig config;
    config.listen = QStringList{QStringLiteral("127.0.0.1:0")};
    config.stateDir = m_dir->filePath(QStringLiteral("state"));
    config.accountsFile = m_dir->filePath(QStringLiteral("accounts"));
    config.sources = QStringList{source.isEmpty() ? QStringLiteral("file:") + log.fileName() : source};
    config.rpcSocket = m_dir->filePath(QStringLiteral("kamailio_rpc.sock"));
    config.tenantsFromRpc = true;
    config.tenants = configTenants;
    m_agent = std::make_unique<Agent>(config);
    connect(m_agent.get(), &Agent::eventReported, this, [this](const QString &e) { m_events << e; });
    QString &fingerprint = m_fingerprint;
    fingerprint.clear();
    connect(m_agent.get(), &Agent::ready, this, [this](const QStringList &lines) {
        for (const QString &line : lines) {
            if (line.startsWith(QLatin1String("fingerprint ")))
                m_fingerprint = line.mid(12);
            else if (line.startsWith(QLatin1String("listening ")) && m_address.isEmpty())
                m_address = line.mid(10);
        }
    });
    m_address.clear();
    if (!m_agent->check(&error) || !m_agent->start(&error)) {
        qWarning() << error;
        return false;
    }
    if (!QTest::qWaitFor([&] { return !fingerprint.isEmpty(); }, 10000))
        return false;
    const quint16 port = quint16(m_address.section(QLatin1Char(':'), -1).toUInt());
    return KnownExchanges(m_dir->path()).remember(KnownExchanges::addressKey(QHostAddress::LocalHost, port), fingerprint);
}

std::unique_ptr<Client> tst_Agent::login()
{
    auto client = std::make_unique<Client>(m_dir->path());
    client->link.init();
    client->link.setServerAddress(m_address);
    client->link.connectToServer(QStringLiteral("admin"), QStringLiteral("s3cret"), QStringLiteral("alpha.test"),
                                 PBXLINK::AppModeDiagnostic);
    if (!QTest::qWaitFor([&] { return client->logged; }, 10000))
        return nullptr;
    client->link.getTenantList();
    if (!QTest::qWaitFor([&] { return client->tenantLists > 0; }, 10000))
        return nullptr;
    return client;
}

// A client asking for the tenants over and over costs Kamailio one call at
// most, and another client's command is answered meanwhile.
void tst_Agent::tenantFloodMakesOneCall()
{
    QVERIFY(startAgent());
    auto flooder = login();
    auto admin = login();
    QVERIFY(flooder && admin);
    const int before = m_kamailio->calls.count(QStringLiteral("domain.dump"));
    for (int i = 0; i < 2000; ++i)
        flooder->link.getTenantList();
    admin->link.sendServerCommand(ServerCommand{QStringLiteral("{1}"), QStringLiteral("core show hints"), {}});
    QTRY_VERIFY_WITH_TIMEOUT(!admin->responses.isEmpty(), 10000);
    QVERIFY2(admin->responses.constFirst().executed, qPrintable(admin->responses.constFirst().detail));
    QTRY_VERIFY(flooder->tenantLists > 1);
    QVERIFY2(m_kamailio->calls.count(QStringLiteral("domain.dump")) - before <= 1, qPrintable(m_kamailio->calls.join(' ')));
    QCOMPARE(flooder->tenants.value(AlphaUuid), QStringLiteral("alpha.test"));
}

// A domain added in Kamailio reaches the logged-in clients unasked.
void tst_Agent::changedTenantsArePushed()
{
    QVERIFY(startAgent());
    auto client = login();
    QVERIFY(client);
    QCOMPARE(client->tenants.keys(), QStringList{AlphaUuid});
    const int lists = client->tenantLists;
    m_agent->reload();  // an unchanged list is not sent again
    QTRY_VERIFY(m_kamailio->calls.count(QStringLiteral("domain.dump")) >= 2);
    m_kamailio->results.insert(QStringLiteral("domain.dump"), domains({"alpha.test=" + AlphaUuid, "beta.test=" + BetaUuid}));
    m_agent->reload();
    QTRY_COMPARE(client->tenants.value(BetaUuid), QStringLiteral("beta.test"));
    QCOMPARE(client->tenantLists, lists + 1);
}

void tst_Agent::missingModulesAreNotAsked_data()
{
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("detail");
    QTest::newRow("no dialog module") << "dlg.list" << "core show hints"
                                      << "core show hints needs Kamailio's dialog module: loadmodule \"dialog.so\"";
    QTest::newRow("no usrloc module") << "ul.dump" << "sip show peers"
                                      << "sip show peers needs Kamailio's usrloc module: loadmodule \"usrloc.so\"";
    // Tenants then come from the configuration, said once in the agent's log.
    QTest::newRow("no domain module") << "domain.dump" << "" << "";
}

void tst_Agent::missingModulesAreNotAsked()
{
    QFETCH(QString, missing);
    QFETCH(QString, command);
    QFETCH(QString, detail);
    m_kamailio->results.remove(missing);
    QVERIFY(startAgent({PbxTenant{BetaUuid, QStringLiteral("Beta from the configuration")}}));
    auto client = login();
    QVERIFY(client);
    if (!command.isEmpty()) {
        client->link.sendServerCommand(ServerCommand{QStringLiteral("{1}"), command, {}});
        QTRY_VERIFY_WITH_TIMEOUT(!client->responses.isEmpty(), 10000);
        QVERIFY(!client->responses.constFirst().executed);
        QCOMPARE(client->responses.constFirst().detail, detail);
    }
    const int listed = m_kamailio->calls.count(QStringLiteral("system.listMethods"));
    m_agent->reload();
    QTRY_COMPARE(m_kamailio->calls.count(QStringLiteral("system.listMethods")), listed + 1);
    client->link.getTenantList();
    QTRY_VERIFY(client->tenantLists > 1);
    QVERIFY2(!m_kamailio->calls.contains(missing), qPrintable(m_kamailio->calls.join(' ')));
    const QStringList said = m_events.filter(QStringLiteral("offers no domain.dump"));
    QCOMPARE(said.size(), missing == QLatin1String("domain.dump") ? 1 : 0);
    QCOMPARE(client->tenants.contains(BetaUuid), missing == QLatin1String("domain.dump"));
}

// A client that logs in after a source was lost still learns of it: the
// window would otherwise just stay empty.
void tst_Agent::lostSourceIsToldToLateClients()
{
    const QString missing = m_dir->filePath(QStringLiteral("no-such.log"));
    QVERIFY(startAgent({}, QStringLiteral("file:") + missing));
    QTRY_VERIFY(!m_events.filter(QStringLiteral("lost")).isEmpty());
    QCOMPARE(m_events.filter(QStringLiteral("lost")).size(), 1);
    auto client = login();
    QVERIFY(client);
    const auto told = [&] {
        int n = 0;
        for (const DiagnosticMessage &m : qAsConst(client->messages))
            n += m.verbosity == QLatin1String("2") && m.message.contains(missing + QStringLiteral(" does not exist"));
        return n;
    };
    QTRY_COMPARE(told(), 1);
    QFile log(missing);
    QVERIFY(log.open(QIODevice::WriteOnly));
    QTRY_VERIFY(!m_events.filter(QStringLiteral("back")).isEmpty());
    auto later = login();
    QVERIFY(later);
    // A line written now comes after anything sent at the login.
    log.write("NOTICE: a line\n");
    log.flush();
    QTRY_VERIFY(std::any_of(later->messages.cbegin(), later->messages.cend(),
                            [](const DiagnosticMessage &m) { return m.message == QLatin1String("NOTICE: a line"); }));
    for (const DiagnosticMessage &m : qAsConst(later->messages))
        QVERIFY2(!m.message.contains(QLatin1String("is lost")), qPrintable(m.message));
}

QTEST_GUILESS_MAIN(tst_Agent)
#include "tst_agent.moc"
