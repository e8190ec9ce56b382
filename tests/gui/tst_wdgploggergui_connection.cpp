#include "wdgploggergui.h"

#include "emulatorprocess.h"
#include "modalanswerer.h"
#include "formchild.h"
#include "quitreset.h"

#include "appinfo.h"
#include "knownexchanges.h"
#include "loggerverbosity.h"
#include "pbxlink.h"
#include "pdiscoverywidget.h"

#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>
#include <mutex>

// The main window driven through its widgets against the demo exchange,
// with the real link, over loopback.
namespace {

const QString kConnectionError = QStringLiteral("Errore di connessione");
const QString kReasonPrefix = QStringLiteral("La connessione con PeltranoPBX è caduta per la seguente motivazione: ");
// The end of an attempt whose exchange was trusted with "Si" but never proved it holds the account.
const QString kUnconfirmedPrefix = QStringLiteral(
    "Il centralino non ha dimostrato di conoscere l'account, quindi la sua identità non è stata registrata "
    "(motivazione: ");
const QString kTenantA = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");
const QString kTenantB = QStringLiteral("8d41b0c2-2e7f-4a93-b6d5-5c0e9f3a7b18");
const QString kTenantUnnamed = QStringLiteral("c6e9a7f1-94b3-4d28-8f0c-2b7d1e6a4c53");

QStringList threadNames()
{
    QStringList names;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll()).trimmed();
    }
    return names;
}

// The link thread carries its object name.
int linkThreads()
{
    return threadNames().count(QStringLiteral("PbxLink"));
}

bool sameImage(const QPixmap &shown, const QString &resource)
{
    return !shown.isNull() && shown.toImage() == QPixmap(resource).toImage();
}

// Waits for a condition without handling a single event, as a busy window would.
template<typename Condition>
bool waitBusy(Condition done, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
    return true;
}

// What a link emits, noted on the link's own thread, as it is emitted.
struct LinkOutcomes
{
    void note(const QString &what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        seen << what;
    }
    bool contains(const QString &what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.contains(what);
    }
    std::mutex mutex;  // one ThreadSanitizer can see, unlike QMutex
    QStringList seen;
};

}

class tst_wdgPLoggerGuiConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void loginShowsConnectedAndStreams();
    void loginFails_data();
    void loginFails();
    void connectionLost_data();
    void connectionLost();
    void userDisconnect();
    void connectAgainWhileLoggingIn();
    void defaultPort_data();
    void defaultPort();
    void invalidAddress_data();
    void invalidAddress();
    void userAndDomain_data();
    void userAndDomain();
    void tenants();
    void commandBarVisibility_data();
    void commandBarVisibility();
    void commands();
    void closingWindowLogsOut();
    void remembersBetweenRuns();
    void skipsUnusableRememberedValues();
    void modelsStayConsistentWhileRowsArrive();
    void discoveredExchangeConnects();
    void exchangeIdentity();

private:
    template<typename T>
    T *child(const char *name) const
    {
        return formChild<T>(m_window, name);
    }
    void type(const char *field, const QString &text);
    void fillIn(const QString &address, const QString &user = QStringLiteral("admin@demo"),
                const QString &password = QStringLiteral("demo"));
    void pressEnterInPassword() { QTest::keyClick(child<QLineEdit>("txtPwd"), Qt::Key_Return); }
    void clickConnect() { QTest::mouseClick(child<QPushButton>("btnConnect"), Qt::LeftButton); }
    void login(EmulatorProcess &exchange);
    bool showsConnected() const;
    bool showsIdle() const;
    QStringList connectionErrors() const;
    int boxesTitled(const QString &title) const;
    QTableView *view() const { return child<QTableView>("tbLogView"); }
    QAbstractItemModel *logModel() const
    {
        return qobject_cast<QSortFilterProxyModel *>(view()->model())->sourceModel();
    }
    QStringList column(int c) const;
    QVector<int> commandRows() const;

    wdgPLoggerGui *m_window = nullptr;
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<ModalAnswerer> m_answerer;
    EmulatorProcess m_discoveryExchange;
    QString m_discoveryTarget;
};

void tst_wdgPLoggerGuiConnection::initTestCase()
{
    // Each window reads the discovery target as it is built: aim it at an
    // exchange before the first one exists.
    QVERIFY(m_discoveryExchange.start({"--discovery", "127.0.0.1:0", "--count", "3"}));
    const QString line = m_discoveryExchange.waitForLine(QStringLiteral("discovery "));
    m_discoveryTarget = line.mid(10);
    QVERIFY2(m_discoveryTarget.startsWith(QLatin1String("127.0.0.1:")), qPrintable(line));
    qputenv("PLOGGER_DISCOVERY_TARGET", m_discoveryTarget.toLatin1());
}

void tst_wdgPLoggerGuiConnection::cleanupTestCase()
{
    m_discoveryExchange.stop();
}

