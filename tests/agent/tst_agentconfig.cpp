// What the agent takes from its configuration and accounts files, and which
// log sources it runs side by side.

#include "accountstore.h"
#include "agentconfig.h"
#include "logsource.h"
#include "logsourcefactory.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

class TestAgentConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readFile_data();
    void readFile();
    void accountsFile_data();
    void accountsFile();
    void sourcesSideBySide_data();
    void sourcesSideBySide();
    void describesTheCertificate_data();
    void describesTheCertificate();

private:
    QString writeFile(const QString &name, const QByteArray &text, QFile::Permissions permissions);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestAgentConfig::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestAgentConfig::writeFile(const QString &name, const QByteArray &text, QFile::Permissions permissions)
{
    QFile file(m_dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.setPermissions(permissions))
        return QString();
    return file.fileName();
}

// path: a file of the test's when empty.
void TestAgentConfig::readFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QString>("error");

    QTest::newRow("no source line keeps the default") << QString() << QByteArray("[log]\n")
                                                      << QStringList{"journal:kamailio"} << QString();
    QTest::newRow("source lines, the first replacing the default")
        << QString() << QByteArray("[log]\nsource = file:/a.log\n; comment\nsource = stdin\n")
        << QStringList{"file:/a.log", "stdin"} << QString();
    QTest::newRow("empty source") << QString() << QByteArray("[log]\nsource =\n") << QStringList() << "source needs";
    QTest::newRow("history kept for a day") << QString() << QByteArray("[history]\nkeep_days = 1\nmax_mib = 16\n")
                                            << QStringList{"journal:kamailio"} << QString();
    QTest::newRow("history kept for no day") << QString() << QByteArray("[history]\nkeep_days = 0\n") << QStringList()
                                             << "keep_days needs a whole number of days";
    QTest::newRow("history bound below a database's own size")
        << QString() << QByteArray("[history]\nmax_mib = 1\n") << QStringList() << "max_mib needs";
    QTest::newRow("history neither on nor off") << QString() << QByteArray("[history]\nenabled = perhaps\n")
                                                << QStringList() << "enabled needs yes or no";
    QTest::newRow("a device without end") << "/dev/zero" << QByteArray() << QStringList() << "larger than 1048576 bytes";
    QTest::newRow("no session per account") << QString() << QByteArray("[agent]\nmax_sessions_per_account = 0\n")
                                            << QStringList() << "max_sessions_per_account needs a whole number from 1";
}

void TestAgentConfig::readFile()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, sources);
    QFETCH(QString, error);

    if (path.isEmpty())
        path = writeFile(QStringLiteral("agent.ini"), text, QFile::ReadOwner | QFile::WriteOwner);
    AgentConfig config;
    QString why;
    QCOMPARE(config.readFile(path, &why), error.isEmpty());
    QVERIFY2(why.contains(error), qPrintable(why));
    if (error.isEmpty())
        QCOMPARE(config.sources, sources);
}

void TestAgentConfig::accountsFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("error");

    QTest::newRow("missing: no account yet") << "missing" << QString();
    QTest::newRow("private") << "private" << QString();
    QTest::newRow("readable by others") << "readable" << "readable or writable by every user";
    // Anyone could add an account of their own.
    QTest::newRow("writable by others") << "writable" << "readable or writable by every user";
    QTest::newRow("another user's") << "owned" << "belongs to user 65534";
    // Opened without waiting for a writer, and refused.
    QTest::newRow("a pipe in its place") << "pipe" << "not a regular file";
}

void TestAgentConfig::accountsFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, error);

    const QString path = m_dir->filePath(QStringLiteral("accounts"));
    if (kind == QLatin1String("pipe")) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind != QLatin1String("missing")) {
        AccountStore made;
        made.setPassword(QStringLiteral("admin"), QStringLiteral("s3cret"));
        QString why;
        QVERIFY2(made.save(path, &why), qPrintable(why));
        if (kind == QLatin1String("readable"))
            QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ReadOther));
        if (kind == QLatin1String("writable"))
            QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOther));
        if (kind == QLatin1String("owned") && ::chown(QFile::encodeName(path).constData(), 65534, gid_t(-1)) != 0)
            QSKIP("only root can give a file away");
    }
    AccountStore accounts;
    QString why;
    QCOMPARE(accounts.load(path, &why), error.isEmpty());
    QVERIFY2(why.contains(error), qPrintable(why));
    QCOMPARE(accounts.count(), kind == QLatin1String("private") ? 1 : 0);
}

