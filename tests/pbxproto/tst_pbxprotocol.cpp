#include "pbxprotocol.h"

#include <QJsonDocument>
#include <QtTest>

class tst_PbxProtocol : public QObject
{
    Q_OBJECT

private slots:
    void logFrame_data();
    void logFrame();
    void directLogFrame_data();
    void directLogFrame();
};

void tst_PbxProtocol::logFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("verbosity");  // null: the frame is skipped

    QTest::newRow("error") << QByteArray(R"({"type":"log","level":0,"message":"m"})") << "0";
    QTest::newRow("debug") << QByteArray(R"({"type":"log","level":4,"message":"m"})") << "4";
    // -1 is the client's mark of a command result; an exchange cannot claim it.
    QTest::newRow("command result level") << QByteArray(R"({"type":"log","level":-1,"message":"m"})") << "0";
    QTest::newRow("far below") << QByteArray(R"({"type":"log","level":-2147483648,"message":"m"})") << "0";
    QTest::newRow("above debug") << QByteArray(R"({"type":"log","level":7,"message":"m"})") << "4";
    QTest::newRow("far above") << QByteArray(R"({"type":"log","level":2147483647,"message":"m"})") << "4";
    QTest::newRow("beyond an int") << QByteArray(R"({"type":"log","level":1e300,"message":"m"})") << QString();
}

void tst_PbxProtocol::logFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, verbosity);
    DiagnosticMessage msg;
    QCOMPARE(PbxProtocol::diagnosticMessageFromJson(QJsonDocument::fromJson(frame).object(), &msg),
             !verbosity.isNull());
    QCOMPARE(msg.verbosity, verbosity);
}

void tst_PbxProtocol::directLogFrame_data()
{
    QTest::addColumn<QString>("text");  // every member of the record
    QTest::newRow("plain") << "INVITE sip:bob@alpha.test";
    QTest::newRow("quotes and backslashes") << R"(say "hi" \ C:\path)";
    QTest::newRow("control characters") << QString::fromUtf8("a\n\r\tb\x01\x1f\x7f");
    QTest::newRow("NUL") << QString(QChar(0)) + "after";
    QTest::newRow("non-ASCII") << QString::fromUtf8("Zoë — 電話 😀");
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) + "x";
    QTest::newRow("empty") << QString();
}

void tst_PbxProtocol::directLogFrame()
{
    // An exchange writes log frames directly; they read as the JSON object's.
    QFETCH(QString, text);
    DiagnosticMessage msg;
    msg.messageId = msg.tenantUuid = msg.linkedId = msg.uniqueId = msg.timestamp = msg.message = text;
    msg.verbosity = QStringLiteral("3");
    msg.extraFields = QStringList{text, QStringLiteral("x")};
    const QByteArray frame = PbxProtocol::encodeLogFrame(msg);
    QVERIFY(frame.endsWith('\n') && frame.count('\n') == 1);
    QJsonParseError error;
    const QJsonDocument read = QJsonDocument::fromJson(frame, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(read.object(), PbxProtocol::diagnosticMessageToJson(msg));
}

QTEST_APPLESS_MAIN(tst_PbxProtocol)
#include "tst_pbxprotocol.moc"
