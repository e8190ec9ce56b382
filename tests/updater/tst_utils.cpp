#include "logcapture.h"
#include "utils.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Every file and directory below root, relative, directories ending in "/".
QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString rel = QDir(root).relativeFilePath(it.filePath());
        entries << (it.fileInfo().isDir() && !it.fileInfo().isSymLink() ? rel + "/" : rel);
    }
    entries.sort();
    return entries;
}

} // namespace

class tst_Utils : public QObject
{
    Q_OBJECT
private slots:
    void copyDirectory_data();
    void copyDirectory();
    void copyDirectoryIntoItself();
    void copyDirectorySkipsLinkedDirectories();
    void copyDirectoryStopsAtFirstFailure();
    void copyOverwriteFile_data();
    void copyOverwriteFile();
    void readOnlyDirectory();
};

void tst_Utils::copyDirectory_data()
{
    QTest::addColumn<QStringList>("files");   // relative paths in src; "dir/" makes a directory
    QTest::addColumn<QStringList>("filters");
    QTest::addColumn<QStringList>("expected"); // tree() of dst afterwards

    const QStringList mixed{"QT5CORE.DLL", "a.dll.bak", "b.Dll", "libx.so", "libQt5Core.so.5.15.8", "libx.a",
                            "notes.txt"};
    QTest::newRow("no filters copies every file")
        << QStringList{"a.txt", "sub/b.bin"} << QStringList{} << QStringList{"a.txt", "sub/", "sub/b.bin"};
    QTest::newRow("dll pattern ignores case, matches whole names")
        << mixed << QStringList{"*.dll"} << QStringList{"QT5CORE.DLL", "b.Dll"};
    QTest::newRow("shared-object patterns")
        << mixed << QStringList{"*.so", "*.so.*"} << QStringList{"libQt5Core.so.5.15.8", "libx.so"};
    QTest::newRow("question mark matches one character")
        << QStringList{"a1.so", "a12.so"} << QStringList{"a?.so"} << QStringList{"a1.so"};
    QTest::newRow("directories recreated even without matches")
        << QStringList{"sub/deeper/readme.txt", "empty/", "sub/lib.so"} << QStringList{"*.so"}
        << QStringList{"empty/", "sub/", "sub/deeper/", "sub/lib.so"};
    QTest::newRow("missing source") << QStringList{"<no source>"} << QStringList{} << QStringList{};
}

void tst_Utils::copyDirectory()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, filters);
    QFETCH(QStringList, expected);

    QTemporaryDir root;
    const QString src = root.filePath("src");
    const QString dst = root.filePath("dst");
    if (files != QStringList{"<no source>"}) {
        QVERIFY(QDir().mkpath(src));
        for (const QString &f : files) {
            if (f.endsWith('/'))
                QVERIFY(QDir().mkpath(src + "/" + f));
            else
                QVERIFY(writeFile(src + "/" + f, f.toUtf8()));
        }
    }

    LogCapture log;
    QVERIFY(Utils::copyDirectory(src, dst, filters));
    QVERIFY(QFileInfo(dst).isDir());
    QCOMPARE(tree(dst), expected);
    for (const QString &f : expected) {
        if (!f.endsWith('/'))
            QCOMPARE(readFile(dst + "/" + f), f.toUtf8());
    }
}

void tst_Utils::copyDirectoryIntoItself()
{
    // The destination lies inside the source: it is created, then met in the
    // listing, and must not be copied into itself over and over.
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("app/lib.so"), "lib"));
    QVERIFY(writeFile(root.filePath("app/plugins/p.so"), "plugin"));
    QVERIFY(QDir().mkpath(root.filePath("app/updates")));
    LogCapture log;
    QVERIFY(Utils::copyDirectory(root.filePath("app"), root.filePath("app/updates/stage"), {"*.so"}));
    QCOMPARE(tree(root.filePath("app/updates")),
             (QStringList{"stage/", "stage/lib.so", "stage/plugins/", "stage/plugins/p.so", "stage/updates/"}));

    // Source and destination the same: nothing is lost.
    QVERIFY(Utils::copyDirectory(root.filePath("app/plugins"), root.filePath("app/plugins"), {}));
    QCOMPARE(readFile(root.filePath("app/plugins/p.so")), QByteArray("plugin"));
}