void tst_wdgPLoggerGuiConnection::init()
{
    qunsetenv("PBXLINK_KEEPALIVE_MS");
    // The exchanges trusted live in the data directory: a fresh one per test.
    m_data = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data->path()));
    m_answerer = std::make_unique<ModalAnswerer>(QStringLiteral("Ok"));
    m_window = new wdgPLoggerGui;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void tst_wdgPLoggerGuiConnection::cleanup()
{
    delete m_window;
    m_window = nullptr;
    clearQuitRequest();
    m_answerer.reset();
    // The window leaves no link thread behind, whatever state it was in. The
    // thread may take a moment to leave the task list after it is joined.
    QTRY_COMPARE_WITH_TIMEOUT(linkThreads(), 0, 1000);
}

void tst_wdgPLoggerGuiConnection::type(const char *field, const QString &text)
{
    auto *edit = child<QLineEdit>(field);
    edit->clear();
    QTest::keyClicks(edit, text);
    QCOMPARE(edit->text(), text);  // nothing swallowed by the address validator
}

void tst_wdgPLoggerGuiConnection::fillIn(const QString &address, const QString &user, const QString &password)
{
    type("txtPAddress", address);
    type("txtUser", user);
    type("txtPwd", password);
}

void tst_wdgPLoggerGuiConnection::login(EmulatorProcess &exchange)
{
    fillIn(exchange.address);
    pressEnterInPassword();
    QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
}

bool tst_wdgPLoggerGuiConnection::showsConnected() const
{
    return child<QPushButton>("btnConnect")->text() == QLatin1String("Disconnetti")
        && child<QLabel>("lblStatusText")->text() == QLatin1String("Stato: Connesso")
        && sameImage(child<QLabel>("lblLedStatus")->pixmap(Qt::ReturnByValue),
                     QStringLiteral(":/images/AccountIsRegisteredIcon.png"))
        && child<QPushButton>("btnSave")->isEnabled() && child<QPushButton>("btSendCmd")->isEnabled();
}

bool tst_wdgPLoggerGuiConnection::showsIdle() const
{
    return child<QPushButton>("btnConnect")->text() == QLatin1String("Connetti")
        && child<QLabel>("lblStatusText")->text() == QLatin1String("Stato: Disconnesso")
        && sameImage(child<QLabel>("lblLedStatus")->pixmap(Qt::ReturnByValue),
                     QStringLiteral(":/images/AccountIsNotRegisteredIcon.png"))
        && !child<QPushButton>("btSendCmd")->isEnabled();
}

// Reasons of the "Errore di connessione" boxes answered so far.
QStringList tst_wdgPLoggerGuiConnection::connectionErrors() const
{
    QStringList reasons;
    for (const ModalAnswerer::Box &box : m_answerer->boxes()) {
        if (box.title != kConnectionError)
            continue;
        if (box.text.startsWith(kUnconfirmedPrefix)) {
            const QString rest = box.text.mid(kUnconfirmedPrefix.size());
            reasons << QStringLiteral("unconfirmed: ") + rest.left(rest.lastIndexOf(QStringLiteral(").\n\n")));
            continue;
        }
        reasons << (box.text.startsWith(kReasonPrefix) ? box.text.mid(kReasonPrefix.size())
                                                       : QStringLiteral("<unexpected text> ") + box.text);
    }
    return reasons;
}

int tst_wdgPLoggerGuiConnection::boxesTitled(const QString &title) const
{
    int n = 0;
    for (const ModalAnswerer::Box &box : m_answerer->boxes())
        n += box.title == title ? 1 : 0;
    return n;
}

QStringList tst_wdgPLoggerGuiConnection::column(int c) const
{
    QStringList texts;
    for (int r = 0; r < logModel()->rowCount(); ++r)
        texts << logModel()->index(r, c).data().toString();
    return texts;
}

QVector<int> tst_wdgPLoggerGuiConnection::commandRows() const
{
    QVector<int> rows;
    const QStringList levels = column(4);
    for (int r = 0; r < levels.size(); ++r) {
        if (levels.at(r) == LOGGER::verbosityIntToString(-1))
            rows << r;
    }
    return rows;
}

void tst_wdgPLoggerGuiConnection::loginShowsConnectedAndStreams()
{
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--rate", "100"}));
    QVERIFY(showsIdle());
    QVERIFY(!child<QPushButton>("btnSave")->isEnabled());

    fillIn(exchange.address);
    // Nothing changes while the login is pending...
    pressEnterInPassword();
    QVERIFY(showsIdle());
    // ...and the log follows it live.
    QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
    QVERIFY(!exchange.waitForLine(QStringLiteral("login ok admin@demo mode 5 client ")).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(logModel()->rowCount() >= 5, 3000);
    const int seen = logModel()->rowCount();
    QTRY_VERIFY_WITH_TIMEOUT(logModel()->rowCount() > seen + 5, 3000);
    for (const QString &text : column(6))
        QVERIFY(!text.isEmpty());
    // Every level the exchange sends is within the default threshold.
    QCOMPARE(view()->model()->rowCount(), logModel()->rowCount());
    QCOMPARE(linkThreads(), 1);
    QCOMPARE(m_answerer->count(), 0);
}

void tst_wdgPLoggerGuiConnection::loginFails_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("reason");
    QTest::newRow("refused by the exchange") << QStringList{"--refuse-login", "maintenance window"} << "demo"
                                             << "login refused: maintenance window";
    QTest::newRow("wrong password") << QStringList{} << "Demo" << "login refused: invalid credentials";
    // Markup is shown as written, and a megabyte of it is cut short at the link.
    const QString link = QStringLiteral("<a href=\"http://example.invalid/\">aggiorna</a> ");
    QTest::newRow("1 MB reason with a link")
        << QStringList{"--refuse-login", link, "--reason-length", "1048576"} << "demo"
        << QStringLiteral("login refused: ") + link.repeated(20).left(300) + QChar(0x2026);
}

