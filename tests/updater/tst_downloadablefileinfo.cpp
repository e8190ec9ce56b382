#include "downloadablefileinfo.h"

#include <QtTest>

class tst_DownloadableFileInfo : public QObject
{
    Q_OBJECT
private slots:
    void fromXml_data();
    void fromXml();
    void readsEveryField();
    void dump();
    void plainFileNames_data();
    void plainFileNames();
};

static QString doc(const QString &inner)
{
    return QStringLiteral("<ZTUPFW><API>1.0</API><FileInfoRoot>") + inner + QStringLiteral("</FileInfoRoot></ZTUPFW>");
}

void tst_DownloadableFileInfo::fromXml_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("zipped");
    QTest::addColumn<bool>("required");

    const QString nameUrl = QStringLiteral("<FileName>a.zip</FileName><URL>http://h/a.zip</URL>");
    QTest::newRow("upper-case TRUE with spaces") << doc(nameUrl + "<FileIsZipped> TRUE </FileIsZipped>")
                                                 << qint64(0) << true << true;
    QTest::newRow("zipped given as 1") << doc(nameUrl + "<FileIsZipped>1</FileIsZipped>") << qint64(0) << false
                                       << true;
    QTest::newRow("size beyond 32 bits") << doc(nameUrl + "<FileSize>3000000000</FileSize>") << qint64(0) << false
                                         << true;
    QTest::newRow("size in letters") << doc(nameUrl + "<FileSize>big</FileSize>") << qint64(0) << false << true;
    QTest::newRow("negative size") << doc(nameUrl + "<FileSize>-5</FileSize>") << qint64(-5) << false << true;
    QTest::newRow("empty URL") << doc("<FileName>a.zip</FileName><URL></URL>") << qint64(0) << false << false;
    QTest::newRow("no file name") << doc("<URL>http://h/a</URL>") << qint64(0) << false << false;
    QTest::newRow("garbage") << QStringLiteral("<<<FileName>>") << qint64(0) << false << false;
}

void tst_DownloadableFileInfo::fromXml()
{
    QFETCH(QString, xml);
    QFETCH(qint64, size);
    QFETCH(bool, zipped);
    QFETCH(bool, required);
    const DownloadableFileInfo info = DownloadableFileInfo::fromXml(xml);
    QCOMPARE(info.size, size);
    QCOMPARE(info.zipped, zipped);
    QCOMPARE(info.hasRequiredFields(), required);
    QVERIFY(!info.valid);
}

void tst_DownloadableFileInfo::readsEveryField()
{
    const DownloadableFileInfo info = DownloadableFileInfo::fromXml(
        doc("<FileName>a.zip</FileName><FileName>b.zip</FileName><FileSize>1234</FileSize>"
            "<FileIsZipped>true</FileIsZipped><AppVersion>4.2.1</AppVersion><URL>http://h/a.zip</URL>"
            "<MD5> ABC </MD5><SHA1>def</SHA1><AppExecutable>stage2.exe</AppExecutable>"));
    QCOMPARE(info.fileName, QStringLiteral("a.zip"));
    QCOMPARE(info.size, qint64(1234));
    QVERIFY(info.zipped);
    QCOMPARE(info.appVersion, QStringLiteral("4.2.1"));
    QCOMPARE(info.url, QStringLiteral("http://h/a.zip"));
    QCOMPARE(info.md5, QStringLiteral(" ABC "));
    QCOMPARE(info.sha1, QStringLiteral("def"));
    QCOMPARE(info.exe2Start, QStringLiteral("stage2.exe"));
}

void tst_DownloadableFileInfo::dump()
{
    DownloadableFileInfo info;
    info.fileName = "a.zip";
    info.valid = true;
    info.url = "u";
    info.size = 42;
    QCOMPARE(info.toString(), QStringLiteral("Filename:a.zip\nZipped:false\nValid:true\nAPP v.:\nURL:u\nMD5:\nSHA1:\n"
                                             "Size:42\nExe2Start:\n"));
}

void tst_DownloadableFileInfo::plainFileNames_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("exe");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "pkg.tar.gz" << "stage2" << true;
    QTest::newRow("no executable") << "pkg.tar.gz" << "" << true;
    QTest::newRow("dot-dot file name") << "../pkg" << "stage2" << false;
    QTest::newRow("absolute file name") << "/tmp/pkg" << "stage2" << false;
    QTest::newRow("backslash file name") << "..\\pkg" << "stage2" << false;
    QTest::newRow("file name is ..") << ".." << "stage2" << false;
    QTest::newRow("file name is .") << "." << "stage2" << false;
    QTest::newRow("NUL in file name") << QString("a") + QChar(0) + "b" << "stage2" << false;
    QTest::newRow("absolute executable") << "pkg" << "/bin/sh" << false;
    QTest::newRow("executable in subdirectory") << "pkg" << "bin/stage2" << true;
    QTest::newRow("executable is ..") << "pkg" << ".." << false;
    QTest::newRow("executable is the folder itself") << "pkg" << ".\\./" << false;
    QTest::newRow("executable climbing out") << "pkg" << "../x" << false;
    QTest::newRow("executable climbing out midway") << "pkg" << "bin\\..\\..\\x" << false;
    QTest::newRow("executable with leading backslash") << "pkg" << "\\x" << false;
    QTest::newRow("executable on a drive") << "pkg" << "C:x.exe" << false;
    QTest::newRow("dots inside a name") << "pkg..v2" << "..stage2" << true;
}

void tst_DownloadableFileInfo::plainFileNames()
{
    QFETCH(QString, fileName);
    QFETCH(QString, exe);
    QFETCH(bool, safe);
    DownloadableFileInfo info;
    info.fileName = fileName;
    info.exe2Start = exe;
    QCOMPARE(info.hasSafeNames(), safe);
}

QTEST_APPLESS_MAIN(tst_DownloadableFileInfo)
#include "tst_downloadablefileinfo.moc"
