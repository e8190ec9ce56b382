// The agent's history under load:
//
// - store_rows_s: rows kept per second by the store, over a store of
//   HISTORY_ROWS rows (default 2,000,000: 100,000 calls of 20 rows, SIP
//   messages and Kamailio's lines mixed, spread over the last 7 days);
// - ingest_ratio: the agent's lines per second from a followed file to a
//   logged-in client with its history on, against the same with it off
//   (medians of three runs each);
// - search_ms_p50/p99: a search by a caller's number over 7 days, from the
//   question to the answer (200 searches);
// - call_rows_ms: every row of one call (median of 100);
// - db_mib_per_million_rows: the file's size.

#include "accountstore.h"
#include "agent.h"
#include "benchsupport.h"
#include "historystore.h"
#include "knownexchanges.h"
#include "pbxlink.h"
#include "pbxlinkglobal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {
constexpr int kRowsPerCall = 20;
const QString kPassword = QStringLiteral("bench");

QString numberOf(int call)
{
    return QStringLiteral("39%1").arg(call, 8, 10, QLatin1Char('0'));
}

QString callIdOf(int call)
{
    return QStringLiteral("bench-%1@127.0.0.1").arg(call);
}

// One call's rows: its SIP messages as HEP brings them, and Kamailio's lines.
void appendCall(HistoryStore &store, int call, const QDateTime &start, qint64 *id)
{
    static const char *const sip[] = {"INVITE sip:%2@alpha.test SIP/2.0", "SIP/2.0 100 Trying", "SIP/2.0 180 Ringing",
                                      "SIP/2.0 200 OK", "ACK sip:%2@127.0.0.1:5072 SIP/2.0",
                                      "BYE sip:%1@127.0.0.1:5070 SIP/2.0", "SIP/2.0 200 OK", "OPTIONS sip:%2@alpha.test SIP/2.0"};
    const QString callId = callIdOf(call);
    const QString caller = numberOf(call);
    const QString callee = QStringLiteral("06%1").arg(call % 100000, 8, 10, QLatin1Char('0'));
    QVector<DiagnosticMessage> rows;
    for (int r = 0; r < kRowsPerCall; ++r) {
        DiagnosticMessage row;
        row.messageId = QString::number(++*id);
        row.linkedId = callId;
        row.timestamp = start.addMSecs(r * 150).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        row.verbosity = QStringLiteral("4");
        if (r % 5 < 2) {
            const int n = (r / 5) * 2 + r % 5;
            const QString startLine =
                QString::fromLatin1(sip[n % 8]).replace(QLatin1String("%1"), caller).replace(QLatin1String("%2"), callee);
            row.message = QStringLiteral("SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\n%1\r\n"
                                         "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK%2\r\n"
                                         "From: <sip:%3@alpha.test>;tag=%2\r\nTo: <sip:%4@alpha.test>\r\n"
                                         "Call-ID: %5\r\nCSeq: %6 %7\r\nContent-Length: 0\r\n\r\n")
                              .arg(startLine)
                              .arg(*id)
                              .arg(caller, callee, callId)
                              .arg(1 + n / 5)
                              .arg(n < 5 ? QStringLiteral("INVITE") : QStringLiteral("BYE"));
        } else {
            row.verbosity = QStringLiteral("3");
            row.message = QStringLiteral(" 1(1264) INFO: {1 %1 INVITE %2} <script>: REQ INVITE fu=sip:%3@alpha.test "
                                         "tu=sip:%4@alpha.test step %5")
                              .arg(100 + r)
                              .arg(callId, caller, callee)
                              .arg(r);
        }
        rows.append(row);
    }
    store.append(rows);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Lines from a followed file to a logged-in client, in lines per second, with
// the agent's history on or off.
double ingest(const QString &home, bool history, int lines, int run)
{
    // Each run afresh: a file source would go on where the last one stopped.
    const QString name = QStringLiteral("%1-%2").arg(history ? QStringLiteral("on") : QStringLiteral("off")).arg(run);
    const QString state = home + QStringLiteral("/state-") + name;
    const QString log = home + QLatin1Char('/') + name + QStringLiteral(".log");
    QFile(log).open(QIODevice::WriteOnly);
    AgentConfig config;
    config.listen = QStringList{QStringLiteral("127.0.0.1:0")};
    config.stateDir = state;
    config.accountsFile = home + QStringLiteral("/accounts");
    config.sources = QStringList{QStringLiteral("file:") + log};
    config.rpcSocket = home + QStringLiteral("/no-kamailio.sock");
    config.historyEnabled = history;
    Agent agent(config);
    QStringList ready;
    QObject::connect(&agent, &Agent::ready, [&ready](const QStringList &l) { ready = l; });
    QString error;
    if (!agent.check(&error) || !agent.start(&error)) {
        std::fprintf(stderr, "the agent did not start: %s\n", qPrintable(error));
        return 0;
    }
    BenchSupport::waitUntil([&] { return !ready.isEmpty(); }, 10000);
    const QString address = ready.filter(QStringLiteral("listening ")).value(0).section(QLatin1Char(' '), 1);
    const QByteArray fingerprint = ready.value(0).section(QLatin1Char(' '), 1).toLatin1();
    KnownExchanges(home).remember(address, QString::fromLatin1(fingerprint));

    PbxLink link(QStringLiteral("bench"), QStringLiteral("1"), QStringLiteral("plogger-bench"), QStringLiteral("1"), home);
    std::atomic<qint64> received{0};
    bool logged = false;
    QObject::connect(&link, &PbxLink::loggedToServer, [&logged] { logged = true; });
    QObject::connect(
        &link, &PbxLink::sigDiagnosticMessageReceived, &link,
        [&received](const DiagnosticMessage &) { received.fetch_add(1, std::memory_order_relaxed); },
        Qt::DirectConnection);
    link.init();
    link.setServerAddress(address);
    link.connectToServer(QStringLiteral("admin"), kPassword, QString(), PBXLINK::AppModeDiagnostic);
    BenchSupport::waitUntil([&] { return logged; }, 10000);
    if (!logged) {
        std::fprintf(stderr, "login failed\n");
        return 0;
    }
    link.subscribeTenantEvents(QString());
    QByteArray text;
    for (int n = 0; n < lines; ++n)
        text += " 1(1264) INFO: {1 " + QByteArray::number(100 + n % 7) + " INVITE b7" + QByteArray::number(n / 12)
            + "-4f1c@127.0.0.1 t=<null>} <script>: REQ INVITE fu=sip:alice@alpha.test tu=sip:bob@alpha.test seq="
            + QByteArray::number(n) + "\n";
    QElapsedTimer clock;
    clock.start();
    std::thread writer([&] {
        QFile out(log);
        out.open(QIODevice::Append);
        for (int at = 0; at < text.size(); at += 64 * 1024) {
            out.write(text.constData() + at, qMin(64 * 1024, text.size() - at));
            out.flush();
        }
    });
    BenchSupport::waitUntil([&] { return received.load() >= lines; }, 180000, 5);
    writer.join();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf("file -> agent -> link, history %s: %lld of %d lines in %.2f s = %.0f lines/s\n",
                history ? "on" : "off", received.load(), lines, seconds, double(received.load()) / seconds);
    std::fflush(stdout);
    link.shutdown();
    return double(received.load()) / seconds;
}
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    PBXLINK::registerMetaTypes();
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type >= QtWarningMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    const int rows = BenchSupport::envInt("HISTORY_ROWS", 2000000);
    const int ingestLines = BenchSupport::envInt("HISTORY_INGEST_LINES", 300000);
    const int calls = rows / kRowsPerCall;

    // ---- the store: rows as fast as it keeps them
    HistoryStore::Settings settings;
    settings.folder = home.path();
    HistoryStore store(settings);
    QString error;
    if (!store.open(&error)) {
        std::fprintf(stderr, "no store: %s\n", qPrintable(error));
        return 1;
    }
    const QDateTime first = QDateTime::currentDateTime().addDays(-7).addSecs(600);
    const qint64 spanMs = 7LL * 24 * 3600 * 1000 - 1200 * 1000;
    qint64 id = 0;
    QElapsedTimer clock;
    clock.start();
    for (int call = 0; call < calls; ++call) {
        appendCall(store, call, first.addMSecs(spanMs * call / calls), &id);
        // The writer is given what it can take: past its bound rows are
        // served but not kept.
        if ((call + 1) % 500 == 0)
            store.flush();
    }
    store.flush();
    const double storeSeconds = double(clock.nsecsElapsed()) / 1e9;
    const double storeRowsPerSecond = double(id) / storeSeconds;
    const double mib = double(QFileInfo(QDir(home.path()).filePath(HistoryStore::fileName())).size()) / (1024.0 * 1024.0);
    std::printf("store: %lld rows of %d calls in %.1f s = %.0f rows/s; file %.0f MiB\n", id, calls, storeSeconds,
                storeRowsPerSecond, mib);
    std::fflush(stdout);

    // ---- searches and call rows, one at a time as a client asks
    std::mt19937 random(42);
    std::vector<double> searchMs;
    for (int i = 0; i < 200; ++i) {
        HistoryRequest request;
        request.query = numberOf(int(random() % unsigned(calls)));
        request.from = QDateTime::currentDateTime().addDays(-7).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        request.limit = HistoryRequest::MaxLimit;
        bool done = false;
        int found = 0;
        QElapsedTimer asked;
        asked.start();
        store.findCalls(request, [&](const QString &why, const QVector<HistoryCall> &list, bool) {
            if (!why.isEmpty())
                std::fprintf(stderr, "search failed: %s\n", qPrintable(why));
            found = list.size();
            done = true;
        });
        BenchSupport::waitUntil([&] { return done; }, 30000, 1);
        searchMs.push_back(double(asked.nsecsElapsed()) / 1e6);
        if (found != 1)
            std::fprintf(stderr, "search for %s found %d calls\n", qPrintable(request.query), found);
    }
    std::vector<double> rowsMs;
    for (int i = 0; i < 100; ++i) {
        bool done = false;
        int got = 0;
        QElapsedTimer asked;
        asked.start();
        store.callRows(callIdOf(int(random() % unsigned(calls))), [&](const QString &, const QVector<DiagnosticMessage> &list, bool) {
            got = list.size();
            done = true;
        });
        BenchSupport::waitUntil([&] { return done; }, 30000, 1);
        rowsMs.push_back(double(asked.nsecsElapsed()) / 1e6);
        if (got != kRowsPerCall)
            std::fprintf(stderr, "a call gave %d rows\n", got);
    }
    std::printf("search by number over 7 days: p50 %.1f ms, p99 %.1f ms; a call's rows: median %.1f ms\n",
                percentile(searchMs, 0.5), percentile(searchMs, 0.99), percentile(rowsMs, 0.5));
    std::fflush(stdout);

    // ---- the agent's lines per second, without and with its history
    AccountStore accounts;
    accounts.setPassword(QStringLiteral("admin"), kPassword);
    if (!accounts.save(home.filePath(QStringLiteral("accounts")), &error)) {
        std::fprintf(stderr, "no account: %s\n", qPrintable(error));
        return 1;
    }
    // A second of lines is a short run on a shared machine: the ratio is of
    // the medians of three runs each, taken in turn.
    std::vector<double> offRuns, onRuns;
    for (int run = 0; run < 3; ++run) {
        offRuns.push_back(ingest(home.path(), false, ingestLines, run));
        onRuns.push_back(ingest(home.path(), true, ingestLines, run));
    }
    const double off = percentile(offRuns, 0.5);
    const double on = percentile(onRuns, 0.5);

    std::printf("history: store_rows_s=%.0f ingest_ratio=%.2f search_ms_p50=%.1f search_ms_p99=%.1f call_rows_ms=%.1f "
                "db_mib_per_million_rows=%.0f\n",
                storeRowsPerSecond, off > 0 ? on / off : 0, percentile(searchMs, 0.5), percentile(searchMs, 0.99),
                percentile(rowsMs, 0.5), mib * 1e6 / double(id));
    return 0;
}
