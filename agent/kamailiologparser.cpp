#include "kamailiologparser.h"

#include "kamailiojsonline.h"
#include "pbxprotocol.h"

#include <QDateTime>

#include <cstring>

namespace {

constexpr int kMaxLevel = 4;
constexpr int kDefaultLevel = 3;
// A stray line this soon after an entry is taken as its late continuation.
constexpr qint64 kContextMs = 1000;
// How far into a line a syslog header or a level word is looked for.
constexpr int kHeadScan = 256;
// "t=" and the like after the Call-ID; more is not a prefix.
constexpr int kMaxPrefixAttributes = 16;

QString cutMarker()
{
    return QStringLiteral("...");
}

const QString &levelText(int level)
{
    static const QString texts[kMaxLevel + 1] = {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"),
                                                 QStringLiteral("3"), QStringLiteral("4")};
    return texts[qBound(0, level, kMaxLevel)];
}

// syslog 0-3 (emergency to error) are errors to the window.
int levelFromPriority(int priority)
{
    if (priority <= 3)
        return 0;
    if (priority >= 7)
        return 4;
    return priority - 3;
}

bool isDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}

bool isAlpha(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

bool isBreak(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || u == '\t' || u == '\n' || u == '\r';
}

// A SIP method is a token.
bool isMethodChar(QChar c)
{
    const ushort u = c.unicode();
    return isAlpha(c) || isDigit(c) || (u != 0 && u < 128 && std::strchr("-.!%*_+`'~", char(u)));
}

int tokenEnd(QStringView text, int from)
{
    while (from < text.size() && !isBreak(text[from]))
        ++from;
    return from;
}

// "name=..." between from and end.
bool isAttribute(QStringView text, int from, int end)
{
    if (from >= end || !(isAlpha(text[from]) || text[from] == QLatin1Char('_')))
        return false;
    for (int i = from + 1; i < end; ++i) {
        if (text[i] == QLatin1Char('='))
            return true;
        if (!(isAlpha(text[i]) || isDigit(text[i]) || text[i] == QLatin1Char('_')))
            return false;
    }
    return false;
}

// Kamailio starts its JSON lines with the brace; after blank space the
// line continues an entry (see readTextHead()).
bool looksLikeJson(const char *data, int size)
{
    if (size < 1 || data[0] != '{')
        return false;
    int i = 1;
    while (i < size && (data[i] == ' ' || data[i] == '\t'))
        ++i;
    return i < size && data[i] == '"';
}

// The longest prefix of the bytes that ends on a whole UTF-8 character.
int wholeUtf8(const char *data, int size)
{
    int lead = size - 1;
    while (lead >= 0 && lead > size - 4 && (uchar(data[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead < 0)
        return size;
    const uchar b = uchar(data[lead]);
    const int length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
    return lead + length > size ? lead : size;
}


}

KamailioLogParser::KamailioLogParser(QObject *parent)
    : QObject(parent)
{
    m_quietTimer.setSingleShot(true);
    m_quietTimer.setInterval(QuietMs);
    connect(&m_quietTimer, &QTimer::timeout, this, [this] {
        completePending();
        if (!m_records.isEmpty())
            emit recordsReady();
    });
}

void KamailioLogParser::setTenantPattern(const QRegularExpression &pattern)
{
    m_tenantPattern = pattern;
    if (!pattern.pattern().isEmpty() && pattern.isValid())
        m_tenantPattern.optimize();
    else
        m_tenantPattern = QRegularExpression();
}

void KamailioLogParser::addData(const char *data, qint64 size)
{
    // A cut line is kept up to the bound, on a whole character.
    m_lines.add(data, size, [this](const char *line, int lineSize, bool cut) {
        processLine(line, cut ? wholeUtf8(line, lineSize) : lineSize, cut);
    });
    if (m_hasPending)
        m_quietTimer.start();
}

void KamailioLogParser::endOfStream()
{
    m_lines.finish([this](const char *line, int lineSize, bool cut) { processLine(line, lineSize, cut); });
    flush();
}

void KamailioLogParser::flush()
{
    m_quietTimer.stop();
    completePending();
}

void KamailioLogParser::addJournalEntry(const QString &message, qint64 realtimeUs, int priority, qint64 pid)
{
    flush();
    Head head;
    QString text;
    bool placed = false;
    const QByteArray utf8 = message.startsWith(QLatin1Char('{')) ? message.toUtf8() : QByteArray();
    if (!utf8.isEmpty() && looksLikeJson(utf8.constData(), utf8.size()))
        placed = readJsonLine(utf8.constData(), utf8.size(), &head, &text);
    if (!placed) {
        text = message;
        readTextHead(text, &head);
    }
    if (head.level < 0)
        head.level = priority >= 0 ? levelFromPriority(priority) : findLevelWord(text);
    if (pid > 0)
        text = QLatin1Char('(') + QString::number(pid) + QLatin1String(") ") + text;
    if (text.size() > MaxEntryChars)
        text = PbxProtocol::boundedText(text, MaxEntryChars, cutMarker());

    DiagnosticMessage record;
    record.verbosity = levelText(head.level < 0 ? kDefaultLevel : head.level);
    record.linkedId = head.linkedId;
    record.uniqueId = head.uniqueId;
    record.tenantUuid = head.tenantUuid;
    if (record.tenantUuid.isEmpty())
        applyTenantPattern(message, &record.tenantUuid);
    record.timestamp = realtimeUs > 0 ? m_stamp.at(realtimeUs / 1000) : stampNow();
    record.message = text;
    finishRecord(&record);
    m_records.append(record);
}

QVector<DiagnosticMessage> KamailioLogParser::takeRecords()
{
    QVector<DiagnosticMessage> records;
    records.swap(m_records);
    return records;
}

void KamailioLogParser::processLine(const char *data, int size, bool cut)
{
    if (size > 0 && data[size - 1] == '\r')
        --size;
    Head head;
    if (looksLikeJson(data, size)) {
        QString text;
        if (readJsonLine(data, size, &head, &text)) {
            if (cut)
                text += cutMarker();
            completePending();
            beginEntry(head, text, stampNow());
            completePending();
            return;
        }
    }
    QString text = QString::fromUtf8(data, size);
    if (cut)
        text += cutMarker();
    // The first entry tells the stream's form: in a syslog file a blank never
    // starts one, so a peer's folded line cannot pass for Kamailio's padding.
    bool stderrForm = false;
    if (readTextHead(text, &head, m_form != Form::Other, &stderrForm)) {
        if (m_form == Form::Unknown)
            m_form = stderrForm ? Form::Stderr : Form::Other;
        completePending();
        beginEntry(head, text, stampNow());
    } else if (m_hasPending) {
        appendContinuation(text);
    } else if (!text.isEmpty()) {
        const QString timestamp = stampNow();
        if (m_lastReadMs <= m_contextUntilMs) {
            head.level = m_context.verbosity.toInt();
            head.linkedId = m_context.linkedId;
            head.uniqueId = m_context.uniqueId;
            head.tenantUuid = m_context.tenantUuid;
        } else {
            head.level = findLevelWord(text);
        }
        beginEntry(head, text, timestamp);
    }
}

// Kamailio's JSON lines: { "idx": 2, "pid": 23263, "level": "INFO", "module": "xlog",
// "file": "xlog.c", "line": 282, "function": "", "callid": "...", "logprefix": "{...} ",
// "message": "..." }. False when the line is no such entry.
bool KamailioLogParser::readJsonLine(const char *data, int size, Head *head, QString *text) const
{
    KamailioJsonLine json;
    if (KamailioJsonLine::read(data, size, &json)) {
        int end = 0;
        const int level = levelWordAt(json.level, 0, &end);
        if (level < 0 || end != json.level.size())
            return false;
        head->level = level;
        if (json.logPrefix.startsWith(QLatin1Char('{')))
            readPrefix(json.logPrefix, head);
        if (head->linkedId.isEmpty())
            head->linkedId = json.callId;

        // Shown as the same entry on stderr would be.
        while (json.message.endsWith(QLatin1Char('\n')) || json.message.endsWith(QLatin1Char('\r')))
            json.message.chop(1);
        text->reserve(64 + json.logPrefix.size() + json.module.size() + json.file.size() + json.function.size()
                      + json.message.size());
        if (json.pid >= 0)
            *text += QString::number(json.idx) + QLatin1Char('(') + QString::number(json.pid) + QLatin1String(") ");
        *text += json.level;
        *text += QLatin1String(": ");
        *text += json.logPrefix;
        if (!json.module.isEmpty() || !json.file.isEmpty()) {
            *text += json.module;
            if (!json.file.isEmpty()) {
                *text += QLatin1String(" [");
                *text += json.file;
                *text += QLatin1Char(':');
                *text += QString::number(json.line);
                *text += QLatin1Char(']');
            }
            *text += QLatin1String(": ");
        }
        if (!json.function.isEmpty()) {
            *text += json.function;
            *text += QLatin1String("(): ");
        }
        *text += json.message;
        return true;
    }

    // Kamailio writes the Call-ID and the prefix unescaped: a quote in a
    // Call-ID breaks the JSON. Such a line is kept whole as text, with the
    // level and the prefix read by hand.
    const QString s = QString::fromUtf8(data, size);
    const QStringView view(s);
    auto valueStart = [&](int keyEnd) {
        int i = keyEnd;
        while (i < s.size() && s[i] == QLatin1Char(' '))
            ++i;
        if (i >= s.size() || s[i] != QLatin1Char(':'))
            return -1;
        ++i;
        while (i < s.size() && s[i] == QLatin1Char(' '))
            ++i;
        return i < s.size() && s[i] == QLatin1Char('"') ? i + 1 : -1;
    };
    const QLatin1String levelKey("\"level\"");
    const int levelAt = s.indexOf(levelKey);
    if (levelAt < 0)
        return false;
    const int levelStart = valueStart(levelAt + levelKey.size());
    int end = 0;
    const int level = levelStart < 0 ? -1 : levelWordAt(view, levelStart, &end);
    if (level < 0 || end >= s.size() || s[end] != QLatin1Char('"'))
        return false;
    head->level = level;
    const QLatin1String prefixKey("\"logprefix\"");
    const int prefixAt = s.lastIndexOf(prefixKey);
    // The message may quote a caller's text: with a second "logprefix" in
    // the line, neither can be trusted to name the call or the tenant.
    const bool alone = prefixAt >= 0 && s.indexOf(prefixKey) == prefixAt;
    const int prefixStart = !alone ? -1 : valueStart(prefixAt + prefixKey.size());
    if (prefixStart >= 0 && prefixStart < s.size() && s[prefixStart] == QLatin1Char('{'))
        readPrefix(view.mid(prefixStart), head);
    *text = s;
    return true;
}

void KamailioLogParser::beginEntry(const Head &head, const QString &text, const QString &timestamp)
{
    m_pending = DiagnosticMessage();
    m_pending.verbosity = levelText(head.level < 0 ? kDefaultLevel : head.level);
    m_pending.linkedId = head.linkedId;
    m_pending.uniqueId = head.uniqueId;
    m_pending.tenantUuid = head.tenantUuid;
    if (m_pending.tenantUuid.isEmpty())
        applyTenantPattern(text, &m_pending.tenantUuid);
    m_pending.timestamp = timestamp;
    m_pendingCut = text.size() > MaxEntryChars;
    m_pending.message = m_pendingCut ? PbxProtocol::boundedText(text, MaxEntryChars, cutMarker()) : text;
    m_hasPending = true;
}

void KamailioLogParser::appendContinuation(const QString &text)
{
    if (m_pendingCut)
        return;
    const int room = MaxEntryChars - m_pending.message.size() - 1;
    m_pending.message += QLatin1Char('\n');
    if (text.size() <= room) {
        m_pending.message += text;
        return;
    }
    m_pending.message += PbxProtocol::boundedText(text, qMax(0, room), cutMarker());
    m_pendingCut = true;
}

void KamailioLogParser::completePending()
{
    if (!m_hasPending)
        return;
    m_hasPending = false;
    m_context.verbosity = m_pending.verbosity;
    m_context.linkedId = m_pending.linkedId;
    m_context.uniqueId = m_pending.uniqueId;
    m_context.tenantUuid = m_pending.tenantUuid;
    m_contextUntilMs = m_lastReadMs + kContextMs;
    finishRecord(&m_pending);
    m_records.append(std::move(m_pending));
    m_pending = DiagnosticMessage();
}

void KamailioLogParser::finishRecord(DiagnosticMessage *record)
{
    PbxProtocol::boundLogMembers(record);
}

void KamailioLogParser::applyTenantPattern(const QString &text, QString *tenantUuid) const
{
    if (m_tenantPattern.pattern().isEmpty())
        return;
    const QRegularExpressionMatch match = m_tenantPattern.match(text);
    if (!match.hasMatch())
        return;
    const QString tenant = match.captured(1);
    if (tenant != QLatin1String("<null>"))
        *tenantUuid = tenant;
}

QString KamailioLogParser::stampNow()
{
    m_lastReadMs = QDateTime::currentMSecsSinceEpoch();
    return m_stamp.at(m_lastReadMs);
}

// An entry starts with "<idx>(<pid>) LEVEL:" (stderr), "LEVEL:" (syslog, the
// journal) or "<header>]: LEVEL:" (a syslog file), always at the line's
// start. A line that starts with blank space continues an entry: a SIP peer
// folds a header onto such a line, and must not make it an entry of another
// call. The one blank Kamailio writes itself pads a one-digit idx to two
// columns (" 1(1264) INFO:"), which only a stream in that form may carry.
bool KamailioLogParser::readTextHead(QStringView line, Head *head, bool paddedAllowed, bool *stderrForm)
{
    const int n = int(line.size());
    const bool padded = n > 0 && line[0].isSpace();
    if (padded
        && (!paddedAllowed || line[0] != QLatin1Char(' ') || n < 3 || !isDigit(line[1]) || line[2] != QLatin1Char('(')))
        return false;
    int i = padded ? 1 : 0;
    int j = i;
    while (j < n && isDigit(line[j]))
        ++j;
    if (j > i && j < n && line[j] == QLatin1Char('(')) {
        int k = j + 1;
        while (k < n && isDigit(line[k]))
            ++k;
        if (k > j + 1 && k + 1 < n && line[k] == QLatin1Char(')') && line[k + 1] == QLatin1Char(' '))
            i = k + 2;
        else if (padded)
            return false;
    }
    if (stderrForm)
        *stderrForm = i > 0;
    int end = 0;
    int level = levelWordAt(line, i, &end);
    if (level < 0 || end >= n || line[end] != QLatin1Char(':')) {
        level = -1;
        const int limit = qMin(n, kHeadScan);
        for (int k = 0; k + 2 < limit; ++k) {
            if (line[k] != QLatin1Char(']') || line[k + 1] != QLatin1Char(':') || line[k + 2] != QLatin1Char(' '))
                continue;
            level = levelWordAt(line, k + 3, &end);
            if (level >= 0 && end < n && line[end] == QLatin1Char(':'))
                break;
            level = -1;
        }
        if (level < 0)
            return false;
    }
    head->level = level;
    int pos = end + 1;
    if (pos < n && line[pos] == QLatin1Char(' '))
        ++pos;
    if (pos < n && line[pos] == QLatin1Char('{'))
        readPrefix(line.mid(pos), head);
    return true;
}

// "{<mt> <CSeq number> <METHOD> <Call-ID>[ name=value...]}", as the log_prefix
// "{$mt $hdr(CSeq) $ci t=$avp(...)} " writes it. A Call-ID may hold '}'; it is
// the fourth token, and only a name=value token may follow it inside.
bool KamailioLogParser::readPrefix(QStringView text, Head *head)
{
    const int n = int(text.size());
    int p = 1;
    auto skipSpaces = [&] {
        while (p < n && text[p] == QLatin1Char(' '))
            ++p;
    };
    auto digitsThenSpace = [&](int *start, int *stop) {
        *start = p;
        while (p < n && isDigit(text[p]))
            ++p;
        *stop = p;
        if (p == *start || p >= n || text[p] != QLatin1Char(' '))
            return false;
        skipSpaces();
        return true;
    };
    int from = 0;
    int to = 0;
    if (!digitsThenSpace(&from, &to))
        return false;
    int cseqStart = 0;
    int cseqEnd = 0;
    if (!digitsThenSpace(&cseqStart, &cseqEnd))
        return false;
    const int methodStart = p;
    while (p < n && isMethodChar(text[p]))
        ++p;
    const int methodEnd = p;
    if (methodEnd == methodStart || p >= n || text[p] != QLatin1Char(' '))
        return false;
    skipSpaces();

    const int callStart = p;
    const int callEnd = tokenEnd(text, p);
    if (callEnd == callStart)
        return false;
    auto attributeAt = [&](int at) {
        while (at < n && text[at] == QLatin1Char(' '))
            ++at;
        return isAttribute(text, at, tokenEnd(text, at));
    };
    int callIdEnd = callEnd;
    bool closed = false;
    QStringView tenant;
    const bool attributeFollows = callEnd < n && text[callEnd] == QLatin1Char(' ') && attributeAt(callEnd);
    if (text[callEnd - 1] == QLatin1Char('}') && !attributeFollows) {
        callIdEnd = callEnd - 1;
        closed = true;
    }
    p = callEnd;
    for (int count = 0; !closed && count < kMaxPrefixAttributes; ++count) {
        if (p >= n || text[p] != QLatin1Char(' '))
            break;
        skipSpaces();
        const int start = p;
        const int stop = tokenEnd(text, p);
        if (!isAttribute(text, start, stop))
            break;
        int valueEnd = stop;
        if (text[stop - 1] == QLatin1Char('}')) {
            closed = true;
            --valueEnd;
        }
        if (stop - start >= 2 && text[start] == QLatin1Char('t') && text[start + 1] == QLatin1Char('='))
            tenant = text.mid(start + 2, qMax(0, valueEnd - start - 2));
        p = stop;
    }
    if (!closed || callIdEnd <= callStart)
        return false;

    const QStringView callId = text.mid(callStart, callIdEnd - callStart);
    head->linkedId = callId.toString();
    QString uniqueId;
    uniqueId.reserve(callId.size() + (cseqEnd - cseqStart) + (methodEnd - methodStart) + 2);
    uniqueId += callId;
    uniqueId += QLatin1Char(';');
    uniqueId += text.mid(cseqStart, cseqEnd - cseqStart);
    uniqueId += QLatin1Char(' ');
    uniqueId += text.mid(methodStart, methodEnd - methodStart);
    head->uniqueId = uniqueId;
    if (!tenant.isEmpty() && tenant != QLatin1String("<null>"))
        head->tenantUuid = tenant.toString();
    return true;
}

int KamailioLogParser::levelWordAt(QStringView text, int pos, int *end)
{
    struct Word
    {
        QLatin1String word;
        int level;
    };
    static const Word words[] = {
        {QLatin1String("INFO"), 3},  {QLatin1String("DEBUG"), 4},   {QLatin1String("NOTICE"), 2},
        {QLatin1String("ERROR"), 0}, {QLatin1String("WARNING"), 1}, {QLatin1String("CRITICAL"), 0},
        {QLatin1String("ALERT"), 0}, {QLatin1String("BUG"), 0},
    };
    if (pos < 0 || pos >= text.size())
        return -1;
    const QStringView rest = text.mid(pos);
    for (const Word &w : words) {
        if (rest.startsWith(w.word)) {
            *end = pos + w.word.size();
            return w.level;
        }
    }
    return -1;
}

// A level word standing alone and followed by ':' near the start of a line
// that is no entry; -1 when there is none.
int KamailioLogParser::findLevelWord(QStringView text)
{
    const int limit = qMin(int(text.size()), kHeadScan);
    for (int i = 0; i < limit; ++i) {
        if (i > 0 && isAlpha(text[i - 1]))
            continue;
        int end = 0;
        const int level = levelWordAt(text, i, &end);
        if (level >= 0 && end < text.size() && text[end] == QLatin1Char(':'))
            return level;
    }
    return -1;
}
