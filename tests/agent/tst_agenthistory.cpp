// The agent's history end to end, in process, on loopback: Kamailio's log
// file followed, rows kept, clients that search it and catch up after a cut.

#include "accountstore.h"
#include "agent.h"
#include "callwindow.h"
#include "flushrows.h"
#include "historywindow.h"
#include "logfindbar.h"
#include "logmessagemodel.h"
#include "modalanswerer.h"
#include "wdgploggergui.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "scramclient.h"

#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTableView>
#include <QToolButton>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {
const QString kUser = QStringLiteral("admin");
const QString kPassword = QStringLiteral("pw-of-the-test");
constexpr int kWaitMs = 15000;

bool appendTo(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(text) == text.size();
}

// One call as Kamailio logs it: every line names its Call-ID.
QByteArray callLines(const QString &callId, const QString &number, int lines)
{
    QByteArray text;
    text += QStringLiteral("NOTICE: {1 1 INVITE %1} <script>: new call from alice to %2\n").arg(callId, number).toUtf8();
    for (int i = 1; i < lines; ++i)
        text += QStringLiteral("INFO: {1 1 INVITE %1} <script>: step %2\n").arg(callId).arg(i).toUtf8();
    return text;
}

// A client of the link that speaks its frames directly.
class Client : public QObject
{
public:
    QSslSocket socket;
    QVector<QJsonObject> frames;
    PbxFrameCodec codec;

    Client()
    {
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(&socket, &QSslSocket::readyRead, this, [this] {
            codec.feed(socket.readAll());
            QJsonObject frame;
            QString error;
            while (codec.next(&frame, &error) == PbxFrameCodec::Result::Frame)
                frames.append(frame);
        });
    }

    void send(const QJsonObject &frame) { socket.write(PbxFrameCodec::encode(frame)); }

    // The first frame from index `from` on that passes, or an empty one.
    QJsonObject waitFor(const std::function<bool(const QJsonObject &)> &match, int from = 0)
    {
        QJsonObject found;
        (void)QTest::qWaitFor(
            [&] {
                for (int i = from; i < frames.size(); ++i) {
                    if (match(frames.at(i))) {
                        found = frames.at(i);
                        return true;
                    }
                }
                return false;
            },
            kWaitMs);
        return found;
    }
    QJsonObject waitForType(const QString &type, int from = 0)
    {
        return waitFor([&](const QJsonObject &f) { return PbxProtocol::frameType(f) == type; }, from);
    }

    bool connectTo(quint16 port)
    {
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        // The agent runs on this thread: no blocking wait.
        return QTest::qWaitFor([this] { return socket.isEncrypted(); }, kWaitMs)
            && !waitForType(PbxProtocol::TypeHello).isEmpty();
    }

    // login-ok, or an empty frame.
    QJsonObject login()
    {
        ScramClient scram(kUser, kPassword);
        send({{"type", "login"}, {"mode", 5}, {"scram", QString::fromUtf8(scram.clientFirst())}});
        const QJsonObject challenge = waitForType(PbxProtocol::TypeLoginChallenge);
        QString error;
        const QByteArray final = scram.clientFinal(challenge.value("scram").toString().toUtf8(), &error);
        send({{"type", "login-proof"}, {"scram", QString::fromUtf8(final)}});
        return waitForType(PbxProtocol::TypeLoginOk);
    }

    // Every log frame's message, and the id of the last.
    QStringList messages(QString *lastId = nullptr) const
    {
        QStringList list;
        for (const QJsonObject &f : frames) {
            if (PbxProtocol::frameType(f) != PbxProtocol::TypeLog)
                continue;
            list << f.value("message").toString();
            if (lastId)
                *lastId = f.value("id").toString();
        }
        return list;
    }

    // The answer to one request, which names its id.
    QJsonObject ask(const QJsonObject &request)
    {
        const int from = frames.size();
        send(request);
        const QString id = request.value("id").toString();
        return waitFor(
            [&](const QJsonObject &f) {
                return f.value("id").toString() == id && PbxProtocol::frameType(f) != PbxProtocol::TypeLog;
            },
            from);
    }
};
}

