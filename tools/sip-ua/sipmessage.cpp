#include "sipmessage.h"

#include <QRegularExpression>

namespace {

QString fullName(const QString &name)
{
    static const QList<QPair<QString, QString>> compact{
        {QStringLiteral("v"), QStringLiteral("Via")},          {QStringLiteral("f"), QStringLiteral("From")},
        {QStringLiteral("t"), QStringLiteral("To")},           {QStringLiteral("i"), QStringLiteral("Call-ID")},
        {QStringLiteral("m"), QStringLiteral("Contact")},      {QStringLiteral("l"), QStringLiteral("Content-Length")},
        {QStringLiteral("c"), QStringLiteral("Content-Type")},
    };
    for (const auto &pair : compact) {
        if (name.compare(pair.first, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return name;
}

QStringList splitList(const QString &value)
{
    QStringList parts;
    int depth = 0;
    bool quoted = false;
    int start = 0;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('<'))
            ++depth;
        else if (!quoted && c == QLatin1Char('>'))
            --depth;
        else if (!quoted && depth == 0 && c == QLatin1Char(',')) {
            parts.append(value.mid(start, i - start).trimmed());
            start = i + 1;
        }
    }
    parts.append(value.mid(start).trimmed());
    parts.removeAll(QString());
    return parts;
}

}

SipMessage SipMessage::request(const QString &method, const QString &uri)
{
    SipMessage m;
    m.m_method = method;
    m.m_uri = uri;
    return m;
}

SipMessage SipMessage::response(int status, const QString &reason)
{
    SipMessage m;
    m.m_status = status;
    m.m_reason = reason;
    return m;
}

bool SipMessage::parse(const QByteArray &datagram, SipMessage *message)
{
    const int end = datagram.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QStringList lines = QString::fromUtf8(datagram.left(end)).split(QStringLiteral("\r\n"));
    SipMessage m;
    const QStringList start = lines.first().split(QLatin1Char(' '));
    if (start.size() < 3)
        return false;
    if (start.at(0) == QLatin1String("SIP/2.0")) {
        m.m_status = start.at(1).toInt();
        if (m.m_status < 100 || m.m_status > 699)
            return false;
        m.m_reason = start.mid(2).join(QLatin1Char(' '));
    } else if (start.at(2) == QLatin1String("SIP/2.0")) {
        m.m_method = start.at(0);
        m.m_uri = start.at(1);
    } else {
        return false;
    }
    for (int i = 1; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if ((line.startsWith(QLatin1Char(' ')) || line.startsWith(QLatin1Char('\t'))) && !m.m_headers.isEmpty()) {
            m.m_headers.last().second += QLatin1Char(' ') + line.trimmed();
            continue;
        }
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            return false;
        m.m_headers.append({fullName(line.left(colon).trimmed()), line.mid(colon + 1).trimmed()});
    }
    m.m_body = datagram.mid(end + 4);
    *message = m;
    return true;
}

QString SipMessage::header(const QString &name) const
{
    for (const auto &h : m_headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QString();
}

QStringList SipMessage::headerValues(const QString &name) const
{
    QStringList values;
    for (const auto &h : m_headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            values += splitList(h.second);
    }
    return values;
}

void SipMessage::addHeader(const QString &name, const QString &value)
{
    m_headers.append({name, value});
}

void SipMessage::copyHeaders(const SipMessage &other, const QString &name)
{
    for (const auto &h : other.m_headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            m_headers.append(h);
    }
}

void SipMessage::setBody(const QByteArray &body, const QString &contentType)
{
    m_body = body;
    addHeader(QStringLiteral("Content-Type"), contentType);
}

QString SipMessage::cseqMethod() const
{
    return header(QStringLiteral("CSeq")).section(QLatin1Char(' '), 1, 1, QString::SectionSkipEmpty);
}

int SipMessage::cseqNumber() const
{
    return header(QStringLiteral("CSeq")).section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty).toInt();
}

QString SipMessage::parameter(const QString &headerValue, const QString &name)
{
    // Parameters after the URI: past the closing '>' when there is one.
    const int close = headerValue.lastIndexOf(QLatin1Char('>'));
    const QStringList params = headerValue.mid(close + 1).split(QLatin1Char(';'));
    for (int i = 1; i < params.size(); ++i) {
        const QString p = params.at(i).trimmed();
        if (p.section(QLatin1Char('='), 0, 0).compare(name, Qt::CaseInsensitive) == 0)
            return p.section(QLatin1Char('='), 1);
    }
    return QString();
}

QString SipMessage::uriOf(const QString &headerValue)
{
    const int open = headerValue.indexOf(QLatin1Char('<'));
    const int close = headerValue.indexOf(QLatin1Char('>'), open + 1);
    if (open >= 0 && close > open)
        return headerValue.mid(open + 1, close - open - 1);
    return headerValue.section(QLatin1Char(';'), 0, 0).trimmed();
}

bool SipMessage::hostPort(const QString &uri, QString *host, quint16 *port)
{
    static const QRegularExpression form(
        QStringLiteral("^sips?:(?:[^@;>]*@)?(\\[[^\\]]+\\]|[^:;>?]+)(?::(\\d{1,5}))?"));
    const QRegularExpressionMatch m = form.match(uri);
    if (!m.hasMatch())
        return false;
    *host = m.captured(1);
    host->remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    *port = m.captured(2).isEmpty() ? 5060 : quint16(m.captured(2).toUInt());
    return true;
}

QByteArray SipMessage::toBytes() const
{
    QString text = isRequest() ? QStringLiteral("%1 %2 SIP/2.0\r\n").arg(m_method, m_uri)
                               : QStringLiteral("SIP/2.0 %1 %2\r\n").arg(m_status).arg(m_reason);
    for (const auto &h : m_headers) {
        if (h.first.compare(QLatin1String("Content-Length"), Qt::CaseInsensitive) != 0)
            text += h.first + QStringLiteral(": ") + h.second + QStringLiteral("\r\n");
    }
    text += QStringLiteral("Content-Length: %1\r\n\r\n").arg(m_body.size());
    return text.toUtf8() + m_body;
}