// "@/" in a switch stands for the test's folder, where "log" is a file,
// "link" a symbolic link to it and "folder" one to the folder itself; "@@"
// for that folder's name.
void TestAgentConfig::sourcesSideBySide_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QString>("error");

    QTest::newRow("a journal, two files and stdin")
        << QStringList{"journal:kamailio", "file:@/log", "file:@/other", "stdin"} << QString();
    QTest::newRow("stdin twice") << QStringList{"stdin", "stdin"} << "would both read standard input";
    QTest::newRow("two journal sources") << QStringList{"journal:kamailio", "journal:rtpengine"}
                                         << "one source names several units";
    QTest::newRow("one file through a folder's link") << QStringList{"file:@/log", "file:@/folder/log"}
                                                      << "would both read the file";
    QTest::newRow("a link to the file") << QStringList{"file:@/link"} << "is a symbolic link";
    QTest::newRow("a folder") << QStringList{"file:@/"} << "names no file";
    QTest::newRow("one file not there yet, spelt twice") << QStringList{"file:@/later", "file:@/../@@/later"}
                                                         << "would both read the file";
    QTest::newRow("a bad one among good ones") << QStringList{"file:@/log", "tail:x"} << "unknown log source";
}

void TestAgentConfig::sourcesSideBySide()
{
    QFETCH(QStringList, switches);
    QFETCH(QString, error);

    const QString dir = m_dir->path();
    QVERIFY(!writeFile(QStringLiteral("log"), "", QFile::ReadOwner | QFile::WriteOwner).isEmpty());
    QVERIFY(QFile::link(m_dir->filePath(QStringLiteral("log")), m_dir->filePath(QStringLiteral("link"))));
    QVERIFY(QFile::link(dir, m_dir->filePath(QStringLiteral("folder"))));
    for (QString &text : switches)
        text.replace(QStringLiteral("@@"), QFileInfo(dir).fileName()).replace(QStringLiteral("@/"), dir + QLatin1Char('/'));
    QString why;
    QObject owner;
    const QVector<LogSource *> sources = LogSourceFactory::createAll(switches, dir, &why, &owner);
    QVERIFY2(why.contains(error), qPrintable(why));
    QCOMPARE(sources.size(), error.isEmpty() ? switches.size() : 0);
    // Nothing half-made is left behind.
    QCOMPARE(owner.children().size(), sources.size());
}


void TestAgentConfig::describesTheCertificate_data()
{
    QTest::addColumn<bool>("own");  // a certificate file named in the configuration
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("line");
    QTest::newRow("made, in the state folder") << false << true << "certificate.pem (exists)";
    QTest::newRow("not yet made") << false << false << "certificate.pem (not yet: made on the first start)";
    QTest::newRow("named and missing") << true << false << "own.pem (missing)";
}

void TestAgentConfig::describesTheCertificate()
{
    QFETCH(bool, own);
    QFETCH(bool, exists);
    QFETCH(QString, line);
    AgentConfig config;
    config.stateDir = m_dir->path();
    if (own)
        config.certificateFile = m_dir->filePath(QStringLiteral("own.pem"));
    if (exists)
        QVERIFY(!writeFile(own ? QStringLiteral("own.pem") : QStringLiteral("certificate.pem"), "x", QFile::ReadOwner).isEmpty());
    const QStringList lines = config.describe().split(QLatin1Char('\n')).filter(QStringLiteral("certificate: "));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.constFirst().endsWith(line), qPrintable(lines.constFirst()));
}

QTEST_GUILESS_MAIN(TestAgentConfig)
#include "tst_agentconfig.moc"
