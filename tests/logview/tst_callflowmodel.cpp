#include "callflowmodel.h"

#include <QDateTime>
#include <QtTest>

namespace {

// "s|SRC|DST|WHAT|CSEQ|BRANCH|TIME": a SIP row (WHAT is a method or
// "CODE REASON"); "l|TEXT|SECONDS.MILLI": a log line stamped in local time;
// "x|FIELD;FIELD...|TEXT": a row with the extra fields given as they are.
DiagnosticMessage rowOf(const QString &text)
{
    const QStringList p = text.split(QLatin1Char('|'));
    DiagnosticMessage m;
    m.linkedId = QStringLiteral("call-1");
    m.verbosity = QStringLiteral("3");
    if (p.at(0) == QLatin1String("s")) {
        m.extraFields << "sip.src=" + p.at(1) << "sip.dst=" + p.at(2) << QStringLiteral("sip.proto=UDP");
        const QString what = p.at(3);
        if (what.at(0).isDigit())
            m.extraFields << "sip.status=" + what.left(3) << "sip.reason=" + what.mid(4);
        else
            m.extraFields << "sip.method=" + what;
        m.extraFields << "sip.cseq=" + p.at(4) << "sip.branch=" + p.at(5) << "sip.time=" + p.at(6);
        m.message = "SIP from " + p.at(1) + " to " + p.at(2) + " (UDP)\n" + what;
    } else if (p.at(0) == QLatin1String("l")) {
        const double at = p.at(2).toDouble();
        if (!p.at(2).isEmpty())
            m.timestamp = QDateTime::fromMSecsSinceEpoch(qint64(at * 1000 + 0.5)).toString("yyyy-MM-dd hh:mm:ss.zzz");
        m.message = p.at(1);
    } else {
        m.extraFields = p.at(1).split(QLatin1Char(';'));
        m.message = p.at(2);
    }
    return m;
}

// "FROM>TO LABEL tN" for an arrow (" R" when a retransmission), "- TEXT" for a line.
QStringList drawn(const CallFlowModel &model)
{
    QStringList out;
    for (const CallFlowModel::Event &e : model.events()) {
        if (e.message)
            out << QStringLiteral("%1>%2 %3 t%4%5").arg(e.from).arg(e.to).arg(e.label).arg(e.transaction)
                       .arg(e.retransmission ? " R" : "");
        else
            out << "- " + e.label;
    }
    return out;
}

const char *const A = "10.0.0.1:5070";
const char *const K = "127.0.0.1:5060";
const char *const B = "10.0.0.2:5080";
const char *const C = "10.0.0.3:5090";

QString s(const char *src, const char *dst, const char *what, const char *cseq, const char *branch, const char *time)
{
    return QStringLiteral("s|%1|%2|%3|%4|%5|%6").arg(src, dst, what, cseq, branch, time);
}

} // namespace

class tst_CallFlowModel : public QObject
{
    Q_OBJECT

private slots:
    void ladder_data();
    void ladder();
    void appendedRowsTakeTheirPlace();
};