void tst_wdgPLoggerGuiConnection::loginFails()
{
    QFETCH(QStringList, args);
    QFETCH(QString, password);
    QFETCH(QString, reason);
    EmulatorProcess exchange;
    QVERIFY(exchange.start(args));

    fillIn(exchange.address, QStringLiteral("admin@demo"), password);
    clickConnect();
    // Trusted with "Si" but never proven: nothing invites another password.
    reason = QStringLiteral("unconfirmed: ") + reason;
    QTRY_COMPARE_WITH_TIMEOUT(connectionErrors(), QStringList{reason}, 5000);
    QCOMPARE(m_answerer->boxes().constFirst().buttons, QStringList{"OK"});
    QCOMPARE(m_answerer->boxes().constFirst().format, Qt::PlainText);
    QVERIFY(showsIdle());
    QVERIFY(!child<QPushButton>("btnSave")->isEnabled());
    QTRY_COMPARE(linkThreads(), 0);  // the link object is gone

    // The next attempt starts from scratch, on a new connection.
    type("txtPwd", QStringLiteral("demo"));
    clickConnect();
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 2 connected")).isEmpty());
    if (args.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
        QCOMPARE(connectionErrors().size(), 1);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(connectionErrors(), (QStringList{reason, reason}), 5000);
    }
}

void tst_wdgPLoggerGuiConnection::connectionLost_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("keepAliveMs");
    QTest::addColumn<bool>("killExchange");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("rows");  // log rows shown before the loss; -1: some
    QTest::newRow("dropped by the exchange") << QStringList{"--drop-after", "5", "--rate", "0"} << 0 << false
                                             << "connection closed by the exchange" << 5;
    QTest::newRow("exchange killed") << QStringList{"--rate", "50"} << 0 << true << "connection closed by the exchange"
                                     << -1;
    QTest::newRow("exchange goes silent") << QStringList{"--silent-after", "3", "--rate", "100"} << 1500 << false
                                          << "keep-alive timeout" << 3;
}

