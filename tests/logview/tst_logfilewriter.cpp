#include "logfilewriter.h"

#include "logmessagemodel.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {
void fill(LogMessageModel &model)
{
    const QStringList headers = {"TenantUUID", "LinkedID", "UniqueID", "ID", "V", "Timestamp", "Messaggio"};
    for (int c = 0; c < 7; ++c)
        model.setHeaderData(c, Qt::Horizontal, headers[c]);
    const char *rows[][7] = {
        {"t1", "call1", "u1", "m1", "ERROR", "10:00:00", "single line"},
        {"t1", "call1", "u2", "m2", "DEBUG", "10:00:01", "first\nsecond"},
        {"", "", "u3", "m3", "VERBOSE", "10:00:02", "tab\tinside \xc3\xa8"},
    };
    for (const auto &cells : rows) {
        LogMessageModel::Row row;
        for (int c = 0; c < 7; ++c)
            row.setText(c, QString::fromUtf8(cells[c]));
        model.enqueue(row);
    }
    model.flushPending();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}
}

class tst_LogFileWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exactBytes_data();
    void exactBytes();
    void replacesExistingFile();
    void unwritableDirectoryLeavesEarlierFile();
    void largeTableSpansChunks();
    void failedWriteLeavesEarlierFile();
    void otherLocaleEncoding();
    void nulSurvivesOtherLocaleAcrossChunks();
    void missingDirectoryFails();

private:
    QTemporaryDir m_dir;
};

void tst_LogFileWriter::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The tests compare UTF-8 bytes: the locale of the test run is UTF-8.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}

void tst_LogFileWriter::exactBytes_data()
{
    QTest::addColumn<QVector<int>>("columns");
    QTest::addColumn<bool>("empty");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty table: header only") << QVector<int>{2, 4, 5, 6} << true
                                              << QByteArray("UniqueID\tV\tTimestamp\tMessaggio\n");
    QTest::newRow("default columns")
        << QVector<int>{2, 4, 5, 6} << false
        << QByteArray("UniqueID\tV\tTimestamp\tMessaggio\n"
                      "u1\tERROR\t10:00:00\tsingle line\n"
                      "u2\tDEBUG\t10:00:01\tfirst\n\t\t\t\t\t\tsecond\n"
                      "u3\tVERBOSE\t10:00:02\ttab\tinside \xc3\xa8\n");
    QTest::newRow("tenant column shown")
        << QVector<int>{0, 2, 4, 5, 6} << false
        << QByteArray("TenantUUID\tUniqueID\tV\tTimestamp\tMessaggio\n"
                      "t1\tu1\tERROR\t10:00:00\tsingle line\n"
                      "t1\tu2\tDEBUG\t10:00:01\tfirst\n\t\t\t\t\t\tsecond\n"
                      "\tu3\tVERBOSE\t10:00:02\ttab\tinside \xc3\xa8\n");
}

void tst_LogFileWriter::exactBytes()
{
    QFETCH(QVector<int>, columns);
    QFETCH(bool, empty);
    QFETCH(QByteArray, expected);
    LogMessageModel model;
    fill(model);
    if (empty)
        model.clear();
    const QString path = m_dir.filePath(QStringLiteral("exact.txt"));
    QString error;
    QVERIFY2(LogFileWriter::write(model, columns, path, &error), qPrintable(error));
    QCOMPARE(readAll(path), expected);
}

