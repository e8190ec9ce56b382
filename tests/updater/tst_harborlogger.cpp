#include "harborlogger.h"
#include "hrbl.h"
#include "logger.h"
#include "writerconfig.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList lines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList result = QString::fromUtf8(f.readAll()).split('\n');
    if (!result.isEmpty() && result.last().isEmpty())
        result.removeLast();
    return result;
}

} // namespace

class tst_HarborLogger : public QObject
{
    Q_OBJECT
private slots:
    void oneLoggerPerModuleAndFile();
    void entryFormat_data();
    void entryFormat();
    void appendsToExistingFile();
    void rotation();
    void unwritableFile();
};

void tst_HarborLogger::oneLoggerPerModuleAndFile()
{
    QTemporaryDir dir;
    HarborLogger *a = HarborLogger::instance("APP", 1);
    QCOMPARE(HarborLogger::instance("APP", 1), a);
    QVERIFY(HarborLogger::instance("OTHER", 1) != a);
    Logger *log = a->createFileLogger("UPDATER", dir.filePath("u.log"), WriterConfig());
    QCOMPARE(a->createFileLogger("UPDATER", dir.filePath("u.log"), WriterConfig()), log);
    QVERIFY(a->createFileLogger("OTHER", dir.filePath("u.log"), WriterConfig()) != log);
    QCOMPARE(log->fileName(), dir.filePath("u.log"));
}

void tst_HarborLogger::entryFormat_data()
{
    QTest::addColumn<int>("priority");
    QTest::addColumn<QVariantList>("items");
    QTest::addColumn<QString>("tail"); // the line after the time stamp

    QTest::newRow("text and version") << int(HRBL::PriorityInfo)
                                      << QVariantList{"local app version: ", "4.2.0-r5838"}
                                      << "1000 UPDATER local app version:  4.2.0-r5838";
    QTest::newRow("warning priority") << int(HRBL::PriorityWarning) << QVariantList{"newer"} << "100 UPDATER newer";
    QTest::newRow("numbers and booleans") << int(HRBL::PriorityCritical) << QVariantList{42, qint64(-7), true}
                                          << "10 UPDATER 42 -7 true";
    QTest::newRow("line breaks flattened") << int(HRBL::PriorityInfo) << QVariantList{"a\nb\r\nc"}
                                           << "1000 UPDATER a b  c";
    QTest::newRow("string list") << int(HRBL::PriorityInfo) << QVariantList{QStringList{"x", "y"}}
                                 << "1000 UPDATER x y";
    QTest::newRow("no items") << int(HRBL::PriorityInfo) << QVariantList{} << "1000 UPDATER";
    QTest::newRow("non-ASCII") << int(HRBL::PriorityInfo) << QVariantList{QString::fromUtf8("caf\xc3\xa9")}
                               << QString::fromUtf8("1000 UPDATER caf\xc3\xa9");
}

void tst_HarborLogger::entryFormat()
{
    QFETCH(int, priority);
    QFETCH(QVariantList, items);
    QFETCH(QString, tail);

    QTemporaryDir dir;
    const QString path = dir.filePath("updater.log");
    Logger log("UPDATER", path, WriterConfig());
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    log << HRBL::LogMessagePriorityType(priority);
    for (const QVariant &item : items)
        log << item;
    log << HRBL::EndEntry;
    // Without a priority the entry is a routine one.
    log << "second" << HRBL::EndEntry;
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QStringList written = lines(path);
    QCOMPARE(written.size(), 2);
    static const QRegularExpression stamp("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) (.*)$");
    const auto m = stamp.match(written.at(0));
    QVERIFY2(m.hasMatch(), qPrintable(written.at(0)));
    const QDateTime when = QDateTime::fromString(m.captured(1), "yyyy-MM-dd hh:mm:ss.zzz");
    QVERIFY(when >= before && when <= after);
    QCOMPARE(m.captured(2), tail);
    QVERIFY(written.at(1).endsWith(" 1000 UPDATER second"));
}

void tst_HarborLogger::appendsToExistingFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("updater.log");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("from an earlier run\n");
    }
    Logger log("UPDATER", path, WriterConfig());
    log << HRBL::PriorityInfo << "now" << HRBL::EndEntry;
    log.flush();
    const QStringList written = lines(path);
    QCOMPARE(written.size(), 2);
    QCOMPARE(written.at(0), QStringLiteral("from an earlier run"));
}

void tst_HarborLogger::rotation()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("updater.log");
    QVERIFY(WriterConfig().maxFileSize == 1024 * 1024);
    WriterConfig config;
    config.maxFileSize = 1000;
    Logger log("UPDATER", path, config);
    // Each line: 23 (time) + 1 + 4 + 1 + 7 + 1 + 4 (index) + 1 + 57 + 1 = 100 bytes.
    const QString filler(57, 'f');
    for (int i = 0; i < 25; ++i)
        log << HRBL::PriorityInfo << QString::number(1000 + i) << filler << HRBL::EndEntry;

    // Never past the limit; the previous file kept once, the oldest dropped.
    QVERIFY(QFileInfo(path).size() <= 1000);
    QVERIFY(QFileInfo(path + ".1").size() <= 1000);
    QVERIFY(!QFile::exists(path + ".2"));
    const QStringList current = lines(path);
    const QStringList previous = lines(path + ".1");
    QCOMPARE(current.size(), 5);
    QCOMPARE(previous.size(), 10);
    QVERIFY(previous.first().contains(" 1010 "));
    QVERIFY(current.first().contains(" 1020 "));
    QVERIFY(current.last().contains(" 1024 "));

    // An entry larger than the limit still lands, in a file of its own.
    log << HRBL::PriorityInfo << QString(1500, 'x') << HRBL::EndEntry;
    QCOMPARE(lines(path).size(), 1);
    QCOMPARE(lines(path + ".1").size(), 5);
}

void tst_HarborLogger::unwritableFile()
{
    QTemporaryDir dir;
    // The parent of the log is a regular file: no entry can be written, and
    // the logger carries on.
    QFile blocker(dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Logger log("UPDATER", dir.filePath("blocker/updater.log"), WriterConfig());
    log << HRBL::PriorityCritical << "lost" << HRBL::EndEntry;
    log.flush();
    QVERIFY(!QFile::exists(dir.filePath("blocker/updater.log")));
}

QTEST_APPLESS_MAIN(tst_HarborLogger)
#include "tst_harborlogger.moc"