void tst_wdgPLoggerGuiConnection::connectionLost()
{
    QFETCH(QStringList, args);
    QFETCH(int, keepAliveMs);
    QFETCH(bool, killExchange);
    QFETCH(QString, reason);
    QFETCH(int, rows);
    if (keepAliveMs > 0)
        qputenv("PBXLINK_KEEPALIVE_MS", QByteArray::number(keepAliveMs));
    EmulatorProcess exchange;
    QVERIFY(exchange.start(args));
    fillIn(exchange.address);
    pressEnterInPassword();
    QVERIFY(!exchange.waitForLine(QStringLiteral("login ok")).isEmpty());
    if (killExchange) {
        QTRY_VERIFY(showsConnected());
        QTRY_VERIFY(logModel()->rowCount() > 0);
        exchange.stop();
    }

    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(connectionErrors(), QStringList{reason}, keepAliveMs + 3000);
    if (keepAliveMs > 0)
        QVERIFY2(clock.elapsed() < keepAliveMs + 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(showsIdle());
    QTRY_COMPARE(linkThreads(), 0);
    // What arrived stays, and so does the save button.
    QTest::qWait(100);
    if (rows >= 0)
        QCOMPARE(logModel()->rowCount(), rows);
    else
        QVERIFY(logModel()->rowCount() > 0);
    QVERIFY(child<QPushButton>("btnSave")->isEnabled());
    QCOMPARE(m_answerer->count(), 1);
}

void tst_wdgPLoggerGuiConnection::userDisconnect()
{
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--rate", "100"}));
    login(exchange);

    // "No" keeps the connection and every control as it was.
    m_answerer->setButtonText(QStringLiteral("No"));
    clickConnect();
    QCOMPARE(m_answerer->count(), 1);
    const ModalAnswerer::Box question = m_answerer->boxes().constFirst();
    QCOMPARE(question.title, QStringLiteral("Disconnessione"));
    QCOMPARE(question.text, QStringLiteral("Sei sicuro di volerti disconnettere da PeltranoPBX?"));
    QCOMPARE(question.buttons, (QStringList{"Si", "No"}));
    const int seen = logModel()->rowCount();
    QTRY_VERIFY(logModel()->rowCount() > seen + 3);
    QVERIFY(showsConnected());
    QVERIFY(exchange.linesWith(QStringLiteral("closed")).isEmpty());

    // Enter in the password field asks too; "Si" ends the session without a warning.
    m_answerer->setButtonText(QStringLiteral("Si"));
    pressEnterInPassword();
    QCOMPARE(m_answerer->count(), 2);
    QTRY_VERIFY(showsIdle());
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 1 closed: logout")).isEmpty());
    QTRY_COMPARE(linkThreads(), 0);
    QTest::qWait(100);
    QCOMPARE(boxesTitled(kConnectionError), 0);
    QVERIFY(child<QPushButton>("btnSave")->isEnabled());
}

void tst_wdgPLoggerGuiConnection::connectAgainWhileLoggingIn()
{
    // An exchange that accepts the connection but never greets keeps the login pending.
    EmulatorProcess mute;
    QVERIFY(mute.start({"--silent-after", "0"}));
    EmulatorProcess refusing;
    QVERIFY(refusing.start({"--refuse-login", "maintenance window"}));
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--count", "3"}));

    fillIn(mute.address);
    clickConnect();
    QVERIFY(!mute.waitForLine(QStringLiteral("session 1 connected")).isEmpty());
    QVERIFY(showsIdle());
    QCOMPARE(linkThreads(), 1);

    // Connecting again goes through the same link: a second attempt, still one thread.
    clickConnect();
    QVERIFY(!mute.waitForLine(QStringLiteral("session 2 connected")).isEmpty());
    QVERIFY(!mute.waitForLine(QStringLiteral("session 1 closed")).isEmpty());
    QCOMPARE(linkThreads(), 1);
    QVERIFY(showsIdle());

    // Then a refusal and a retry while the window is busy: the refusal
    // reaches it only after the retry's login is queued behind it.
    auto *link = m_window->findChild<PbxLink *>();
    QVERIFY(link);
    // Both exchanges are known already: a busy window has no question to answer.
    KnownExchanges known(AppInfo::dataDir());
    QVERIFY(known.remember(refusing.address, refusing.fingerprint));
    QVERIFY(known.remember(exchange.address, exchange.fingerprint));
    auto outcomes = std::make_shared<LinkOutcomes>();
    connect(link, &PbxLink::unloggedFromServer, link,
            [outcomes](const QString &reason) { outcomes->note(QStringLiteral("end: ") + reason); },
            Qt::DirectConnection);
    connect(link, &PbxLink::loggedToServer, link, [outcomes] { outcomes->note(QStringLiteral("logged")); },
            Qt::DirectConnection);
    type("txtPAddress", refusing.address);
    clickConnect();
    QVERIFY(waitBusy([&] { return outcomes->contains(QStringLiteral("end: login refused: maintenance window")); }));
    type("txtPAddress", exchange.address);
    clickConnect();
    QVERIFY(waitBusy([&] { return outcomes->contains(QStringLiteral("logged")); }));

    // Only the retry shows, with its link live: one login, no warning for
    // the abandoned attempts, and "Si" ends it.
    QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
    QVERIFY(!mute.waitForLine(QStringLiteral("session 2 closed")).isEmpty());
    QTRY_COMPARE(logModel()->rowCount(), 3);
    QCOMPARE(exchange.linesWith(QStringLiteral("login ok")).size(), 1);
    QCOMPARE(linkThreads(), 1);
    QCOMPARE(m_answerer->count(), 0);
    m_answerer->setButtonText(QStringLiteral("Si"));
    clickConnect();
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 1 closed: logout")).isEmpty());
    QTRY_VERIFY(showsIdle());
}

void tst_wdgPLoggerGuiConnection::defaultPort_data()
{
    QTest::addColumn<QString>("suffix");  // typed after the address
    QTest::addColumn<bool>("padded");     // every octet written with three digits
    QTest::newRow("no port") << "" << false;
    QTest::newRow("colon without digits") << ":" << false;
    QTest::newRow("port 0") << ":0" << false;
    QTest::newRow("port beyond 16 bits") << ":70000" << false;
    // A leading 0 does not make an octet octal: 127.000.012.034 is 127.0.12.34.
    QTest::newRow("zero-padded octets are decimal") << "" << true;
}

void tst_wdgPLoggerGuiConnection::defaultPort()
{
    QFETCH(QString, suffix);
    QFETCH(bool, padded);
    // Handed on as typed, none of these would reach the link as a valid
    // address; the window sends them to port 5039. The port is taken on a
    // loopback address of the test's own, as 127.0.0.1:5039 may be in use.
    QTcpServer listener;
    QHostAddress host;
    for (int i = 0; i < 50 && !listener.isListening(); ++i) {
        host = QHostAddress(QStringLiteral("127.0.%1.%2")
                                .arg(10 + QRandomGenerator::global()->bounded(90))
                                .arg(10 + QRandomGenerator::global()->bounded(90)));
        listener.listen(host, 5039);
    }
    if (!listener.isListening())
        QSKIP("port 5039 is taken on every loopback address tried");
    QStringList octets = host.toString().split(QLatin1Char('.'));
    for (QString &octet : octets)
        octet = padded ? octet.rightJustified(3, QLatin1Char('0')) : octet;
    fillIn(octets.join(QLatin1Char('.')) + suffix);
    clickConnect();
    QTRY_VERIFY(listener.hasPendingConnections());
    QCOMPARE(m_answerer->count(), 0);
}

void tst_wdgPLoggerGuiConnection::invalidAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("octet over 255") << "300.1.1.1";
    QTest::newRow("octet over 255 with port") << "300.1.1.1:6000";
    QTest::newRow("letters where the dots go") << "1x2x3x4";
    // Read as inet_aton does, these would reach 127.0.0.8 and 127.0.0.1.
    QTest::newRow("three parts, one zero-padded") << "127.0.010:5039";
    QTest::newRow("two parts") << "127.1";
    QTest::newRow("empty") << "";
}