void tst_Utils::copyDirectorySkipsLinkedDirectories()
{
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("src/a.so"), "a"));
    QVERIFY(QFile::link(root.filePath("src"), root.filePath("src/loop")));
    QVERIFY(QFile::link(root.filePath("src/a.so"), root.filePath("src/alias.so")));
    LogCapture log;
    QVERIFY(Utils::copyDirectory(root.filePath("src"), root.filePath("dst"), {}));
    // A linked file arrives as a plain copy of its target.
    QCOMPARE(tree(root.filePath("dst")), (QStringList{"a.so", "alias.so"}));
    QVERIFY(!QFileInfo(root.filePath("dst/alias.so")).isSymLink());
    QCOMPARE(readFile(root.filePath("dst/alias.so")), QByteArray("a"));
}

void tst_Utils::copyDirectoryStopsAtFirstFailure()
{
    // A non-empty directory where a file should go cannot be removed, even by root.
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("src/sub/x.so"), "new"));
    QVERIFY(writeFile(root.filePath("dst/sub/x.so/keep"), "old"));
    LogCapture log;
    QVERIFY(!Utils::copyDirectory(root.filePath("src"), root.filePath("dst"), {}));
    QVERIFY(log.contains("ERROR: cannot remove file"));
    QVERIFY(log.contains("overwrite copy of file failed"));
    QVERIFY(log.contains("recursive copy of dir failed"));
    QCOMPARE(readFile(root.filePath("dst/sub/x.so/keep")), QByteArray("old"));
}

void tst_Utils::copyOverwriteFile_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QByteArray>("dstAfter"); // content at dst afterwards
    QTest::addColumn<QString>("logText");

    QTest::newRow("new destination") << "new" << true << QByteArray("source") << "";
    QTest::newRow("existing destination replaced") << "existing" << true << QByteArray("source") << "";
    QTest::newRow("missing source leaves destination") << "no source" << false << QByteArray("old")
                                                       << "Src file cannot be accessed";
    QTest::newRow("same file") << "same" << true << QByteArray("source") << "";
    QTest::newRow("destination cannot be removed") << "dir at dst" << false << QByteArray("<missing>")
                                                   << "ERROR: cannot remove file";
    QTest::newRow("destination below a regular file") << "under file" << false << QByteArray("<missing>")
                                                      << "Copy failed:";
}

void tst_Utils::copyOverwriteFile()
{
    QFETCH(QString, situation);
    QFETCH(bool, result);
    QFETCH(QByteArray, dstAfter);
    QFETCH(QString, logText);

    QTemporaryDir root;
    QString src = root.filePath("src.so");
    QString dst = root.filePath("dst.so");
    QVERIFY(writeFile(src, "source"));
    if (situation == "existing" || situation == "no source")
        QVERIFY(writeFile(dst, "old"));
    if (situation == "no source")
        QVERIFY(QFile::remove(src));
    if (situation == "same")
        dst = root.filePath("./src.so");
    if (situation == "dir at dst")
        QVERIFY(writeFile(dst + "/inside", "x"));
    if (situation == "under file")
        dst = src + "/dst.so";

    LogCapture log;
    QCOMPARE(Utils::copyOverwriteFile(src, dst), result);
    QCOMPARE(readFile(dst), dstAfter);
    if (!logText.isEmpty())
        QVERIFY2(log.contains(logText), qPrintable(log.lines().join('\n')));
    if (situation != "no source")
        QCOMPARE(readFile(src), QByteArray("source"));
}

void tst_Utils::readOnlyDirectory()
{
    if (::geteuid() == 0)
        QSKIP("root may write into read-only directories; the directory case above covers the failure");
    QTemporaryDir root;
    QVERIFY(writeFile(root.filePath("src.so"), "source"));
    QVERIFY(writeFile(root.filePath("ro/dst.so"), "old"));
    QVERIFY(QFile::setPermissions(root.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner));
    LogCapture log;
    const bool copied = Utils::copyOverwriteFile(root.filePath("src.so"), root.filePath("ro/dst.so"));
    QFile::setPermissions(root.filePath("ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!copied);
    QVERIFY(log.contains("ERROR: cannot remove file"));
    QCOMPARE(readFile(root.filePath("ro/dst.so")), QByteArray("old"));
}

QTEST_APPLESS_MAIN(tst_Utils)
#include "tst_utils.moc"
