#include "simplexmlparser.h"

#include <QMutexLocker>
#include <QRegularExpression>

SimpleXmlParser::SimpleXmlParser(QObject *parent)
    : QObject(parent)
{
}

void SimpleXmlParser::setRootTag(const QString &tag)
{
    rootTag = tag;
    closeScanFrom = 0;
    openScanFrom = 0;
}

void SimpleXmlParser::setMaxBufferSize(int size)
{
    maxBufferSize = size;
}

void SimpleXmlParser::setNotifyMode(NotifyModeEnumType mode)
{
    notifyMode = mode;
}

void SimpleXmlParser::parse(const QString &data)
{
    const QString openTag = QLatin1Char('<') + rootTag + QLatin1Char('>');
    const QString closeTag = QLatin1String("</") + rootTag + QLatin1Char('>');

    // Each round either cuts a message or drops text from the front, so the
    // loop ends; a loop rather than recursion keeps the stack flat for input
    // holding very many documents.
    bool first = true;
    for (;;) {
        if (maxBufferSize > 0 && buffer.size() > maxBufferSize) {
            emit parseErrorFound(BufferOverflow);
            return;
        }
        if (first) {
            buffer.append(data);
            first = false;
        }

        // Text already searched in an earlier call is not searched again, so
        // a long document arriving in small pieces costs linear time.
        const int close = buffer.indexOf(closeTag, closeScanFrom);
        if (close < 0) {
            closeScanFrom = qMax(0, buffer.size() - closeTag.size() + 1);
            return;
        }
        closeScanFrom = close;
        const int open = buffer.indexOf(openTag, openScanFrom);
        if (open < 0) {
            openScanFrom = qMax(0, buffer.size() - openTag.size() + 1);
            return;
        }
        closeScanFrom = 0;
        openScanFrom = 0;

        if (close > open) {
            const int end = close + closeTag.size();
            const QString msg = buffer.mid(open, end - open);
            buffer.remove(0, end);
            deliver(msg);
            if (buffer.isEmpty())
                return;
        } else {
            buffer.remove(0, open);
            emit parseErrorFound(MalformedMessage);
        }
    }
}

void SimpleXmlParser::deliver(const QString &msg)
{
    if (notifyMode != DeliverOnly) {
        QMutexLocker lock(&mutex);
        messages.append(msg);
    }
    switch (notifyMode) {
    case QueueAndNotify:
        emit messageCompleted();
        break;
    case QueueAndDeliver:
    case DeliverOnly:
        emit parsedMessage(msg);
        break;
    case QueueNotifyAndDeliver:
        emit messageCompleted();
        emit parsedMessage(msg);
        break;
    }
}

bool SimpleXmlParser::hasMessages()
{
    QMutexLocker lock(&mutex);
    return !messages.isEmpty();
}

QString SimpleXmlParser::takeMessage()
{
    QMutexLocker lock(&mutex);
    if (messages.isEmpty())
        return QString();
    return messages.takeFirst();
}

bool SimpleXmlParser::findTag(const QString &xml, const QString &tag, int from, int *openPos, int *endPos)
{
    // The tag name goes into the pattern as it is; a name that makes the
    // pattern invalid simply never matches.
    const QRegularExpression openRe(QLatin1Char('<') + tag + QLatin1String("[>|\\s]"));
    const QRegularExpressionMatch open = openRe.match(xml, qMax(0, from));
    const int openAt = open.hasMatch() ? open.capturedStart() : -1;
    int endAt = -1;
    bool selfClosing = false;
    if (openAt >= 0) {
        static const QRegularExpression endRe(QStringLiteral("(>|/>)"));
        const QRegularExpressionMatch end = endRe.match(xml, openAt);
        if (end.hasMatch()) {
            endAt = end.capturedStart();
            selfClosing = end.captured(1) == QLatin1String("/>");
        }
    }
    if (openPos)
        *openPos = openAt;
    if (endPos)
        *endPos = endAt;
    return selfClosing;
}

QString SimpleXmlParser::getTagValue(const QString &xml, const QString &tag, int from)
{
    static const QRegularExpression brackets(QStringLiteral("[<>]"));
    QString name = tag;
    name.remove(brackets);

    int openPos = -1;
    int endPos = -1;
    if (findTag(xml, name, from, &openPos, &endPos))
        return QString();
    if (openPos < 0 || endPos < 0)
        return QString();
    const int closePos = xml.indexOf(QLatin1String("</") + name + QLatin1Char('>'), openPos);
    // A closing tag ahead of the end of the opening tag means there is no content.
    if (closePos < 0 || closePos <= endPos)
        return QString();
    return xml.mid(endPos + 1, closePos - endPos - 1);
}
