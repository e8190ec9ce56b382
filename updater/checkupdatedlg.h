#pragma once

#include "baseupdater.h"
#include "downloadablefileinfo.h"

#include <QString>
#include <QUrl>

class Logger;
class QProgressDialog;

// The update check as the user meets it at start: a modal progress dialog in
// front of one run of the update engine. Ends either with launchApp() (every
// failure and a cancel included) or by quitting the application once the
// second stage has been started.
class CheckUpdateDlg : public BaseUpdater
{
    Q_OBJECT
public:
    CheckUpdateDlg(const QString &updatesKey, const QString &displayName, const QString &localVersion,
                   const QUrl &serverUrl, const QString &downloadDir, const QString &applicationName,
                   const QString &dataDir, QObject *parent = nullptr);
    ~CheckUpdateDlg() override;

    // Copies the program's shared libraries next to the second stage, which
    // runs from the download directory.
    bool copyLibrariesToDownloadDir();

    // Name patterns of this platform's shared libraries.
    static QStringList libraryFilters();

signals:
    void launchApp();

protected slots:
    // True when the running application is up to date.
    bool checkAppVersion(const DownloadableFileInfo &info);
    void onCanceled();
    void onDownloadProgress(qint64 recvd, qint64 total);
    void onDownloadFinished();
    void onDownloadFailed();
    void onNewVersion();
    void onUpdaterVersionCheckFailed() override;
    void onUpdaterVersionIsUpToDate();
    void onS2Launched();
    void onS2Failed();

protected:
    // Also into the dialog's log, where the user looks when updates stop.
    void reportDownloadDirProblem(const QString &text) const override;

    QProgressDialog *progressDialog = nullptr;
    Logger *updaterLogger = nullptr;
    QString localVersion;

private:
    void hideAndLaunch();
};