void tst_wdgPLoggerGuiConnection::invalidAddress()
{
    QFETCH(QString, address);
    fillIn(address);
    clickConnect();
    QCOMPARE(m_answerer->count(), 1);
    const ModalAnswerer::Box box = m_answerer->boxes().constFirst();
    QCOMPARE(box.title, QStringLiteral("Parametri non validi"));
    QCOMPARE(box.text, QStringLiteral("L'indirizzo IP inserito non è valido"));
    QCOMPARE(box.buttons, QStringList{"OK"});
    // No link was made, nothing else moved.
    QTest::qWait(50);
    QCOMPARE(linkThreads(), 0);
    QVERIFY(showsIdle());
    QCOMPARE(child<QLineEdit>("txtPAddress")->text(), address);
    QCOMPARE(m_answerer->count(), 1);
}

void tst_wdgPLoggerGuiConnection::userAndDomain_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("line");  // what the exchange reports
    QTest::newRow("user@domain") << "admin@demo" << "demo" << "login ok admin@demo mode 5";
    QTest::newRow("two @: domain after the last") << "a@b@demo" << "demo" << "login ok a@b@demo mode 5";
    QTest::newRow("no @: no domain") << "admin" << "demo" << "login ok admin@ mode 5";
    QTest::newRow("trailing @: empty domain") << "admin@" << "demo" << "login ok admin@ mode 5";
    QTest::newRow("leading @: empty user") << "@demo" << "demo" << "closed: login of @demo refused";
    QTest::newRow("password kept as typed") << "ops@acme" << " p:w " << "login ok ops@acme mode 5";
}

void tst_wdgPLoggerGuiConnection::userAndDomain()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, line);
    // Accounts told apart only by where the user ends and the domain begins.
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--account", "admin@demo:demo", "--account", "a@b@demo:demo", "--account", "admin:demo",
                            "--account", "ops@acme: p:w ", "--count", "1"}));
    fillIn(exchange.address, user, password);
    pressEnterInPassword();
    QVERIFY2(!exchange.waitForLine(line).isEmpty(), qPrintable(exchange.lines.join('\n')));
    if (line.startsWith(QLatin1String("login ok")))
        QTRY_VERIFY(showsConnected());
    else
        QTRY_COMPARE(connectionErrors(), QStringList{"unconfirmed: login refused: invalid credentials"});
}

