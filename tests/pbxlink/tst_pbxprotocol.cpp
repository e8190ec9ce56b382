#include "pbxprotocol.h"

#include <QJsonDocument>
#include <QtTest>

class tst_PbxProtocol : public QObject
{
    Q_OBJECT

private slots:
    void logFrame_data();
    void logFrame();
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

QTEST_APPLESS_MAIN(tst_PbxProtocol)
#include "tst_pbxprotocol.moc"
