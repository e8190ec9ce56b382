#include "simplexmlparser.h"

#include <QMutexLocker>
#include <QRegularExpression>

SimpleXmlParser::SimpleXmlParser(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<SimpleXmlParser::ParseErrorEnumType>();
}

void SimpleXmlParser::setRootTag(const QString &tag)
{
    rootTag = tag;
    compact();
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
    // loop ends. Consumed text is only skipped over (head) and removed once at
    // the end, and text searched in an earlier call is not searched again, so
    // many or long documents cost linear time. All positions are members: a
    // slot may call parse() again while a message is delivered.
    bool first = true;
    for (;;) {
        if (maxBufferSize > 0 && buffer.size() - head > maxBufferSize) {
            emit parseErrorFound(BufferOverflow);
            break;
        }
        if (first) {
            buffer.append(data);
            first = false;
        }

        const int close = buffer.indexOf(closeTag, qMax(head, closeScanFrom));
        if (close < 0) {
            closeScanFrom = qMax(head, buffer.size() - closeTag.size() + 1);
            break;
        }
        closeScanFrom = close;
        const int open = buffer.indexOf(openTag, qMax(head, openScanFrom));
        if (open < 0) {
            openScanFrom = qMax(head, buffer.size() - openTag.size() + 1);
            break;
        }

        if (close > open) {
            const int end = close + closeTag.size();
            const QString msg = buffer.mid(open, end - open);
            head = closeScanFrom = openScanFrom = end;
            deliver(msg);
            if (head >= buffer.size())
                break;
        } else {
            head = closeScanFrom = openScanFrom = open;
            emit parseErrorFound(MalformedMessage);
        }
    }
    compact();
}

void SimpleXmlParser::compact()
{
    if (head <= 0)
        return;
    if (head >= buffer.size()) {
        buffer.clear();
        closeScanFrom = openScanFrom = 0;
    } else {
        buffer.remove(0, head);
        closeScanFrom = qMax(0, closeScanFrom - head);
        openScanFrom = qMax(0, openScanFrom - head);
    }
    head = 0;
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
    int openAt = -1;
    if (openRe.isValid()) {
        const QRegularExpressionMatch open = openRe.match(xml, qMax(0, from));
        if (open.hasMatch())
            openAt = open.capturedStart();
    }
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