class tst_AgentHistory : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void callsFoundAfterRestart();
    void cutLinkGoesOnWithNothingLostOrRepeated_data();
    void cutLinkGoesOnWithNothingLostOrRepeated();
    void hostileHistoryFrames_data();
    void hostileHistoryFrames();
    void windowGoesOnAfterDropAndSearchesHistory();

private:
    // port 0: any; the same port again for "the same exchange".
    bool startAgent(bool history = true, quint16 port = 0);
    void stopAgent() { m_agent.reset(); }
    std::unique_ptr<Client> loggedInClient();
    // Waits until a search for the text finds the call.
    bool stored(const QString &callId);

    QTemporaryDir m_home;  // the window's data folder
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_log;
    std::unique_ptr<Agent> m_agent;
    quint16 m_port = 0;
    int m_requests = 0;
};

void tst_AgentHistory::init()
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("data"))));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_log = m_dir->filePath("kamailio.log");
    QVERIFY(appendTo(m_log, "INFO: before the agent\n"));
    AccountStore accounts;
    accounts.setPassword(kUser, kPassword);
    QString error;
    QVERIFY2(accounts.save(m_dir->filePath("accounts"), &error), qPrintable(error));
}

void tst_AgentHistory::cleanup()
{
    stopAgent();
}

bool tst_AgentHistory::startAgent(bool history, quint16 port)
{
    AgentConfig config;
    config.listen = QStringList{QStringLiteral("127.0.0.1:%1").arg(port)};
    config.stateDir = m_dir->filePath("state");
    config.accountsFile = m_dir->filePath("accounts");
    config.sources = QStringList{QStringLiteral("file:") + m_log};
    config.rpcSocket = m_dir->filePath("no-kamailio.sock");
    config.historyEnabled = history;
    m_agent = std::make_unique<Agent>(config);
    QStringList ready;
    connect(m_agent.get(), &Agent::ready, this, [&ready](const QStringList &lines) { ready = lines; });
    QString error;
    if (!m_agent->check(&error) || !m_agent->start(&error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    if (!QTest::qWaitFor([&] { return !ready.isEmpty(); }, kWaitMs))
        return false;
    const QString listening = ready.filter(QStringLiteral("listening ")).value(0);
    m_port = quint16(listening.section(QLatin1Char(':'), -1).toUInt());
    return m_port != 0;
}

std::unique_ptr<Client> tst_AgentHistory::loggedInClient()
{
    auto client = std::make_unique<Client>();
    if (!client->connectTo(m_port) || client->login().isEmpty()) {
        for (const QJsonObject &f : client->frames)
            qWarning("%s", PbxFrameCodec::encode(f).constData());
        return nullptr;
    }
    return client;
}

bool tst_AgentHistory::stored(const QString &callId)
{
    std::unique_ptr<Client> client = loggedInClient();
    return client && QTest::qWaitFor(
               [&] {
                   const QJsonObject answer =
                       client->ask({{"type", "history-calls"}, {"id", QString::number(++m_requests)}, {"query", callId}});
                   return answer.value("calls").toArray().size() == 1;
               },
               kWaitMs);
}

// One call while nobody is connected, one while the agent is stopped: after
// the restart both are found, by number and by Call-ID, with every row.
void tst_AgentHistory::callsFoundAfterRestart()
{
    QVERIFY(startAgent());
    QVERIFY(appendTo(m_log, callLines("while-away@127.0.0.1", "0611111111", 5)));
    QVERIFY(stored("while-away@127.0.0.1"));
    stopAgent();
    QVERIFY(appendTo(m_log, callLines("while-stopped@127.0.0.1", "0622222222", 7)));
    QVERIFY(startAgent());

    std::unique_ptr<Client> client = loggedInClient();
    QVERIFY(client);
    const QJsonObject features = client->frames.value(client->frames.size() - 1);
    QVERIFY(features.value("features").toArray().contains(PbxProtocol::FeatureHistory));
    const struct
    {
        const char *callId;
        const char *number;
        int rows;
    } calls[] = {{"while-away@127.0.0.1", "0611111111", 5}, {"while-stopped@127.0.0.1", "0622222222", 7}};
    for (const auto &call : calls) {
        for (const char *query : {call.number, call.callId}) {
            QJsonArray found;
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             found = client->ask({{"type", "history-calls"}, {"id", QString::number(++m_requests)},
                                                  {"query", QString::fromLatin1(query)}})
                                         .value("calls")
                                         .toArray();
                             return found.size() == 1;
                         },
                         kWaitMs),
                     query);
            QCOMPARE(found.at(0).toObject().value("callId").toString(), QString::fromLatin1(call.callId));
            QCOMPARE(found.at(0).toObject().value("rows").toInt(), call.rows);
        }
        const QJsonObject rows =
            client->ask({{"type", "history-rows"}, {"id", QString::number(++m_requests)}, {"callId", call.callId}});
        QCOMPARE(rows.value("type").toString(), PbxProtocol::TypeHistoryRowsResult);
        QCOMPARE(rows.value("rows").toArray().size(), call.rows);
        QCOMPARE(rows.value("truncated").toBool(), false);
        QVERIFY(rows.value("rows").toArray().at(0).toObject().value("message").toString().contains(call.number));
    }
}

