#include "sipsummary.h"

#include <cstring>

namespace {

// Headers past this are the body or a runaway message.
constexpr int kMaxHeaderLines = 200;
constexpr int kMaxValueBytes = 1024;

bool isToken(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || (c != 0 && std::strchr("-.!%*_+`'~", c));
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimmed(const char *data, int size)
{
    int from = 0;
    while (from < size && isSpace(data[from]))
        ++from;
    while (size > from && (isSpace(data[size - 1]) || data[size - 1] == '\r'))
        --size;
    return QByteArray(data + from, qMin(size - from, kMaxValueBytes));
}

bool nameIs(const char *name, int size, const char *full, char compact)
{
    if (size == 1)
        return compact && (name[0] | 0x20) == compact;
    const int fullSize = int(qstrlen(full));
    return size == fullSize && qstrnicmp(name, size, full, fullSize) == 0;
}

// "sip" in any case; a byte whose lower case is a letter is that letter's
// upper or lower case alone.
bool isSip(const char *p)
{
    return (p[0] | 0x20) == 's' && (p[1] | 0x20) == 'i' && (p[2] | 0x20) == 'p';
}

}

QString SipSummary::uriDomain(const QByteArray &text)
{
    // The first "sip:" or "sips:", in any case.
    int start = -1;
    for (int i = 0; i + 4 <= text.size() && start < 0; ++i) {
        if (!isSip(text.constData() + i))
            continue;
        if (text[i + 3] == ':')
            start = i + 4;
        else if (i + 5 <= text.size() && (text[i + 3] | 0x20) == 's' && text[i + 4] == ':')
            start = i + 5;
    }
    if (start < 0)
        return QString();
    int end = start;
    // user@ is optional; the host ends the URI's address part.
    while (end < text.size() && !std::strchr(";>?, \t\r\n", text[end]))
        ++end;
    const int userEnd = text.lastIndexOf('@', end - 1);
    if (userEnd >= start)
        start = userEnd + 1;
    if (start < end && text[start] == '[') {
        const int close = text.indexOf(']', start);
        if (close < 0 || close >= end)
            return QString();
        return QString::fromLatin1(text.constData() + start + 1, close - start - 1).toLower();
    }
    int colon = start;
    while (colon < end && text[colon] != ':')
        ++colon;
    return QString::fromUtf8(text.constData() + start, colon - start).toLower();
}

QString SipSummary::uri(const QByteArray &value)
{
    const int open = value.indexOf('<');
    if (open >= 0) {
        const int close = value.indexOf('>', open);
        return QString::fromUtf8(value.mid(open + 1, close < 0 ? -1 : close - open - 1)).trimmed();
    }
    const int params = value.indexOf(';');
    return QString::fromUtf8(value.left(params)).trimmed();
}

namespace {
// The branch parameter of the first value of a Via header.
QString viaBranch(const QByteArray &via)
{
    const int comma = via.indexOf(',');
    const QByteArray first = comma < 0 ? via : via.left(comma);
    const QByteArray lower = first.toLower();
    const int at = lower.indexOf(";branch=");
    if (at < 0)
        return QString();
    int end = at + 8;
    while (end < first.size() && isToken(first[end]))
        ++end;
    return QString::fromLatin1(first.constData() + at + 8, end - at - 8);
}

// "SIP/2.0/TLS host" gives TLS.
QString transportOf(const QByteArray &via)
{
    const QByteArray upper = via.toUpper();
    if (!upper.startsWith("SIP/2.0/"))
        return QString();
    int end = 8;
    while (end < upper.size() && end < 16 && upper[end] >= 'A' && upper[end] <= 'Z')
        ++end;
    return QString::fromLatin1(upper.constData() + 8, end - 8);
}
}

SipSummary SipSummary::read(const QByteArray &message)
{
    SipSummary s;
    const char *data = message.constData();
    const int size = message.size();
    int lineEnd = message.indexOf('\n');
    if (lineEnd < 0)
        lineEnd = size;
    const QByteArray first = trimmed(data, lineEnd);
    if (first.startsWith("SIP/2.0 ")) {
        int code = 0;
        int i = 8;
        for (; i < first.size() && i < 11 && first[i] >= '0' && first[i] <= '9'; ++i)
            code = code * 10 + (first[i] - '0');
        if (i != 11 || code < 100)
            return s;
        s.statusCode = code;
        s.reason = QString::fromUtf8(first.mid(12)).trimmed();
    } else {
        int i = 0;
        while (i < first.size() && isToken(first[i]))
            ++i;
        if (i == 0 || i >= first.size() || first[i] != ' ' || !first.endsWith(" SIP/2.0"))
            return s;
        s.request = true;
        s.method = QString::fromLatin1(first.constData(), i);
        s.requestUriDomain = uriDomain(first.mid(i + 1, first.size() - i - 9));
    }
    s.valid = true;

    int pos = lineEnd + 1;
    bool topViaSeen = false;
    for (int n = 0; pos < size && n < kMaxHeaderLines; ++n) {
        int end = message.indexOf('\n', pos);
        if (end < 0)
            end = size;
        const char *line = data + pos;
        const int lineSize = end - pos;
        pos = end + 1;
        if (lineSize == 0 || (lineSize == 1 && line[0] == '\r'))
            break; // the body follows
        int colon = 0;
        while (colon < lineSize && line[colon] != ':')
            ++colon;
        if (colon == lineSize)
            continue;
        int nameEnd = colon;
        while (nameEnd > 0 && isSpace(line[nameEnd - 1]))
            --nameEnd;
        // Only the values looked at are copied out.
        const auto value = [&] { return trimmed(line + colon + 1, lineSize - colon - 1); };
        if (nameIs(line, nameEnd, "Call-ID", 'i')) {
            if (s.callId.isEmpty())
                s.callId = QString::fromUtf8(value());
        } else if (nameIs(line, nameEnd, "CSeq", 0)) {
            const QByteArray cseq = s.cseqNumber.isEmpty() ? value() : QByteArray();
            const int space = cseq.indexOf(' ');
            if (space > 0) {
                const QByteArray number = cseq.left(space);
                const QByteArray method = cseq.mid(space + 1).trimmed();
                bool digits = !number.isEmpty();
                for (char c : number)
                    digits = digits && c >= '0' && c <= '9';
                bool token = !method.isEmpty();
                for (char c : method)
                    token = token && isToken(c);
                if (digits && token) {
                    s.cseqNumber = QString::fromLatin1(number);
                    s.cseqMethod = QString::fromLatin1(method);
                }
            }
        } else if (nameIs(line, nameEnd, "To", 't')) {
            if (s.toUri.isEmpty()) {
                const QByteArray to = value();
                s.toDomain = uriDomain(to);
                s.toUri = uri(to);
            }
        } else if (nameIs(line, nameEnd, "From", 'f')) {
            if (s.fromUri.isEmpty()) {
                const QByteArray from = value();
                s.fromDomain = uriDomain(from);
                s.fromUri = uri(from);
            }
        } else if (nameIs(line, nameEnd, "Via", 'v')) {
            if (!topViaSeen) {
                topViaSeen = true;
                const QByteArray via = value();
                s.branch = viaBranch(via);
                s.viaTransport = transportOf(via);
            }
        }
    }
    return s;
}
