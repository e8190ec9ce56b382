// Kamailio's log output as the agent reads it: text and JSON lines cut into
// reads of any size, and journal entries. Nothing that was logged is
// dropped, how the bytes were cut does not matter, and every record keeps
// within its bounds.
#include "fuzzsupport.h"
#include "kamailiologparser.h"
#include "pbxprotocol.h"

namespace {

QVector<DiagnosticMessage> readStream(const QVector<QByteArray> &pieces)
{
    KamailioLogParser parser;
    for (const QByteArray &piece : pieces)
        parser.addData(piece.constData(), piece.size());
    parser.endOfStream();
    return parser.takeRecords();
}

bool sameRecords(const QVector<DiagnosticMessage> &a, const QVector<DiagnosticMessage> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].verbosity != b[i].verbosity || a[i].linkedId != b[i].linkedId || a[i].uniqueId != b[i].uniqueId
            || a[i].tenantUuid != b[i].tenantUuid || a[i].message != b[i].message || a[i].messageId != b[i].messageId)
            return false;
    }
    return true;
}

void checkRecord(const DiagnosticMessage &m)
{
    bool ok = false;
    const int level = m.verbosity.toInt(&ok);
    FUZZ_CHECK(ok && level >= 0 && level <= 4);
    FUZZ_CHECK(!m.timestamp.isEmpty());
    FUZZ_CHECK(m.message.size() <= KamailioLogParser::MaxEntryChars + 3);
    for (const QString *member : {&m.linkedId, &m.uniqueId, &m.tenantUuid})
        FUZZ_CHECK(member->size() <= PbxProtocol::MaxLogMemberLength + 3);
    FUZZ_CHECK(m.tenantUuid != QLatin1String("<null>"));
    // One transaction belongs to one call.
    if (!m.uniqueId.isEmpty() && m.uniqueId.size() <= PbxProtocol::MaxLogMemberLength)
        FUZZ_CHECK(m.uniqueId.startsWith(m.linkedId + QLatin1Char(';')));
}

bool looksLikeJson(const QByteArray &line)
{
    const QByteArray t = line.trimmed();
    return t.startsWith('{') && t.mid(1).trimmed().startsWith('"');
}

}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::startQuietApplication("fuzz_kamailiologparser");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const bool journal = fdp.ConsumeBool();
    const int priority = fdp.ConsumeIntegralInRange<int>(-1, 7);
    const QVector<int> cuts = FuzzSupport::takeCuts(fdp);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray bytes(rest.data(), int(rest.size()));
    const QVector<QByteArray> pieces = FuzzSupport::splitAt(bytes, cuts);

    if (journal) {
        // Each piece is one entry's MESSAGE: one record each.
        KamailioLogParser parser;
        for (const QByteArray &piece : pieces)
            parser.addJournalEntry(QString::fromUtf8(piece), qint64(piece.size()) * 1000003, priority, piece.size());
        const QVector<DiagnosticMessage> records = parser.takeRecords();
        FUZZ_CHECK(records.size() == pieces.size());
        for (const DiagnosticMessage &m : records)
            checkRecord(m);
        return 0;
    }

    const QVector<DiagnosticMessage> whole = readStream({bytes});
    FUZZ_CHECK(sameRecords(whole, readStream(pieces)));
    QString all;
    for (const DiagnosticMessage &m : whole) {
        checkRecord(m);
        all += m.message;
        all += QLatin1Char('\n');
    }
    // Every line with text is in a record; JSON lines are shown rewritten.
    bool anyText = false;
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        anyText = true;
        if (line.size() <= KamailioLogParser::MaxLineBytes && !looksLikeJson(line))
            FUZZ_CHECK(all.contains(QString::fromUtf8(line)));
    }
    FUZZ_CHECK(whole.isEmpty() == !anyText);
    return 0;
}