void tst_AgentHistory::cutLinkGoesOnWithNothingLostOrRepeated_data()
{
    QTest::addColumn<bool>("restartAgent");
    QTest::addColumn<bool>("emptyHistory");
    QTest::newRow("dropped TCP connection") << false << false;
    QTest::newRow("agent stopped and started again") << true << false;
    // As when retention dropped every call: the ids must still go on.
    QTest::newRow("agent started again with its history emptied") << true << true;
}

// The window's side: what it saved before the cut and after are together
// exactly what Kamailio wrote.
void tst_AgentHistory::cutLinkGoesOnWithNothingLostOrRepeated()
{
    QFETCH(bool, restartAgent);
    QFETCH(bool, emptyHistory);
    QVERIFY(startAgent());
    std::unique_ptr<Client> first = loggedInClient();
    QVERIFY(first);
    first->send({{"type", "subscribe"}, {"tenant", ""}});
    QVERIFY(!first->waitForType(PbxProtocol::TypeSubscribed).isEmpty());

    QStringList written;
    auto write = [&](int from, int to) {
        QByteArray text;
        for (int i = from; i < to; ++i) {
            written << QStringLiteral("INFO: line %1").arg(i);
            text += written.last().toUtf8() + '\n';
        }
        return appendTo(m_log, text);
    };
    QVERIFY(write(0, 300));
    QTRY_COMPARE_WITH_TIMEOUT(first->messages().size(), 300, kWaitMs);
    QString lastId;
    const QStringList before = first->messages(&lastId);
    first->socket.abort();
    first.reset();
    if (restartAgent)
        stopAgent();
    if (emptyHistory) {
        for (const QString &name : QDir(m_dir->filePath("state")).entryList({QStringLiteral("history.sqlite*")}))
            QVERIFY(QFile::remove(m_dir->filePath("state/" + name)));
    }
    QVERIFY(write(300, 2300));
    if (restartAgent)
        QVERIFY(startAgent());

    std::unique_ptr<Client> second = loggedInClient();
    QVERIFY(second);
    second->send({{"type", "subscribe"}, {"tenant", ""}, {"since", lastId}});
    QVERIFY(!second->waitForType(PbxProtocol::TypeSubscribed).isEmpty());
    QVERIFY(write(2300, 2400));
    QTRY_COMPARE_WITH_TIMEOUT(second->messages().size(), 2100, kWaitMs);
    QCOMPARE(before + second->messages(), written);
}

