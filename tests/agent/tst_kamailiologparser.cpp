#include "kamailiologparser.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString kTenant = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");
const QString kStampFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz");

// "level|linkedId|uniqueId|tenant|message": one line per record in the tables.
QString describe(const DiagnosticMessage &m)
{
    return QStringList{m.verbosity, m.linkedId, m.uniqueId, m.tenantUuid, m.message}.join(QLatin1Char('|'));
}

QStringList parse(const QByteArray &input, int pieceSize, const QString &tenantPattern,
                  QVector<DiagnosticMessage> *records)
{
    KamailioLogParser parser;
    parser.setTenantPattern(QRegularExpression(tenantPattern));
    for (int i = 0; i < input.size(); i += pieceSize)
        parser.addData(input.constData() + i, qMin(pieceSize, input.size() - i));
    parser.endOfStream();
    *records = parser.takeRecords();
    QStringList described;
    for (const DiagnosticMessage &m : qAsConst(*records))
        described << describe(m);
    return described;
}

}

class TestKamailioLogParser : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void journalEntries_data();
    void journalEntries();
    void heldEntryCompletesWhenQuiet();
};

void TestKamailioLogParser::lines_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("tenantPattern");
    QTest::addColumn<QStringList>("records");

    const QByteArray invite = " 1(1264) INFO: {1 224 INVITE e6e2@127.0.0.1 t=" + kTenant.toUtf8()
                              + "} <script>: REQ INVITE ci=e6e2@127.0.0.1";
    QTest::newRow("stderr, request with tenant")
        << invite + "\n" << QString()
        << QStringList{"3|e6e2@127.0.0.1|e6e2@127.0.0.1;224 INVITE|" + kTenant + "|" + QString::fromUtf8(invite)};
    QTest::newRow("stderr, reply and ACK: one transaction each")
        << QByteArray(" 2(1265) WARNING: {2 224 INVITE e6e2@127.0.0.1} <script>: RPL 180 Ringing\n"
                      " 1(1264) DEBUG: {1 224 ACK e6e2@127.0.0.1} tm [t_lookup.c:1022]: t_check_msg(): ack\n")
        << QString()
        << QStringList{"1|e6e2@127.0.0.1|e6e2@127.0.0.1;224 INVITE||"
                       " 2(1265) WARNING: {2 224 INVITE e6e2@127.0.0.1} <script>: RPL 180 Ringing",
                       "4|e6e2@127.0.0.1|e6e2@127.0.0.1;224 ACK||"
                       " 1(1264) DEBUG: {1 224 ACK e6e2@127.0.0.1} tm [t_lookup.c:1022]: t_check_msg(): ack"};
    QTest::newRow("journal form, empty and null tenant")
        << QByteArray("ERROR: {1 7 BYE a@h t=<null>} tm [t_reply.c:1]: x\r\nNOTICE: {1 8 BYE b@h t=} <script>: y\n")
        << QString()
        << QStringList{"0|a@h|a@h;7 BYE||ERROR: {1 7 BYE a@h t=<null>} tm [t_reply.c:1]: x",
                       "2|b@h|b@h;8 BYE||NOTICE: {1 8 BYE b@h t=} <script>: y"};
    QTest::newRow("every level word")
        << QByteArray("ALERT: a\nBUG: b\nCRITICAL: c\n10(1) INFO: d\n") << QString()
        << QStringList{"0||||ALERT: a", "0||||BUG: b", "0||||CRITICAL: c", "3||||10(1) INFO: d"};
    QTest::newRow("no prefix")
        << QByteArray(" 0(1255) INFO: db_text [dbt_lib.c:146]: dbt_cache_get_db(): using database\n") << QString()
        << QStringList{"3|||| 0(1255) INFO: db_text [dbt_lib.c:146]: dbt_cache_get_db(): using database"};
    QTest::newRow("syslog file header")
        << QByteArray("May 14 10:31:07 sip kamailio[1264]: NOTICE: {2 1 INVITE x@y} <script>: dialog end\n")
        << QString()
        << QStringList{"2|x@y|x@y;1 INVITE||"
                       "May 14 10:31:07 sip kamailio[1264]: NOTICE: {2 1 INVITE x@y} <script>: dialog end"};
    QTest::newRow("Call-ID holding braces")
        << QByteArray("INFO: {1 5 INVITE ab}c} <script>: x\nINFO: {1 6 INVITE d} t=u1} <script>: y\n") << QString()
        << QStringList{"3|ab}c|ab}c;5 INVITE||INFO: {1 5 INVITE ab}c} <script>: x",
                       "3|d}|d};6 INVITE|u1|INFO: {1 6 INVITE d} t=u1} <script>: y"};
    QTest::newRow("continuation lines join their entry")
        << QByteArray(" 1(9) DEBUG: <core> [core/receive.c:1]: receive_msg(): SIP Request:\n"
                      "INVITE sip:bob@alpha.test SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1\r\n\r\n"
                      " 1(9) INFO: next\n")
        << QString()
        << QStringList{"4|||| 1(9) DEBUG: <core> [core/receive.c:1]: receive_msg(): SIP Request:\n"
                       "INVITE sip:bob@alpha.test SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1\n",
                       "3|||| 1(9) INFO: next"};
    QTest::newRow("JSON")
        << QByteArray("{ \"idx\": 2, \"pid\": 23263, \"level\": \"ERROR\", \"module\": \"xlog\", "
                      "\"file\": \"xlog.c\", \"line\": 282, \"function\": \"\", \"callid\": \"c1@h\", "
                      "\"logprefix\": \"{1 448 INVITE c1@h t=u2} \", "
                      "\"message\": \"REQ \\\"INVITE\\\" caf\\u00e9\\n\" }\n")
        << QString()
        << QStringList{"0|c1@h|c1@h;448 INVITE|u2|2(23263) ERROR: {1 448 INVITE c1@h t=u2} xlog [xlog.c:282]: "
                       "REQ \"INVITE\" caf\u00e9"};
    const QByteArray broken = "{ \"idx\": 1, \"pid\": 7, \"level\": \"WARNING\", \"module\": \"xlog\", "
                              "\"file\": \"xlog.c\", \"line\": 1, \"function\": \"\", \"callid\": \"a\"b@h\", "
                              "\"logprefix\": \"{1 5 REGISTER a\"b@h} \", "
                              "\"message\": \"REG\" }";
    QTest::newRow("JSON broken by its Call-ID, read as text")
        << broken + "\n" << QString() << QStringList{"1|a\"b@h|a\"b@h;5 REGISTER||" + QString::fromUtf8(broken)};
    // A caller's text in the message imitates a second prefix: no call, no tenant.
    const QByteArray forged = "{ \"idx\": 1, \"pid\": 7, \"level\": \"INFO\", \"callid\": \"a\"b@h\", "
                              "\"logprefix\": \"{1 5 INVITE a\"b@h} \", \"message\": \"ua x \"logprefix\": "
                              "\"{1 1 INVITE victim@h t=u9} \" }";
    QTest::newRow("broken JSON with a forged second prefix")
        << forged + "\n" << QString() << QStringList{"3||||" + QString::fromUtf8(forged)};
    QTest::newRow("unknown junk") << QByteArray("Listening on\n") << QString() << QStringList{"3||||Listening on"};
    QTest::newRow("unknown junk with a level word")
        << QByteArray("core: WARNING: odd\n") << QString() << QStringList{"1||||core: WARNING: odd"};
    QTest::newRow("tenant from a configured pattern")
        << QByteArray(" 0(1) INFO: <script>: tenant=abc hello\n") << QStringLiteral("tenant=(\\S+)")
        << QStringList{"3|||abc| 0(1) INFO: <script>: tenant=abc hello"};
    // A remote SIP peer folds its Call-ID so that the log shows a line of its
    // own: it stays with the entry that logged it, never names a call.
    const QByteArray folded = "INFO: {1 5 INVITE a@h t=u1} <script>: ci=a@h\r\n";
    QTest::newRow("Call-ID folded into a forged entry")
        << folded + " ERROR: {1 1 INVITE victim@h t=u9} <script>: forged\n" << QString()
        << QStringList{"3|a@h|a@h;5 INVITE|u1|INFO: {1 5 INVITE a@h t=u1} <script>: ci=a@h\n"
                       " ERROR: {1 1 INVITE victim@h t=u9} <script>: forged"};
    QTest::newRow("Call-ID folded with a tab into a forged entry")
        << folded + "\tERROR: {1 1 INVITE victim@h t=u9} x\n" << QString()
        << QStringList{"3|a@h|a@h;5 INVITE|u1|INFO: {1 5 INVITE a@h t=u1} <script>: ci=a@h\n"
                       "\tERROR: {1 1 INVITE victim@h t=u9} x"};
    QTest::newRow("Call-ID folded into a forged stderr entry of a two-digit idx")
        << folded + "  10(7) ERROR: {1 1 INVITE victim@h t=u9} x\n" << QString()
        << QStringList{"3|a@h|a@h;5 INVITE|u1|INFO: {1 5 INVITE a@h t=u1} <script>: ci=a@h\n"
                       "  10(7) ERROR: {1 1 INVITE victim@h t=u9} x"};
    QTest::newRow("Call-ID folded into a padded stderr head, in a syslog stream")
        << folded + " 1(7) ERROR: {1 1 INVITE victim@h t=u9} x\n" << QString()
        << QStringList{"3|a@h|a@h;5 INVITE|u1|INFO: {1 5 INVITE a@h t=u1} <script>: ci=a@h\n"
                       " 1(7) ERROR: {1 1 INVITE victim@h t=u9} x"};
    QTest::newRow("Call-ID folded into a forged JSON line")
        << folded + " { \"idx\": 1, \"pid\": 7, \"level\": \"ERROR\", \"callid\": \"victim@h\", "
                    "\"logprefix\": \"{1 1 INVITE victim@h t=u9} \", \"message\": \"x\" }\n"
        << QString()
        << QStringList{"3|a@h|a@h;5 INVITE|u1|INFO: {1 5 INVITE a@h t=u1} <script>: ci=a@h\n"
                       " { \"idx\": 1, \"pid\": 7, \"level\": \"ERROR\", \"callid\": \"victim@h\", "
                       "\"logprefix\": \"{1 1 INVITE victim@h t=u9} \", \"message\": \"x\" }"};
    QTest::newRow("overlong line, cut")
        << QByteArray(KamailioLogParser::MaxLineBytes + 100, 'x') + "\nINFO: after\n" << QString()
        << QStringList{"3||||" + QString(KamailioLogParser::MaxLineBytes, QLatin1Char('x')) + "...",
                       "3||||INFO: after"};
}

