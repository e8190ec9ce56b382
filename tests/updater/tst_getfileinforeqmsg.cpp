#include "getfileinforeqmsg.h"

#include <QtTest>

using ZUFW_XML::GetFileInfoReqMsg;

class tst_GetFileInfoReqMsg : public QObject
{
    Q_OBJECT
private slots:
    void requestText_data();
    void requestText();
};

void tst_GetFileInfoReqMsg::requestText_data()
{
    QTest::addColumn<QString>("id");
    QTest::newRow("plain") << "PLOGGER4";
    QTest::newRow("markup goes out unchanged") << "a<b&c>";
    QTest::newRow("empty") << "";
}

void tst_GetFileInfoReqMsg::requestText()
{
    QFETCH(QString, id);
    const GetFileInfoReqMsg msg(id, 1, 2);
    QCOMPARE(msg.toXml(),
             QStringLiteral("<ZTUPFW><API>1.0</API><GetFileInfo><AppUniqueId>") + id
                 + QStringLiteral("</AppUniqueId><FileInfoType>1</FileInfoType><Platform>2</Platform>"
                                  "</GetFileInfo></ZTUPFW>"));
}

QTEST_APPLESS_MAIN(tst_GetFileInfoReqMsg)
#include "tst_getfileinforeqmsg.moc"