void tst_AgentHistory::hostileHistoryFrames_data()
{
    QTest::addColumn<bool>("history");
    QTest::addColumn<bool>("beforeLogin");
    QTest::addColumn<QJsonObject>("frame");
    QTest::addColumn<QString>("answer");  // frame type, then what it holds
    QTest::addColumn<int>("times");       // the frame sent this many times in one write

    const QJsonObject calls{{"type", "history-calls"}, {"id", "q1"}};
    auto with = [](QJsonObject frame, const QString &key, const QJsonValue &value) {
        frame.insert(key, value);
        return frame;
    };
    QTest::newRow("SQL in the query") << true << false << with(calls, "query", "x' OR '1'='1'; DROP TABLE rows; --")
                                      << "history-calls-result 0 calls" << 1;
    QTest::newRow("LIKE wildcards in the query") << true << false << with(calls, "query", "%_%") << "history-calls-result 0 calls" << 1;
    QTest::newRow("huge query") << true << false << with(calls, "query", QString(100000, QLatin1Char('7')))
                                << "error q1 query is longer than" << 1;
    QTest::newRow("limit 10^9") << true << false << with(calls, "limit", 1e9) << "history-calls-result 1 calls" << 1;
    QTest::newRow("limit 0") << true << false << with(calls, "limit", 0) << "error q1 limit must be" << 1;
    QTest::newRow("unknown member") << true << false << with(calls, "order", "id; DROP TABLE rows")
                                    << "error q1 unknown member \"order\"" << 1;
    QTest::newRow("time of another form") << true << false << with(calls, "from", "yesterday")
                                          << "error q1 from and to must be" << 1;
    QTest::newRow("id that is no text") << true << false << with(calls, "id", 7) << "error  id must be" << 1;
    QTest::newRow("rows of no call") << true << false
                                     << QJsonObject{{"type", "history-rows"}, {"id", "r1"}, {"callId", "no-such-call"}}
                                     << "history-rows-result 0 rows" << 1;
    QTest::newRow("rows without a Call-ID") << true << false << QJsonObject{{"type", "history-rows"}, {"id", "r1"}}
                                            << "error r1 callId is missing" << 1;
    QTest::newRow("since naming no row") << true << false
                                         << QJsonObject{{"type", "subscribe"}, {"tenant", ""}, {"since", "999999999999"}}
                                         << "subscribed" << 1;
    QTest::newRow("since that is no row id") << true << false
                                             << QJsonObject{{"type", "subscribe"}, {"tenant", ""}, {"since", "1 OR 1"}}
                                             << "error  since must be a row id" << 1;
    QTest::newRow("history frames before login") << true << true << with(calls, "query", "1") << "error  not logged in" << 1;
    QTest::newRow("history off") << false << false << with(calls, "query", "1") << "error q1 no history is kept" << 1;
    QTest::newRow("a second query while one runs") << true << false << with(calls, "query", "1")
                                                   << "error q1 busy: one history query" << 2;
}

void tst_AgentHistory::hostileHistoryFrames()
{
    QFETCH(bool, history);
    QFETCH(bool, beforeLogin);
    QFETCH(QJsonObject, frame);
    QFETCH(QString, answer);
    QFETCH(int, times);
    QVERIFY(startAgent(history));
    QVERIFY(appendTo(m_log, callLines("hostile@127.0.0.1", "0633333333", 2)));
    if (history)
        QVERIFY(stored("hostile@127.0.0.1"));

    Client client;
    QVERIFY(client.connectTo(m_port));
    if (!beforeLogin)
        QVERIFY(!client.login().isEmpty());
    const int from = client.frames.size();
    // In one write: the exchange reads them all before it answers the first.
    client.socket.write(PbxFrameCodec::encode(frame).repeated(times));
    const QString type = answer.section(' ', 0, 0);
    const QJsonObject got = client.waitForType(type, from);
    QVERIFY2(!got.isEmpty(), qPrintable(answer));
    if (type == "error") {
        QCOMPARE(got.value("id").toString(), answer.section(' ', 1, 1));
        QVERIFY2(got.value("reason").toString().contains(answer.section(' ', 2)), qPrintable(got.value("reason").toString()));
    } else if (type != "subscribed") {
        const QString member = answer.section(' ', 2, 2);
        QCOMPARE(got.value(member).toArray().size(), answer.section(' ', 1, 1).toInt());
    }
    // The session goes on: a ping is still answered.
    client.send({{"type", "ping"}, {"seq", 5}});
    QVERIFY(!client.waitForType(PbxProtocol::TypePong, from).isEmpty());
}

