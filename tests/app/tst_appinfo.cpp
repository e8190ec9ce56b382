#include "appinfo.h"
#include "startupdefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_AppInfo : public QObject
{
    Q_OBJECT

private slots:
    void identity();
    void dataDirEndsInSlash();
    void runtimeDir_data();
    void runtimeDir();
    void derivedValues();
};

void tst_AppInfo::identity()
{
    QCOMPARE(AppInfo::shortName(), QStringLiteral("PLOGGER"));
    QCOMPARE(AppInfo::applicationName(), QStringLiteral("PLOGGER4"));
    QCOMPARE(AppInfo::displayName(), QStringLiteral("Peltrano Logger 4"));
    QCOMPARE(AppInfo::version(), QStringLiteral("4.2.0-r5838"));
}

void tst_AppInfo::dataDirEndsInSlash()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(AppInfo::applicationName());
    const QString dir = AppInfo::dataDir();
    QVERIFY(!dir.isEmpty());
    QVERIFY(dir.endsWith(QLatin1Char('/')));
    QVERIFY(!dir.endsWith(QLatin1String("//")));
    QVERIFY(dir.contains(QLatin1String("PLOGGER4")));
}

void tst_AppInfo::runtimeDir_data()
{
    QTest::addColumn<QString>("runtime"); // what XDG_RUNTIME_DIR names
    QTest::addColumn<bool>("used");

    QTest::newRow("private folder") << "private" << true;
    QTest::newRow("unset") << "" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("writable by others") << "shared" << false;
    QTest::newRow("a link to a private folder") << "link" << false;
    QTest::newRow("its folder for the program is a link") << "planted" << false;
}

void tst_AppInfo::runtimeDir()
{
    QFETCH(QString, runtime);
    QFETCH(bool, used);

    QStandardPaths::setTestModeEnabled(false);
    QCoreApplication::setApplicationName(AppInfo::applicationName());
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    const QString run = home.filePath(QStringLiteral("run"));
    const QString elsewhere = home.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkdir(elsewhere));
    if (runtime == QLatin1String("link")) {
        QVERIFY(QFile::link(elsewhere, run));
    } else if (runtime != QLatin1String("missing")) {
        QVERIFY(QDir().mkdir(run));
        QVERIFY(::chmod(QFile::encodeName(run).constData(), runtime == QLatin1String("shared") ? 01777 : 0700) == 0);
    }
    if (runtime == QLatin1String("planted"))
        QVERIFY(QFile::link(elsewhere, run + QStringLiteral("/PLOGGER4")));
    if (runtime.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(run));

    const QString dir = AppInfo::runtimeDir();
    QCOMPARE(dir, used ? run + QStringLiteral("/PLOGGER4") : AppInfo::dataDir() + QStringLiteral("run"));
    struct stat st;
    QVERIFY(::lstat(QFile::encodeName(dir).constData(), &st) == 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
    QCOMPARE(QFileInfo::exists(run), runtime != QLatin1String("missing"));
}

void tst_AppInfo::derivedValues()
{
    const QString app = AppInfo::applicationName();
    QCOMPARE(StartupDefaults::singletonKey(app), QStringLiteral("PLOGGER4_KEY"));
    // In the private folder, where nobody else can take its name first.
    QTemporaryDir run;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(run.path()));
    QCOMPARE(StartupDefaults::downloadDir(app), run.filePath(QStringLiteral("PLOGGER4/updates")));

    const QString key = StartupDefaults::updatesKey(app);
    QCOMPARE(key.size(), 8);
    for (const QChar c : key)
        QVERIFY2(c >= QLatin1Char('A') && c <= QLatin1Char('Z'), qPrintable(key));
    QCOMPARE(StartupDefaults::updatesKey(app), key);  // stable between runs
    QVERIFY(StartupDefaults::updatesKey(QStringLiteral("OTHER")) != key);

    // A packaged build leaves the check off, but -r still asks for one.
    QCOMPARE(StartupDefaults::autoUpdatesDefault(true, false), QStringLiteral("1"));
    QCOMPARE(StartupDefaults::autoUpdatesDefault(false, false), QStringLiteral("0"));
    QCOMPARE(StartupDefaults::autoUpdatesDefault(false, true), QStringLiteral("1"));

    const QUrl url(StartupDefaults::updateServerUrl());
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QCOMPARE(url.port(443), 443);
    QCOMPARE(url.path(), QStringLiteral("/updates"));
}

QTEST_APPLESS_MAIN(tst_AppInfo)
#include "tst_appinfo.moc"
