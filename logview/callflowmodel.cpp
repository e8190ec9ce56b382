#include "callflowmodel.h"

#include "wiretimestamp.h"

#include <QDateTime>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

bool isDigits(const QStringRef &text)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// "ADDR:PORT" or "[ADDR]:PORT", port 1-65535.
bool isEndpoint(const QString &text)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || text.size() > 64)
        return false;
    const QStringRef port = text.midRef(colon + 1);
    return isDigits(port) && port.size() <= 5 && port.toInt() >= 1 && port.toInt() <= 65535;
}

bool isMethod(const QString &text)
{
    if (text.isEmpty() || text.size() > 32)
        return false;
    for (QChar c : text) {
        if (!((c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
              || c == QLatin1Char('-') || c == QLatin1Char('_')))
            return false;
    }
    return true;
}

// "SECONDS.MICROSECONDS" as the agent writes it; -1 when it is not.
qint64 parseSipTime(const QString &text)
{
    const int dot = text.indexOf(QLatin1Char('.'));
    if (dot <= 0 || dot > 11 || text.size() - dot - 1 != 6)
        return -1;
    const QStringRef seconds = text.leftRef(dot);
    const QStringRef micro = text.midRef(dot + 1);
    if (!isDigits(seconds) || !isDigits(micro))
        return -1;
    return seconds.toLongLong() * 1000000 + micro.toLongLong();
}

bool isHidden(QChar c)
{
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
        return true;
    default:
        return false;
    }
}

struct SipFields
{
    QString src, dst, method, status, reason, cseq, branch, time;
};

SipFields sipFields(const QStringList &extra)
{
    SipFields f;
    for (const QString &field : extra) {
        if (!field.startsWith(QLatin1String("sip.")))
            continue;
        const int eq = field.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QStringRef key = field.midRef(4, eq - 4);
        QString *slot = key == QLatin1String("src")      ? &f.src
                      : key == QLatin1String("dst")      ? &f.dst
                      : key == QLatin1String("method")   ? &f.method
                      : key == QLatin1String("status")   ? &f.status
                      : key == QLatin1String("reason")   ? &f.reason
                      : key == QLatin1String("cseq")     ? &f.cseq
                      : key == QLatin1String("branch")   ? &f.branch
                      : key == QLatin1String("time")     ? &f.time
                                                         : nullptr;
        // The first of a field given twice counts.
        if (slot && slot->isNull())
            *slot = field.mid(eq + 1);
    }
    return f;
}

} // namespace

CallFlowModel::CallFlowModel(const QVector<DiagnosticMessage> &rows, const QString &serverRole)
    : m_rows(rows)
    , m_serverRole(serverRole)
{
    rebuild();
}

void CallFlowModel::append(const DiagnosticMessage &row)
{
    m_rows.append(row);
    rebuild();
}

void CallFlowModel::append(const QVector<DiagnosticMessage> &rows)
{
    m_rows += rows;
    rebuild();
}

QString CallFlowModel::plainLine(const QString &text, int maxLength)
{
    QString out;
    out.reserve(qMin(text.size(), maxLength + 3));
    for (QChar c : text) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\t') || c == QLatin1Char('\r')) {
            if (!out.isEmpty() && !out.endsWith(QLatin1Char(' ')))
                out += QLatin1Char(' ');
        } else if (!isHidden(c)) {
            out += c;
        }
        if (out.size() > maxLength) {
            out.truncate(maxLength);
            // Half a surrogate pair never stays.
            if (!out.isEmpty() && out.at(out.size() - 1).isHighSurrogate())
                out.chop(1);
            return out + QStringLiteral("...");
        }
    }
    return out.trimmed();
}

QString CallFlowModel::plainText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\t') || !isHidden(c))
            out += c;
    }
    return out;
}