void tst_wdgPLoggerGuiConnection::tenants()
{
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--rate", "300", "--features", "SUBSCRIBE_TENANT_EVENTS"}));
    auto *tenants = child<QComboBox>("cbTenant");
    QVERIFY(!tenants->isVisible());
    QVERIFY(view()->isColumnHidden(0));
    login(exchange);

    QTRY_COMPARE(tenants->count(), 4);
    QCOMPARE(tenants->itemText(0), QStringLiteral("Nessuno"));
    const QStringList data = {tenants->itemData(0).toString(), tenants->itemData(1).toString(),
                              tenants->itemData(2).toString(), tenants->itemData(3).toString()};
    QCOMPARE(data, (QStringList{"", kTenantA, kTenantB, kTenantUnnamed}));
    QCOMPARE(tenants->itemText(1), QStringLiteral("Trasporti Adriatici"));
    QCOMPARE(tenants->itemText(3), kTenantUnnamed);
    QVERIFY(tenants->isVisible());
    QVERIFY(child<QLabel>("lblTenant")->isVisible());
    QVERIFY(!view()->isColumnHidden(0));
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 1 subscribed to \"\"")).isEmpty());

    // From the first event of the chosen tenant on, only its events arrive.
    auto onlyFrom = [this](int from, const QString &tenant) {
        const QStringList uuids = column(0).mid(from);
        const int first = uuids.indexOf(tenant);
        if (first < 0 || uuids.size() - first < 20)
            return false;
        for (int i = first; i < uuids.size(); ++i) {
            if (uuids.at(i) != tenant)
                return false;
        }
        return true;
    };
    QTRY_VERIFY(logModel()->rowCount() > 10);
    int mark = logModel()->rowCount();
    tenants->setCurrentIndex(1);
    QVERIFY(!exchange.waitForLine(QStringLiteral("subscribed to \"%1\"").arg(kTenantA)).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(onlyFrom(mark, kTenantA), 5000);

    mark = logModel()->rowCount();
    tenants->setCurrentIndex(0);
    QTRY_COMPARE(exchange.linesWith(QStringLiteral("subscribed to \"\"")).size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(onlyFrom(mark, QString()), 5000);
}

void tst_wdgPLoggerGuiConnection::commandBarVisibility_data()
{
    QTest::addColumn<QString>("api");
    QTest::addColumn<QString>("features");
    QTest::addColumn<bool>("commandBar");
    QTest::addColumn<bool>("tenantControls");
    QTest::newRow("4.1 without SEND_CMD") << "4.1" << "" << true << false;
    QTest::newRow("4.2 without SEND_CMD") << "4.2" << "SUBSCRIBE_TENANT_EVENTS" << false << true;
    QTest::newRow("4.10 without SEND_CMD") << "4.10" << "" << false << false;
    QTest::newRow("4.2 with SEND_CMD") << "4.2" << "SEND_CMD" << true << false;
    QTest::newRow("feature names are case-sensitive") << "4.3" << "send_cmd,subscribe_tenant_events" << false << false;
}

void tst_wdgPLoggerGuiConnection::commandBarVisibility()
{
    QFETCH(QString, api);
    QFETCH(QString, features);
    QFETCH(bool, commandBar);
    QFETCH(bool, tenantControls);
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--api", api, "--features", features, "--count", "1"}));
    login(exchange);
    // The tenant list is asked for after the features came: once it is in,
    // they have been applied.
    QTRY_COMPARE(child<QComboBox>("cbTenant")->count(), 4);
    QCOMPARE(child<QWidget>("wdgCmd")->isVisible(), commandBar);
    QCOMPARE(child<QComboBox>("cbTenant")->isVisible(), tenantControls);
    QCOMPARE(child<QLabel>("lblTenant")->isVisible(), tenantControls);
    QCOMPARE(view()->isColumnHidden(0), !tenantControls);
}

void tst_wdgPLoggerGuiConnection::commands()
{
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--count", "2"}));
    login(exchange);
    QTRY_COMPARE(logModel()->rowCount(), 2);
    auto *commandBox = child<QComboBox>("cbCmd");
    auto *params = child<QLineEdit>("leCmdParams");
    auto *send = child<QPushButton>("btSendCmd");
    QVERIFY(child<QWidget>("wdgCmd")->isVisible());

    commandBox->setCurrentIndex(commandBox->findText(QStringLiteral("sip show peers")));
    QVERIFY(!params->isVisible());
    QTest::mouseClick(send, Qt::LeftButton);
    QTRY_COMPARE(commandRows().size(), 1);
    const QString peers = logModel()->index(commandRows().at(0), 6).data().toString();
    QVERIFY2(peers.startsWith(QLatin1String("Command: sip show peers\nExecution finished with exitCode 0\n\nName/username ")),
             qPrintable(peers));
    QVERIFY(!peers.contains(QLatin1String("Response: Follows")));
    QVERIFY(!peers.contains(QLatin1String("Privilege: Command")));
    QVERIFY(!peers.contains(QLatin1String("--END COMMAND--")));

    commandBox->setCurrentIndex(commandBox->findText(QStringLiteral("ping")));
    QVERIFY(params->isVisible());
    QTest::keyClicks(params, QStringLiteral("127.0.0.1"));
    QTest::mouseClick(send, Qt::LeftButton);
    QTest::keyClick(params, Qt::Key_Return);  // as "Esegui"
    QTRY_COMPARE(commandRows().size(), 3);
    QStringList ids;
    for (int r : commandRows()) {
        ids << logModel()->index(r, 3).data().toString();
        QVERIFY(logModel()->index(r, 0).data().toString().isEmpty());
        QVERIFY(!logModel()->index(r, 5).data().toString().isEmpty());
    }
    for (int r : commandRows().mid(1)) {
        const QString ping = logModel()->index(r, 6).data().toString();
        QVERIFY2(ping.startsWith(QLatin1String("Command: ping\nExecution finished with exitCode 0\n\nPING 127.0.0.1 ")),
                 qPrintable(ping));
    }
    QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), 3);
    for (const QString &id : qAsConst(ids))
        QVERIFY2(id.size() == 38 && id.startsWith('{') && id.endsWith('}'), qPrintable(id));
    QCOMPARE(exchange.linesWith(QStringLiteral("command \"ping\" code 0")).size(), 2);

    // Command results pass every threshold, even the lowest.
    auto *verbosity = child<QComboBox>("cbVerbosity");
    verbosity->setCurrentIndex(verbosity->findData(-1));
    QCOMPARE(view()->model()->rowCount(), 3);
}