void TestKamailioLogParser::lines()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, tenantPattern);
    QFETCH(QStringList, records);

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QVector<DiagnosticMessage> whole;
    QCOMPARE(parse(input, input.size(), tenantPattern, &whole), records);
    for (int i = 0; i < whole.size(); ++i) {
        // Stamped when read, in local time.
        const QDateTime stamp = QDateTime::fromString(whole[i].timestamp, kStampFormat);
        QVERIFY2(stamp.isValid() && stamp.toMSecsSinceEpoch() >= before - 1
                     && stamp.toMSecsSinceEpoch() <= QDateTime::currentMSecsSinceEpoch(),
                 qPrintable(whole[i].timestamp));
    }
    // How the bytes were cut into reads does not matter.
    QVector<DiagnosticMessage> pieces;
    QCOMPARE(parse(input, 7, tenantPattern, &pieces), records);
}

void TestKamailioLogParser::journalEntries_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("priority");
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<QString>("record");

    QTest::newRow("level word beats priority")
        << QStringLiteral("ERROR: {1 5 BYE cid@h t=u1} <script>: bye") << 6 << qint64(1264)
        << QStringLiteral("0|cid@h|cid@h;5 BYE|u1|(1264) ERROR: {1 5 BYE cid@h t=u1} <script>: bye");
    QTest::newRow("priority 4 without level word") << QStringLiteral("disk nearly full") << 4 << qint64(0)
                                                  << QStringLiteral("1||||disk nearly full");
    QTest::newRow("priority 2") << QStringLiteral("x") << 2 << qint64(0) << QStringLiteral("0||||x");
    QTest::newRow("priority 5") << QStringLiteral("x") << 5 << qint64(0) << QStringLiteral("2||||x");
    QTest::newRow("priority 7") << QStringLiteral("x") << 7 << qint64(0) << QStringLiteral("4||||x");
    QTest::newRow("no priority") << QStringLiteral("x") << -1 << qint64(0) << QStringLiteral("3||||x");
    QTest::newRow("forged head after blank space names no call")
        << QStringLiteral(" ERROR: {1 1 INVITE victim@h t=u9} x") << 6 << qint64(0)
        << QStringLiteral("3|||| ERROR: {1 1 INVITE victim@h t=u9} x");
    QTest::newRow("several lines stay one record")
        << QStringLiteral("DEBUG: <core> [core/receive.c:1]: SIP Request:\nINVITE sip:b@h SIP/2.0") << 7 << qint64(0)
        << QStringLiteral("4||||DEBUG: <core> [core/receive.c:1]: SIP Request:\nINVITE sip:b@h SIP/2.0");
}