void tst_LogFileWriter::replacesExistingFile()
{
    const QString path = m_dir.filePath(QStringLiteral("replace.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(100000, 'z'));
    old.close();
    LogMessageModel model;
    fill(model);
    QVERIFY(LogFileWriter::write(model, {2}, path, nullptr));
    QCOMPARE(readAll(path), QByteArray("UniqueID\nu1\nu2\nu3\n"));
}

void tst_LogFileWriter::unwritableDirectoryLeavesEarlierFile()
{
    if (geteuid() == 0)
        QSKIP("root writes into read-only directories");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("earlier log\n");
    old.close();
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    LogMessageModel model;
    fill(model);
    QString error;
    QVERIFY(!LogFileWriter::write(model, {2, 6}, path, &error));
    QVERIFY(!error.isEmpty());
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(readAll(path), QByteArray("earlier log\n"));
}

void tst_LogFileWriter::largeTableSpansChunks()
{
    LogMessageModel model;
    const QString text(150, QLatin1Char('m'));
    for (int i = 0; i < 20000; ++i) {
        LogMessageModel::Row row;
        row.setText(2, QString::number(i));
        row.setText(6, text);
        model.enqueue(row);
    }
    model.flushPending();
    const QString path = m_dir.filePath(QStringLiteral("large.txt"));
    QVERIFY(LogFileWriter::write(model, {2, 6}, path, nullptr));
    const QList<QByteArray> lines = readAll(path).split('\n');
    QCOMPARE(lines.size(), 20000 + 2);  // header, rows, and the empty rest after the last line end
    QCOMPARE(lines[12346], QByteArray("12345\t") + text.toLatin1());
    QCOMPARE(lines.last(), QByteArray());
}

void tst_LogFileWriter::failedWriteLeavesEarlierFile()
{
    // A file-size limit makes the writes fail part-way, for root as well.
    const QString path = m_dir.filePath(QStringLiteral("limited.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("earlier log\n");
    old.close();
    LogMessageModel model;
    for (int i = 0; i < 50000; ++i) {
        LogMessageModel::Row row;
        row.setText(6, QString(100, QLatin1Char('x')));
        model.enqueue(row);
    }
    model.flushPending();

    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 256 * 1024;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    QString error;
    const bool ok = LogFileWriter::write(model, {6}, path, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    QVERIFY(!ok);
    QVERIFY(!error.isEmpty());
    QCOMPARE(readAll(path), QByteArray("earlier log\n"));
    QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("limited.txt*")}, QDir::Files),
             QStringList{"limited.txt"});  // no temporary file left behind
}

void tst_LogFileWriter::otherLocaleEncoding()
{
    // The table keeps UTF-8; a Latin-1 locale gets Latin-1 bytes, multi-line
    // messages indented as anywhere else.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    LogMessageModel model;
    LogMessageModel::Row row;
    row.setText(2, QStringLiteral("u1"));
    row.setText(6, QString::fromUtf8("caff\xc3\xa8\nsecond"));
    model.enqueue(row);
    model.flushPending();
    model.setHeaderData(2, Qt::Horizontal, QStringLiteral("UniqueID"));
    model.setHeaderData(6, Qt::Horizontal, QStringLiteral("Messaggio"));
    const QString path = m_dir.filePath(QStringLiteral("latin1.txt"));
    const bool ok = LogFileWriter::write(model, {2, 6}, path, nullptr);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY(ok);
    QCOMPARE(readAll(path), QByteArray("UniqueID\tMessaggio\nu1\tcaff\xe8\n\t\t\t\t\t\tsecond\n"));
}

void tst_LogFileWriter::nulSurvivesOtherLocaleAcrossChunks()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    LogMessageModel model;
    const QString text = QString::fromUtf8("a\0b", 3) + QString(100, QLatin1Char('x'));
    for (int i = 0; i < 12000; ++i) {  // more than one 1 MiB chunk
        LogMessageModel::Row row;
        row.setText(2, QString::fromUtf8("u\0", 2) + QString::number(i));
        row.setText(6, text);
        model.enqueue(row);
    }
    model.flushPending();
    const QString path = m_dir.filePath(QStringLiteral("nul.txt"));
    const bool ok = LogFileWriter::write(model, {2, 6}, path, nullptr);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY(ok);
    const QList<QByteArray> lines = readAll(path).split('\n');
    QCOMPARE(lines.size(), 12000 + 2);
    const QByteArray tail = QByteArray("a\0b", 3) + QByteArray(100, 'x');
    QCOMPARE(lines[1], QByteArray("u\0" "0\t", 4) + tail);
    QCOMPARE(lines[12000], QByteArray("u\0" "11999\t", 8) + tail);
}

void tst_LogFileWriter::missingDirectoryFails()
{
    LogMessageModel model;
    QString error;
    QVERIFY(!LogFileWriter::write(model, {2}, m_dir.filePath(QStringLiteral("no/such/dir/log.txt")), &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(tst_LogFileWriter)
#include "tst_logfilewriter.moc"
