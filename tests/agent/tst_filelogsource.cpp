#include "filelogsource.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

bool writeFile(const QString &path, const QByteArray &text, QIODevice::OpenMode mode)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | mode) && file.write(text) == text.size();
}

}

class TestFileLogSource : public QObject
{
    Q_OBJECT

private slots:
    void follows_data();
    void follows();
};

// Steps: "append TEXT" to the file, "appendRotated TEXT" to the renamed
// one, "rename" it away, "truncate TEXT" it to TEXT, "create TEXT" it anew,
// "link TEXT" a symbolic link in its place to another file holding TEXT,
// "wait N" until N records came, "lost" until the source said it is lost,
// "pause" and "resume" it as the agent does while its clients are behind,
// "stop" the source and "start" a new one that goes on from the position it
// left, "removeRotated" the renamed file. A record that tells of a gap is
// "gap".
void TestFileLogSource::follows_data()
{
    QTest::addColumn<bool>("existsAtStart");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("lost");

    QTest::newRow("rotation by rename, the old file read to its end")
        << true
        << QStringList{"append INFO: a1\n", "wait 1", "rename", "appendRotated INFO: a2\n", "create INFO: b1\n"}
        << QStringList{"INFO: a1", "INFO: a2", "INFO: b1"} << false;
    QTest::newRow("truncation starts over")
        << true << QStringList{"append INFO: x1\n", "wait 1", "truncate INFO: y\n"}
        << QStringList{"INFO: x1", "INFO: y"} << false;
    QTest::newRow("missing, then created") << false << QStringList{"create INFO: c1\nINFO: c2\n"}
                                           << QStringList{"INFO: c1", "INFO: c2"} << true;
    // Whoever may write the folder must not have the agent read its own key.
    QTest::newRow("a link in the file's place is not followed")
        << true << QStringList{"append INFO: a1\n", "wait 1", "rename", "link INFO: key\n", "lost", "create INFO: b1\n"}
        << QStringList{"INFO: a1", "INFO: b1"} << true;
    QTest::newRow("partial last line waits for its line feed")
        << true << QStringList{"append INFO: first\nINFO: par", "wait 1", "append tial\n"}
        << QStringList{"INFO: first", "INFO: partial"} << false;
    QTest::newRow("a paused source misses nothing written meanwhile")
        << true << QStringList{"append INFO: p1\n", "wait 1", "pause", "append INFO: p2\n", "append INFO: p3\n", "resume"}
        << QStringList{"INFO: p1", "INFO: p2", "INFO: p3"} << false;
    QTest::newRow("rotated while paused, the old file read to its end")
        << true
        << QStringList{"append INFO: r1\n", "wait 1", "pause", "append INFO: r2\n", "rename",
                       "appendRotated INFO: r3\n", "create INFO: s1\n", "resume"}
        << QStringList{"INFO: r1", "INFO: r2", "INFO: r3", "INFO: s1"} << false;
    QTest::newRow("lines written while stopped are read at the start")
        << true << QStringList{"append INFO: a1\n", "wait 1", "stop", "append INFO: a2\nINFO: a3\n", "start"}
        << QStringList{"INFO: a1", "INFO: a2", "INFO: a3"} << false;
    QTest::newRow("rotated while stopped, the rotated file read first")
        << true
        << QStringList{"append INFO: a1\n", "wait 1", "stop", "append INFO: a2\n", "rename", "create INFO: b1\n", "start"}
        << QStringList{"INFO: a1", "INFO: a2", "INFO: b1"} << false;
    QTest::newRow("rotated away while stopped, the gap told")
        << true
        << QStringList{"append INFO: a1\n", "wait 1", "stop", "append INFO: a2\n", "rename", "removeRotated",
                       "create INFO: b1\n", "start"}
        << QStringList{"INFO: a1", "gap", "INFO: b1"} << false;
    QTest::newRow("cut shorter while stopped, the gap told")
        << true << QStringList{"append INFO: a1\nINFO: a2\n", "wait 2", "stop", "truncate INFO: c\n", "start"}
        << QStringList{"INFO: a1", "INFO: a2", "gap", "INFO: c"} << false;
    QTest::newRow("a partial line at the stop is read whole at the start")
        << true << QStringList{"append INFO: a1\nINFO: par", "wait 1", "stop", "append tial\n", "start"}
        << QStringList{"INFO: a1", "INFO: partial"} << false;
}

void TestFileLogSource::follows()
{
    QFETCH(bool, existsAtStart);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, messages);
    QFETCH(bool, lost);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("kamailio.log"));
    // What is there at start is not news.
    if (existsAtStart)
        QVERIFY(writeFile(path, "INFO: old line\n", QIODevice::Truncate));

    const QString position = dir.filePath(QStringLiteral("position"));
    auto source = std::make_unique<FileLogSource>(path, position);
    QStringList got;
    const auto watch = [&] {
        connect(source.get(), &LogSource::recordsReady, this, [&got](const QVector<DiagnosticMessage> &records) {
            for (const DiagnosticMessage &m : records)
                got << (m.message.startsWith(QLatin1String("plogger4-agent: ")) && m.verbosity == "2" ? "gap" : m.message);
        });
    };
    watch();
    QSignalSpy lostSpy(source.get(), &LogSource::sourceLost);
    QSignalSpy restoredSpy(source.get(), &LogSource::sourceRestored);
    source->start();
    QCOMPARE(lostSpy.count(), existsAtStart ? 0 : 1);

    for (const QString &step : qAsConst(steps)) {
        const QString verb = step.section(QLatin1Char(' '), 0, 0);
        const QByteArray text = step.section(QLatin1Char(' '), 1).toUtf8();
        if (verb == QLatin1String("append"))
            QVERIFY(writeFile(path, text, QIODevice::Append));
        else if (verb == QLatin1String("appendRotated"))
            QVERIFY(writeFile(path + ".1", text, QIODevice::Append));
        else if (verb == QLatin1String("rename"))
            QVERIFY(QFile::rename(path, path + ".1"));
        else if (verb == QLatin1String("truncate") || verb == QLatin1String("create"))
            QVERIFY((!QFileInfo(path).isSymLink() || QFile::remove(path)) && writeFile(path, text, QIODevice::Truncate));
        else if (verb == QLatin1String("link"))
            QVERIFY(writeFile(path + ".key", text, QIODevice::Truncate) && QFile::link(path + ".key", path));
        else if (verb == QLatin1String("lost"))
            QTRY_COMPARE(lostSpy.count(), 1);
        else if (verb == QLatin1String("pause") || verb == QLatin1String("resume"))
            source->setPaused(verb == QLatin1String("pause"));
        else if (verb == QLatin1String("stop"))
            source.reset();
        else if (verb == QLatin1String("start")) {
            source = std::make_unique<FileLogSource>(path, position);
            watch();
            source->start();
        } else if (verb == QLatin1String("removeRotated"))
            QVERIFY(QFile::remove(path + ".1"));
        else if (verb == QLatin1String("wait"))
            QTRY_COMPARE(got.size(), text.toInt());
        else
            QFAIL(qPrintable(step));
    }
    QTRY_COMPARE(got, messages);
    QCOMPARE(lostSpy.count(), lost ? 1 : 0);
    QCOMPARE(restoredSpy.count(), lost ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestFileLogSource)
#include "tst_filelogsource.moc"
