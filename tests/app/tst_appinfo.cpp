#include "appinfo.h"
#include "startupdefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QtTest>

#include <unistd.h>

class tst_AppInfo : public QObject
{
    Q_OBJECT

private slots:
    void identity();
    void dataDirEndsInSlash();
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

void tst_AppInfo::derivedValues()
{
    const QString app = AppInfo::applicationName();
    QCOMPARE(StartupDefaults::singletonKey(app), QStringLiteral("PLOGGER4_KEY"));
    QCOMPARE(StartupDefaults::downloadDir(app),
             QDir::tempPath() + QStringLiteral("/PLOGGER4Updates-%1").arg(::geteuid()));

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
