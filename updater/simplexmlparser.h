#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

// Cuts complete documents, delimited by one root element, out of text that
// arrives in arbitrary pieces. No tree is built: plain text search only.
class SimpleXmlParser : public QObject
{
    Q_OBJECT
public:
    enum ParseErrorEnumType {
        MalformedMessage = 0,
        BufferOverflow = 1
    };
    Q_ENUM(ParseErrorEnumType)

    enum NotifyModeEnumType {
        QueueAndNotify = 0,
        QueueAndDeliver = 1,
        DeliverOnly = 2,
        QueueNotifyAndDeliver = 3
    };
    Q_ENUM(NotifyModeEnumType)

    explicit SimpleXmlParser(QObject *parent = nullptr);

    void setRootTag(const QString &tag);
    void setMaxBufferSize(int size);
    void setNotifyMode(NotifyModeEnumType mode);

    void parse(const QString &data);

    bool hasMessages();
    QString takeMessage();

    static QString getTagValue(const QString &xml, const QString &tag, int from = 0);
    static bool findTag(const QString &xml, const QString &tag, int from, int *openPos, int *endPos);

signals:
    void messageCompleted();
    void parsedMessage(QString msg);
    void parseErrorFound(SimpleXmlParser::ParseErrorEnumType error);

private:
    void deliver(const QString &msg);
    void compact();

    QString rootTag;
    QStringList messages;
    QString buffer;
    QMutex mutex;
    int maxBufferSize = 0;
    NotifyModeEnumType notifyMode = QueueAndNotify;
    int head = 0;
    int closeScanFrom = 0;
    int openScanFrom = 0;
};