void tst_wdgPLoggerGuiConnection::closingWindowLogsOut()
{
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--rate", "100"}));
    delete m_window;  // the baseline is taken without a window
    clearQuitRequest();
    const int baseline = threadNames().size();
    m_window = new wdgPLoggerGui;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    login(exchange);
    QTRY_VERIFY(logModel()->rowCount() > 0);
    QCOMPARE(threadNames().size(), baseline + 1);

    QVERIFY(m_window->close());
    delete m_window;
    m_window = nullptr;
    clearQuitRequest();
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 1 closed: logout")).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(threadNames().size(), baseline, 1000);
    QCOMPARE(m_answerer->count(), 0);
}

void tst_wdgPLoggerGuiConnection::remembersBetweenRuns()
{
    const QString password = QStringLiteral("Unmistakable-7");
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--account", "ops@north:" + password, "--rate", "50", "--features",
                            "SUBSCRIBE_TENANT_EVENTS"}));
    fillIn(exchange.address, QStringLiteral("ops@north"), password);
    pressEnterInPassword();
    QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
    auto *tenants = child<QComboBox>("cbTenant");
    QTRY_COMPARE(tenants->count(), 4);
    tenants->setCurrentIndex(tenants->findData(kTenantB));
    auto *verbosity = child<QComboBox>("cbVerbosity");
    verbosity->setCurrentIndex(verbosity->findData(2));
    m_window->setGeometry(QRect(QPoint(40, 30), QSize(m_window->minimumWidth() + 60, 500)));
    QTRY_COMPARE(m_window->width(), m_window->minimumWidth() + 60);
    const QRect geometry = m_window->geometry();
    QVERIFY(m_window->close());
    delete m_window;
    m_window = nullptr;
    clearQuitRequest();

    QFile state(AppInfo::dataDir() + QStringLiteral("state.ini"));
    QVERIFY(state.open(QIODevice::ReadOnly));
    QVERIFY(!state.readAll().contains(password.toUtf8()));

    // The next start comes back as the last one ended; the password is typed again.
    m_window = new wdgPLoggerGui;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QCOMPARE(m_window->geometry(), geometry);
    QCOMPARE(child<QLineEdit>("txtPAddress")->text(), exchange.address);
    QCOMPARE(child<QLineEdit>("txtUser")->text(), QStringLiteral("ops@north"));
    QVERIFY(child<QLineEdit>("txtPwd")->text().isEmpty());
    QCOMPARE(child<QComboBox>("cbVerbosity")->currentData().toInt(), 2);
    type("txtPwd", password);
    pressEnterInPassword();
    QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
    // The tenant chosen before is chosen again, and subscribed to at once.
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 2 subscribed to \"%1\"").arg(kTenantB)).isEmpty());
    QCOMPARE(child<QComboBox>("cbTenant")->currentData().toString(), kTenantB);
    QCOMPARE(exchange.linesWith(QStringLiteral("session 2 subscribed to")).size(), 1);
}

void tst_wdgPLoggerGuiConnection::skipsUnusableRememberedValues()
{
    delete m_window;
    {
        QSettings state(AppInfo::dataDir() + QStringLiteral("state.ini"), QSettings::IniFormat);
        state.setValue(QStringLiteral("Connection/address"), QStringLiteral("pbx.example"));
        state.setValue(QStringLiteral("Connection/user"), QStringLiteral("admin@demo\nsecond line"));
        state.setValue(QStringLiteral("Log/verbosity"), 7);
        state.setValue(QStringLiteral("Window/geometry"), QByteArray("not a geometry"));
    }
    m_window = new wdgPLoggerGui;
    QVERIFY(child<QLineEdit>("txtPAddress")->text().isEmpty());
    QVERIFY(child<QLineEdit>("txtUser")->text().isEmpty());
    QCOMPARE(child<QComboBox>("cbVerbosity")->currentData().toInt(), 4);
    QCOMPARE(m_window->size(), QSize(1076, 585));
}