// The window: rows missed while the agent was stopped come first after the
// login again, then the live ones; the find bar's history search lists a
// call, and its window shows and saves every row of it.
void tst_AgentHistory::windowGoesOnAfterDropAndSearchesHistory()
{
    QVERIFY(startAgent());
    ModalAnswerer answerer(QStringLiteral("Ok"));
    wdgPLoggerGui window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QLineEdit *>(QStringLiteral("txtPAddress"))->setText(QStringLiteral("127.0.0.1:%1").arg(m_port));
    window.findChild<QLineEdit *>(QStringLiteral("txtUser"))->setText(kUser);
    window.findChild<QLineEdit *>(QStringLiteral("txtPwd"))->setText(kPassword);
    auto *status = window.findChild<QLabel *>(QStringLiteral("lblStatusText"));
    auto *history = window.findChild<QToolButton *>(QStringLiteral("btnFindInHistory"));
    QVERIFY(history && !history->isEnabled());
    QVERIFY(QMetaObject::invokeMethod(&window, "connectToP"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Stato: Connesso"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(history->isEnabled(), kWaitMs);

    QStringList written;
    auto write = [&](int from, int to) {
        QByteArray text;
        for (int i = from; i < to; ++i) {
            written << QStringLiteral("INFO: line %1").arg(i);
            text += written.last().toUtf8() + '\n';
        }
        return appendTo(m_log, text);
    };
    auto *view = window.findChild<QTableView *>(QStringLiteral("tbLogView"));
    auto shown = [&] {
        flushRows(&window);
        QStringList lines;
        for (int r = 0; r < view->model()->rowCount(); ++r) {
            const QString text = view->model()->index(r, LogMessageModel::MessageColumn).data().toString();
            if (text.startsWith(QLatin1String("INFO: line ")))
                lines << text;
        }
        return lines;
    };
    QVERIFY(write(0, 200));
    QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 200, kWaitMs);

    const quint16 port = m_port;
    stopAgent();
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Stato: Disconnesso"), kWaitMs);
    QVERIFY(!history->isEnabled());
    QVERIFY(write(200, 1200));
    QVERIFY(appendTo(m_log, callLines("window-call@127.0.0.1", "0644444444", 4)));
    QVERIFY(startAgent(true, port));
    QVERIFY(QMetaObject::invokeMethod(&window, "connectToP"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Stato: Connesso"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(history->isEnabled(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 1200, kWaitMs);
    QVERIFY(write(1200, 1300));
    QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 1300, kWaitMs);
    QCOMPARE(shown(), written);

    window.findChild<QLineEdit *>(QStringLiteral("leFind"))->setText(QStringLiteral("0644444444"));
    history->click();
    HistoryWindow *calls = window.findChild<HistoryWindow *>();
    QVERIFY(calls);
    QCOMPARE(calls->windowTitle(), QStringLiteral("Storico chiamate"));
    QTRY_COMPARE_WITH_TIMEOUT(calls->model()->rowCount(), 1, kWaitMs);
    QCOMPARE(calls->model()->index(0, HistoryWindow::CallIdColumn).data().toString(), QStringLiteral("window-call@127.0.0.1"));
    QCOMPARE(calls->model()->index(0, HistoryWindow::RowsColumn).data().toInt(), 4);

    auto *table = calls->findChild<QTableView *>(QStringLiteral("tvCalls"));
    table->setCurrentIndex(calls->model()->index(0, 0));
    QTest::keyClick(table, Qt::Key_Return);
    CallWindow *call = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((call = window.findChild<CallWindow *>()) != nullptr, kWaitMs);
    QCOMPARE(call->windowTitle(), QStringLiteral("Chiamata window-call@127.0.0.1"));
    QTRY_COMPARE_WITH_TIMEOUT(call->model()->rowCount(), 4, kWaitMs);
    QCOMPARE(call->model()->index(0, LogMessageModel::VerbosityColumn).data().toString(), QStringLiteral("NOTICE"));
    const QString saved = m_dir->filePath("call.txt");
    QString error;
    QVERIFY2(call->saveTo(saved, &error), qPrintable(error));
    QFile file(saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(file.readAll());
    QVERIFY2(text.contains(QStringLiteral("new call from alice to 0644444444")) && text.contains("step 3"), qPrintable(text));

    // An error of the exchange is shown in the history window.
    window.findChild<QLineEdit *>(QStringLiteral("leFind"))->setText(QString(300, QLatin1Char('9')));
    history->click();
    QTRY_COMPARE_WITH_TIMEOUT(calls->model()->rowCount(), 0, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(calls->statusText().startsWith(QStringLiteral("Errore")) || calls->statusText().contains("0 chiamate"), kWaitMs);
}

QTEST_MAIN(tst_AgentHistory)
#include "tst_agenthistory.moc"