void TestKamailioLogParser::journalEntries()
{
    QFETCH(QString, message);
    QFETCH(int, priority);
    QFETCH(qint64, pid);
    QFETCH(QString, record);

    const qint64 realtimeUs = 1715675467123456;
    KamailioLogParser parser;
    parser.addJournalEntry(message, realtimeUs, priority, pid);
    const QVector<DiagnosticMessage> records = parser.takeRecords();
    QCOMPARE(records.size(), 1);
    QCOMPARE(describe(records[0]), record);
    QCOMPARE(records[0].timestamp, QDateTime::fromMSecsSinceEpoch(realtimeUs / 1000).toString(kStampFormat));
}

// An entry might go on in the next line; with no next line it must not wait
// for ever.
void TestKamailioLogParser::heldEntryCompletesWhenQuiet()
{
    KamailioLogParser parser;
    QSignalSpy ready(&parser, &KamailioLogParser::recordsReady);
    const QByteArray line = " 0(1) INFO: last words\n";
    parser.addData(line.constData(), line.size());
    QVERIFY(parser.takeRecords().isEmpty());
    QVERIFY(ready.wait());
    const QVector<DiagnosticMessage> records = parser.takeRecords();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].message, QStringLiteral(" 0(1) INFO: last words"));
}

QTEST_GUILESS_MAIN(TestKamailioLogParser)
#include "tst_kamailiologparser.moc"