void tst_wdgPLoggerGuiConnection::modelsStayConsistentWhileRowsArrive()
{
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--rate", "1000", "--count", "1200"}));
    auto *filter = view()->model();
    QAbstractItemModelTester filterTester(filter, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QAbstractItemModelTester logTester(logModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    auto *verbosity = child<QComboBox>("cbVerbosity");
    login(exchange);

    // Thresholds and a clear while the stream runs.
    QTRY_VERIFY_WITH_TIMEOUT(logModel()->rowCount() > 100, 5000);
    verbosity->setCurrentIndex(verbosity->findData(2));
    QTRY_VERIFY(logModel()->rowCount() > 300);
    QTest::mouseClick(child<QPushButton>("btClear"), Qt::LeftButton);
    verbosity->setCurrentIndex(verbosity->findData(-1));
    QTest::qWait(60);
    verbosity->setCurrentIndex(verbosity->findData(4));
    QVERIFY(!exchange.waitForLine(QStringLiteral("sent 1200 messages"), 15000).isEmpty());
    QTest::qWait(200);
    verbosity->setCurrentIndex(verbosity->findData(1));
    if (QTest::currentTestFailed())
        return;

    // The filter shows exactly the rows at or under the threshold, in order.
    QStringList expected;
    for (int r = 0; r < logModel()->rowCount(); ++r) {
        const QModelIndex level = logModel()->index(r, 4);
        if (LOGGER::verbosityStringToInt(level.data().toString()) <= 1)
            expected << logModel()->index(r, 3).data().toString();
    }
    QStringList shown;
    for (int r = 0; r < filter->rowCount(); ++r)
        shown << filter->index(r, 3).data().toString();
    QCOMPARE(shown, expected);
    QVERIFY(logModel()->rowCount() < 1200);  // the clear took some
}

void tst_wdgPLoggerGuiConnection::discoveredExchangeConnects()
{
    auto *popup = m_window->findChild<PDiscoveryWidget *>();
    QVERIFY(popup);
    QTest::mouseClick(child<QToolButton>("btnDiscovery"), Qt::LeftButton);
    QTRY_COMPARE(popup->topLevelItemCount(), 1);
    QTreeWidgetItem *item = popup->topLevelItem(0);
    QCOMPARE(item->text(PDiscoveryWidget::ModelColumn), QStringLiteral("PeltranoPBX Demo"));
    // Off the usual port, the announced address carries the port.
    QCOMPARE(item->text(PDiscoveryWidget::IpColumn), m_discoveryExchange.address);

    QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, popup->visualItemRect(item).center());
    QCOMPARE(child<QLineEdit>("txtPAddress")->text(), m_discoveryExchange.address);
    QVERIFY(!popup->isVisible());
    type("txtUser", QStringLiteral("admin@demo"));
    type("txtPwd", QStringLiteral("demo"));
    pressEnterInPassword();
    QTRY_VERIFY_WITH_TIMEOUT(showsConnected(), 5000);
    QTRY_COMPARE(logModel()->rowCount(), 3);
}

void tst_wdgPLoggerGuiConnection::exchangeIdentity()
{
    // Session 1 presents the exchange's certificate, every later one another.
    EmulatorProcess exchange;
    QVERIFY(exchange.start({"--changed-certificate", "--rate", "50"}));

    // First use: the question, then "Si" pins the certificate and logs in.
    login(exchange);
    QCOMPARE(m_answerer->trustQuestions().size(), 1);
    const ModalAnswerer::Box question = m_answerer->trustQuestions().constFirst();
    QVERIFY2(question.text.contains(exchange.address) && question.text.contains(exchange.fingerprint),
             qPrintable(question.text));
    QCOMPARE(question.buttons, (QStringList{"Si", "No"}));
    QCOMPARE(question.defaultButton, QStringLiteral("No"));
    QCOMPARE(question.escapeButton, QStringLiteral("No"));
    m_answerer->setButtonText(QStringLiteral("Si"));
    clickConnect();
    QTRY_VERIFY(showsIdle());
    QCOMPARE(m_answerer->count(), 1);  // the disconnect question

    // Another certificate at the pinned address: refused before the login
    // starts, with both fingerprints and the line to remove to forget the old one.
    m_answerer->setButtonText(QStringLiteral("Ok"));
    clickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_answerer->count(), 2, 5000);
    const ModalAnswerer::Box refusal = m_answerer->boxes().constLast();
    QCOMPARE(refusal.title, kConnectionError);
    const KnownExchanges known(AppInfo::dataDir());
    QCOMPARE(known.fingerprint(exchange.address).value_or(QStringLiteral("(unreadable)")), exchange.fingerprint);
    const QStringList fingerprints = refusal.text.split(QLatin1Char('\n')).filter(QRegularExpression("^[0-9A-F:]{95}$"));
    QCOMPARE(fingerprints.size(), 2);
    QCOMPARE(fingerprints.constFirst(), exchange.fingerprint);
    QVERIFY(fingerprints.constLast() != exchange.fingerprint);
    QVERIFY2(refusal.text.contains(KnownExchanges::fileEntry(exchange.address))
                 && refusal.text.contains(known.fileName()),
             qPrintable(refusal.text));
    QTRY_VERIFY(showsIdle());
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 2 closed")).isEmpty());
    QCOMPARE(exchange.linesWith(QStringLiteral("session 2 login")).size(), 0);
    QCOMPARE(m_answerer->trustQuestions().size(), 1);

    // Elsewhere, "No" ends the attempt quietly, and nothing is pinned.
    QTemporaryDir elsewhere;
    qputenv("XDG_DATA_HOME", QFile::encodeName(elsewhere.path()));
    m_answerer->setTrustAnswer(QStringLiteral("No"));
    clickConnect();
    QVERIFY(!exchange.waitForLine(QStringLiteral("session 3 closed")).isEmpty());
    QTRY_COMPARE(linkThreads(), 0);
    QVERIFY(showsIdle());
    QCOMPARE(m_answerer->trustQuestions().size(), 2);
    QCOMPARE(m_answerer->count(), 2);
    QCOMPARE(exchange.linesWith(QStringLiteral("session 3 login")).size(), 0);
    QVERIFY(KnownExchanges(AppInfo::dataDir()).fingerprint(exchange.address) == QString());
}

QTEST_MAIN(tst_wdgPLoggerGuiConnection)
#include "tst_wdgploggergui_connection.moc"