void tst_CallFlowModel::ladder_data()
{
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("columns");
    QTest::addColumn<QStringList>("events");

    const QStringList threeColumns{QString(A), QString(K) + " (server SIP)", QString(B)};
    QTest::newRow("columns by first appearance, server in every message")
        << QStringList{s(A, K, "INVITE", "1 INVITE", "z1", "100.000000"),
                       s(K, B, "INVITE", "1 INVITE", "z2", "100.001000"),
                       s(B, K, "180 Ringing", "1 INVITE", "z2", "100.200000"),
                       s(K, A, "180 Ringing", "1 INVITE", "z1", "100.201000")}
        << threeColumns
        << QStringList{"0>1 INVITE t0", "1>2 INVITE t1", "2>1 180 Ringing t1", "1>0 180 Ringing t0"};
    QTest::newRow("forked INVITE: one transaction per leg")
        << QStringList{s(A, K, "INVITE", "1 INVITE", "z1", "1.000000"), s(K, B, "INVITE", "1 INVITE", "z2", "1.001000"),
                       s(K, C, "INVITE", "1 INVITE", "z3", "1.002000"),
                       s(C, K, "486 Busy Here", "1 INVITE", "z3", "1.100000"),
                       s(B, K, "180 Ringing", "1 INVITE", "z2", "1.200000")}
        << QStringList{QString(A), QString(K) + " (server SIP)", QString(B), QString(C)}
        << QStringList{"0>1 INVITE t0", "1>2 INVITE t1", "1>3 INVITE t2", "3>1 486 Busy Here t2",
                       "2>1 180 Ringing t1"};
    QTest::newRow("retransmission of INVITE and of 200")
        << QStringList{s(A, K, "INVITE", "1 INVITE", "z1", "1.000000"), s(A, K, "INVITE", "1 INVITE", "z1", "1.500000"),
                       s(K, A, "200 OK", "1 INVITE", "z1", "2.000000"), s(K, A, "200 OK", "1 INVITE", "z1", "2.500000")}
        << QStringList{QString(A), QString(K)}
        << QStringList{"0>1 INVITE t0", "0>1 INVITE t0 R", "1>0 200 OK t0", "1>0 200 OK t0 R"};
    QTest::newRow("re-INVITE is another transaction")
        << QStringList{s(A, K, "INVITE", "1 INVITE", "z1", "1.000000"), s(K, A, "200 OK", "1 INVITE", "z1", "1.100000"),
                       s(A, K, "ACK", "1 ACK", "z4", "1.200000"), s(A, K, "INVITE", "2 INVITE", "z5", "5.000000"),
                       s(K, A, "200 OK", "2 INVITE", "z5", "5.100000")}
        << QStringList{QString(A), QString(K)}
        << QStringList{"0>1 INVITE t0", "1>0 200 OK t0", "0>1 ACK t1", "0>1 INVITE t2", "1>0 200 OK t2"};
    QTest::newRow("CANCEL and 487: same branch, apart by CSeq")
        << QStringList{s(A, K, "INVITE", "1 INVITE", "z1", "1.000000"), s(A, K, "CANCEL", "1 CANCEL", "z1", "2.000000"),
                       s(K, A, "200 OK", "1 CANCEL", "z1", "2.010000"),
                       s(K, A, "487 Request Terminated", "1 INVITE", "z1", "2.020000")}
        << QStringList{QString(A), QString(K)}
        << QStringList{"0>1 INVITE t0", "0>1 CANCEL t1", "1>0 200 OK t1", "1>0 487 Request Terminated t0"};
    QTest::newRow("answers arrive before their 180: time order")
        << QStringList{s(K, A, "200 OK", "1 INVITE", "z1", "3.000000"), s(K, A, "180 Ringing", "1 INVITE", "z1", "2.000000"),
                       s(A, K, "INVITE", "1 INVITE", "z1", "1.000000")}
        << QStringList{QString(A), QString(K)}
        << QStringList{"0>1 INVITE t0", "1>0 180 Ringing t0", "1>0 200 OK t0"};
    QTest::newRow("log lines between the arrows at their time")
        << QStringList{s(A, K, "INVITE", "1 INVITE", "z1", "1000.000000"), "l|routing to voicemail|1000.500",
                       s(K, A, "200 OK", "1 INVITE", "z1", "1001.000000"), "l|first|999.000"}
        << QStringList{QString(A), QString(K)}
        << QStringList{"- first", "0>1 INVITE t0", "- routing to voicemail", "1>0 200 OK t0"};
    QTest::newRow("missing sip.time: a line")
        << QStringList{"x|sip.src=1.2.3.4:5;sip.dst=1.2.3.4:6;sip.method=INVITE|no time"} << QStringList()
        << QStringList{"- no time"};
    QTest::newRow("malformed sip.time: a line")
        << QStringList{"x|sip.src=1.2.3.4:5;sip.dst=1.2.3.4:6;sip.method=INVITE;sip.time=12.34|short micro"}
        << QStringList() << QStringList{"- short micro"};
    QTest::newRow("port out of range: a line")
        << QStringList{"x|sip.src=1.2.3.4:99999;sip.dst=1.2.3.4:6;sip.method=BYE;sip.time=1.000000|bad port"}
        << QStringList() << QStringList{"- bad port"};
    QTest::newRow("status not a code: a line")
        << QStringList{"x|sip.src=1.2.3.4:5;sip.dst=1.2.3.4:6;sip.status=2x0;sip.time=1.000000|bad code"}
        << QStringList() << QStringList{"- bad code"};
    QTest::newRow("both method and status: a line")
        << QStringList{"x|sip.src=1.2.3.4:5;sip.dst=1.2.3.4:6;sip.status=200;sip.method=BYE;sip.time=1.000000|both"}
        << QStringList() << QStringList{"- both"};
    QTest::newRow("empty fields and no equals sign: a line")
        << QStringList{"x|sip.src=;sip.dst;;sip.method=INVITE;sip.time=1.000000|empty"} << QStringList()
        << QStringList{"- empty"};
    QTest::newRow("field given twice: the first counts")
        << QStringList{"x|sip.src=1.2.3.4:5;sip.dst=1.2.3.4:6;sip.method=BYE;sip.method=junk junk;sip.time=1.000000|t"}
        << QStringList{"1.2.3.4:5", "1.2.3.4:6"} << QStringList{"0>1 BYE t0"};
    QTest::newRow("message to itself") << QStringList{s(K, K, "OPTIONS", "1 OPTIONS", "z1", "1.000000")}
                                       << QStringList{QString(K)} << QStringList{"0>0 OPTIONS t0"};
    // A line without a time follows the row that arrived before it.
    QTest::newRow("no SIP rows: lines on one time axis")
        << QStringList{"l|second|2.000", "l|first|1.000", "l|no time at all|"} << QStringList()
        << QStringList{"- first", "- no time at all", "- second"};
}

void tst_CallFlowModel::ladder()
{
    QFETCH(QStringList, rows);
    QFETCH(QStringList, columns);
    QFETCH(QStringList, events);

    QVector<DiagnosticMessage> messages;
    for (const QString &text : rows)
        messages << rowOf(text);
    const CallFlowModel model(messages);
    QStringList shownColumns;
    for (const CallFlowModel::Column &c : model.columns())
        shownColumns << (c.role.isEmpty() ? c.address : c.address + " (" + c.role + ")");
    QCOMPARE(shownColumns, columns);
    QCOMPARE(drawn(model), events);
}

// A live call grows row by row, in any order; the ladder is always the one
// the whole set of rows gives.
void tst_CallFlowModel::appendedRowsTakeTheirPlace()
{
    CallFlowModel model({rowOf(s(K, A, "200 OK", "1 INVITE", "z1", "3.000000"))});
    QCOMPARE(model.startUs(), qint64(3000000));
    model.append(rowOf(s(A, K, "INVITE", "1 INVITE", "z1", "1.250000")));
    QCOMPARE(drawn(model), (QStringList{"0>1 INVITE t0", "1>0 200 OK t0"}));
    QCOMPARE(model.startUs(), qint64(1250000));
    QCOMPARE(model.relativeTime(3000000), QStringLiteral("+1.750000"));
    QCOMPARE(model.events().at(1).row, 0);
}

QTEST_APPLESS_MAIN(tst_CallFlowModel)
#include "tst_callflowmodel.moc"