qint64 CallFlowModel::parseTimestampUs(const QString &timestamp)
{
    // Lines of one call share their second: the slow local-time conversion
    // runs once for each.
    static thread_local QString lastSecond;
    static thread_local qint64 lastSecondMs = 0;
    if (timestamp.size() < 19)
        return 0;
    const QString second = timestamp.left(19);
    if (second != lastSecond) {
        const QDateTime at = QDateTime::fromString(second, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        if (!at.isValid())
            return 0;
        lastSecond = second;
        lastSecondMs = at.toMSecsSinceEpoch();
    }
    qint64 ms = 0;
    if (timestamp.size() == 23 && timestamp.at(19) == QLatin1Char('.') && isDigits(timestamp.midRef(20)))
        ms = timestamp.midRef(20).toInt();
    return (lastSecondMs + ms) * 1000;
}

QString CallFlowModel::relativeTime(qint64 timeUs) const
{
    const qint64 delta = timeUs - m_startUs;
    const qint64 magnitude = qAbs(delta);
    return QStringLiteral("%1%2.%3")
        .arg(delta < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(magnitude / 1000000)
        .arg(magnitude % 1000000, 6, 10, QLatin1Char('0'));
}

QString CallFlowModel::absoluteTime(qint64 timeUs)
{
    // The link's time format, to the microsecond the capture gives.
    return WireTimestamp::format(QDateTime::fromMSecsSinceEpoch(timeUs / 1000))
        + QStringLiteral("%1").arg(timeUs % 1000, 3, 10, QLatin1Char('0'));
}

CallFlowModel::Event CallFlowModel::eventOf(int row, qint64 *lastTimeUs) const
{
    const DiagnosticMessage &msg = m_rows.at(row);
    Event e;
    e.row = row;
    bool levelOk = false;
    e.level = qBound(-1, msg.verbosity.toInt(&levelOk), 4);
    const SipFields f = sipFields(msg.extraFields);
    const qint64 sipTime = parseSipTime(f.time);
    const bool request = isMethod(f.method) && f.status.isNull();
    const bool answer = f.method.isNull() && f.status.size() == 3 && isDigits(QStringRef(&f.status))
        && f.status.toInt() >= 100 && f.status.toInt() <= 699;
    if (sipTime >= 0 && isEndpoint(f.src) && isEndpoint(f.dst) && (request || answer)) {
        e.message = true;
        e.timeUs = sipTime;
        e.label = plainLine(request ? f.method : f.status + QLatin1Char(' ') + f.reason, MaxLabelLength);
        e.cseq = plainLine(f.cseq, MaxLabelLength);
        e.branch = plainLine(f.branch, MaxLabelLength);
    } else {
        const qint64 stamped = parseTimestampUs(msg.timestamp);
        // A line without a usable time stays after the row before it.
        e.timeUs = stamped > 0 ? stamped : *lastTimeUs;
        e.label = plainLine(msg.message, MaxLineLength);
    }
    *lastTimeUs = e.timeUs;
    return e;
}

void CallFlowModel::rebuild()
{
    m_events.clear();
    m_columns.clear();
    m_messageCount = 0;
    m_transactionCount = 0;
    m_events.reserve(m_rows.size());
    qint64 lastTimeUs = 0;
    QVector<QString> endpoints;  // src and dst of each message, as given
    for (int i = 0; i < m_rows.size(); ++i) {
        m_events.append(eventOf(i, &lastTimeUs));
    }
    // Arrival order is not time order; equal times keep arrival order.
    std::stable_sort(m_events.begin(), m_events.end(),
                     [](const Event &a, const Event &b) { return a.timeUs < b.timeUs; });

    QHash<QString, int> columnOf;
    QHash<QString, int> transactionOf;
    QSet<QString> seen;
    QVector<int> touches;  // messages each column is an end of
    m_startUs = m_events.isEmpty() ? 0 : m_events.first().timeUs;
    bool started = false;
    for (Event &e : m_events) {
        if (!e.message)
            continue;
        if (!started) {
            m_startUs = e.timeUs;
            started = true;
        }
        ++m_messageCount;
        const SipFields f = sipFields(m_rows.at(e.row).extraFields);
        for (const QString *end : {&f.src, &f.dst}) {
            auto it = columnOf.constFind(*end);
            if (it == columnOf.constEnd()) {
                it = columnOf.insert(*end, m_columns.size());
                m_columns.append({plainLine(*end, MaxLabelLength), QString()});
                touches.append(0);
            }
            (end == &f.src ? e.from : e.to) = it.value();
        }
        ++touches[e.from];
        if (e.to != e.from)
            ++touches[e.to];
        const QString transaction = f.branch + QLatin1Char('\n') + f.cseq;
        auto t = transactionOf.constFind(transaction);
        if (t == transactionOf.constEnd())
            t = transactionOf.insert(transaction, m_transactionCount++);
        e.transaction = t.value();
        // The same message on the same hop again.
        const QString again = transaction + QLatin1Char('\n') + f.src + QLatin1Char('\n') + f.dst + QLatin1Char('\n')
            + e.label;
        e.retransmission = seen.contains(again);
        seen.insert(again);
    }
    // The SIP server is the one end of every message, when only one is.
    if (m_columns.size() >= 3) {
        int server = -1;
        for (int c = 0; c < touches.size(); ++c) {
            if (touches.at(c) == m_messageCount)
                server = server < 0 ? c : -2;
        }
        if (server >= 0)
            m_columns[server].role = m_serverRole.isEmpty() ? QStringLiteral("server SIP")
                                                            : plainLine(m_serverRole, MaxLabelLength);
    }
}
