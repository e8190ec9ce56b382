#include "kamailiojsonline.h"

#include <QByteArray>

#include <cstring>

namespace {

int skipJsonSpace(const char *p, int n, int i)
{
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\r'))
        ++i;
    return i;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The JSON string whose opening quote is at *pos; out may be null to skip it.
bool readJsonString(const char *p, int n, int *pos, QString *out)
{
    const int start = *pos + 1;
    int close = start;
    bool escaped = false;
    while (close < n && p[close] != '"') {
        if (uchar(p[close]) < 0x20)
            return false;
        if (p[close] == '\\') {
            escaped = true;
            ++close;
        }
        ++close;
    }
    if (close >= n)
        return false;
    *pos = close + 1;
    if (!out)
        return true;
    if (!escaped) {
        *out = QString::fromUtf8(p + start, close - start);
        return true;
    }
    QString s;
    s.reserve(close - start);
    int run = start;
    for (int i = start; i < close; ++i) {
        if (p[i] != '\\')
            continue;
        s += QString::fromUtf8(p + run, i - run);
        const char c = p[++i];
        switch (c) {
        case '"':
        case '\\':
        case '/':
            s += QLatin1Char(c);
            break;
        case 'b':
            s += QLatin1Char('\b');
            break;
        case 'f':
            s += QLatin1Char('\f');
            break;
        case 'n':
            s += QLatin1Char('\n');
            break;
        case 'r':
            s += QLatin1Char('\r');
            break;
        case 't':
            s += QLatin1Char('\t');
            break;
        case 'u': {
            if (close - i <= 4)
                return false;
            int unit = 0;
            for (int k = 1; k <= 4; ++k) {
                const int v = hexValue(p[i + k]);
                if (v < 0)
                    return false;
                unit = unit * 16 + v;
            }
            s += QChar(ushort(unit));
            i += 4;
            break;
        }
        default:
            return false;
        }
        run = i + 1;
    }
    s += QString::fromUtf8(p + run, close - run);
    *out = s;
    return true;
}

}

bool KamailioJsonLine::read(const char *p, int n, KamailioJsonLine *json)
{
    int i = skipJsonSpace(p, n, 0);
    if (i >= n || p[i] != '{')
        return false;
    i = skipJsonSpace(p, n, i + 1);
    if (i < n && p[i] == '}')
        return skipJsonSpace(p, n, i + 1) == n;
    for (;;) {
        if (i >= n || p[i] != '"')
            return false;
        const int keyStart = i + 1;
        if (!readJsonString(p, n, &i, nullptr))
            return false;
        const QLatin1String key(p + keyStart, i - 1 - keyStart);
        i = skipJsonSpace(p, n, i);
        if (i >= n || p[i] != ':')
            return false;
        i = skipJsonSpace(p, n, i + 1);
        if (i >= n)
            return false;
        if (p[i] == '"') {
            QString *target = key == QLatin1String("level")       ? &json->level
                              : key == QLatin1String("module")    ? &json->module
                              : key == QLatin1String("file")      ? &json->file
                              : key == QLatin1String("function")  ? &json->function
                              : key == QLatin1String("callid")    ? &json->callId
                              : key == QLatin1String("logprefix") ? &json->logPrefix
                              : key == QLatin1String("message")   ? &json->message
                                                                  : nullptr;
            if (!readJsonString(p, n, &i, target))
                return false;
        } else if (p[i] == '-' || (p[i] >= '0' && p[i] <= '9')) {
            const int start = i;
            while (i < n && std::strchr("+-.eE0123456789", p[i]) && p[i] != 0)
                ++i;
            bool ok = false;
            const double value = QByteArray::fromRawData(p + start, i - start).toDouble(&ok);
            if (!ok)
                return false;
            const qint64 number = qint64(qBound(-1e15, value, 1e15));
            if (key == QLatin1String("idx"))
                json->idx = number;
            else if (key == QLatin1String("pid"))
                json->pid = number;
            else if (key == QLatin1String("line"))
                json->line = number;
        } else {
            bool literal = false;
            for (const char *word : {"true", "false", "null"}) {
                const int length = int(std::strlen(word));
                if (n - i >= length && std::memcmp(p + i, word, size_t(length)) == 0) {
                    i += length;
                    literal = true;
                    break;
                }
            }
            if (!literal)
                return false;
        }
        i = skipJsonSpace(p, n, i);
        if (i < n && p[i] == ',') {
            i = skipJsonSpace(p, n, i + 1);
            continue;
        }
        if (i < n && p[i] == '}')
            return skipJsonSpace(p, n, i + 1) == n;
        return false;
    }
}
