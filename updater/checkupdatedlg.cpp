#include "checkupdatedlg.h"

#include "harborlogger.h"
#include "hrbl.h"
#include "logger.h"
#include "utils.h"
#include "writerconfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QProgressDialog>
#include <QRegExp>
#include <QTimer>

namespace {
constexpr int CheckDelayMs = 500;
constexpr int MinimumDurationMs = 500;
constexpr int MinimumWidth = 400;
}

CheckUpdateDlg::CheckUpdateDlg(const QString &updatesKey, const QString &displayName, const QString &localVersion,
                               const QUrl &serverUrl, const QString &downloadDir, const QString &applicationName,
                               const QString &dataDir, QObject *parent)
    : BaseUpdater(updatesKey, parent)
    , localVersion(localVersion)
{
    updaterLogger = HarborLogger::instance(applicationName, 1)
                        ->createFileLogger(QStringLiteral("UPDATER"),
                                           QDir(dataDir).filePath(QStringLiteral("updater.log")), WriterConfig());

    progressDialog = new QProgressDialog(displayName, tr("Annulla"), 0, 0, nullptr, Qt::WindowFlags());
    progressDialog->setMinimumDuration(MinimumDurationMs);
    progressDialog->setLabelText(tr("Recupero lista aggiornamenti..."));
    progressDialog->setMinimumWidth(MinimumWidth);
    progressDialog->setAutoClose(false);
    progressDialog->setModal(true);

    setServerUrl(serverUrl);
    // The second stage restarts us without another update check.
    stage2Arguments = QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("-s")};
    setDownloadDir(downloadDir);

    connect(this, &BaseUpdater::newVersionFound, this, &CheckUpdateDlg::onNewVersion);
    connect(this, &BaseUpdater::versionCheckFailed, this, &CheckUpdateDlg::onUpdaterVersionCheckFailed);
    connect(this, &BaseUpdater::noNewVersionFound, this, &CheckUpdateDlg::onUpdaterVersionIsUpToDate);
    connect(this, &BaseUpdater::externalProcessFailed, this, &CheckUpdateDlg::onS2Failed);
    connect(this, &BaseUpdater::externalProcessLaunched, this, &CheckUpdateDlg::onS2Launched);
    connect(progressDialog, &QProgressDialog::canceled, this, &CheckUpdateDlg::onCanceled);
    connect(this, &BaseUpdater::bytesReceived, this, &CheckUpdateDlg::onDownloadProgress);
    connect(this, &BaseUpdater::newVersionDownloaded, this, &CheckUpdateDlg::onDownloadFinished);
    connect(this, &BaseUpdater::downloadFailed, this, &CheckUpdateDlg::onDownloadFailed);

    QTimer::singleShot(CheckDelayMs, this, SLOT(checkForNewVersion()));

    progressDialog->show();
}

CheckUpdateDlg::~CheckUpdateDlg()
{
    progressDialog->deleteLater();
}

QStringList CheckUpdateDlg::libraryFilters()
{
#if defined(Q_OS_WIN)
    return {QStringLiteral("*.dll")};
#elif defined(Q_OS_MACOS)
    return {QStringLiteral("*.dylib")};
#else
    return {QStringLiteral("*.so"), QStringLiteral("*.so.*")};
#endif
}

bool CheckUpdateDlg::checkAppVersion(const DownloadableFileInfo &info)
{
    const QString &local = localVersion;
    const QString &remote = info.appVersion;
    qDebug().noquote() << "local app version: " << local;
    qDebug().noquote() << "remote app version" << remote;
    *updaterLogger << HRBL::PriorityInfo << "local app version: " << local << HRBL::EndEntry;
    *updaterLogger << HRBL::PriorityInfo << "remote app version" << remote << HRBL::EndEntry;

    if (remote == local)
        return true;

    static const QRegExp separators(QStringLiteral("[\\.\\-,]"));
    static const QRegExp nonDigits(QStringLiteral("\\D"));
    const QStringList l = local.split(separators);
    QStringList r = remote.split(separators);

    // Only the remote side is cleaned of non-digits, and a remote component
    // that holds no digit is dropped without the next one taking its turn:
    // versions that count as newer follow from exactly this walk.
    for (int i = 0; i < l.size(); ++i) {
        if (i >= r.size())
            return true;
        const QString digits = QString(r.at(i)).remove(nonDigits);
        if (digits.isEmpty()) {
            r.removeAt(i);
            continue;
        }
        const int localNumber = l.at(i).toInt();
        const int remoteNumber = digits.toInt();
        if (localNumber > remoteNumber) {
            const char *text = "Local app version is newer(?) than remote one, no update was found.";
            qDebug() << text;
            *updaterLogger << HRBL::PriorityWarning << text << HRBL::EndEntry;
            return true;
        }
        if (localNumber < remoteNumber) {
            const char *text = "Local app version is older than remote one, an update is available.";
            qDebug() << text;
            *updaterLogger << HRBL::PriorityInfo << text << HRBL::EndEntry;
            return false;
        }
    }
    return true;
}

bool CheckUpdateDlg::copyLibrariesToDownloadDir()
{
    const bool ok = Utils::copyDirectory(QCoreApplication::applicationDirPath(), downloadDir, libraryFilters());
    if (!ok)
        *updaterLogger << HRBL::PriorityCritical << "Unable to copy some library to temp dir" << HRBL::EndEntry;
    return ok;
}

void CheckUpdateDlg::reportDownloadDirProblem(const QString &text) const
{
    BaseUpdater::reportDownloadDirProblem(text);
    *updaterLogger << HRBL::PriorityCritical << text << HRBL::EndEntry;
}

void CheckUpdateDlg::hideAndLaunch()
{
    progressDialog->hide();
    emit launchApp();
}

void CheckUpdateDlg::onCanceled()
{
    disconnect(this, &BaseUpdater::newVersionFound, this, &CheckUpdateDlg::onNewVersion);
    disconnect(this, &BaseUpdater::versionCheckFailed, this, &CheckUpdateDlg::onUpdaterVersionCheckFailed);
    disconnect(this, &BaseUpdater::noNewVersionFound, this, &CheckUpdateDlg::onUpdaterVersionIsUpToDate);
    disconnect(this, &BaseUpdater::externalProcessFailed, this, &CheckUpdateDlg::onS2Failed);
    disconnect(this, &BaseUpdater::externalProcessLaunched, this, &CheckUpdateDlg::onS2Launched);
    // The application starts now: a download that still completes must not
    // hand over to the second stage behind its back.
    launchAfterDownload = false;

    const char *text = "Check for updates was canceled... Let's start the app.";
    qDebug().noquote() << Q_FUNC_INFO << text;
    *updaterLogger << HRBL::PriorityInfo << text << HRBL::EndEntry;
    hideAndLaunch();
}

void CheckUpdateDlg::onDownloadProgress(qint64 recvd, qint64 total)
{
    // The dialog counts in int: the display covers packages up to 2 GiB.
    progressDialog->setRange(0, int(total));
    progressDialog->setValue(int(recvd));
}

void CheckUpdateDlg::onDownloadFinished()
{
    progressDialog->setLabelText(tr("Aggiornamento componenti in corso..."));
    progressDialog->setRange(0, 0);
    progressDialog->reset();
}

void CheckUpdateDlg::onDownloadFailed()
{
    const char *text = "An error occurred while downloading the file... Starting the app anyway...";
    qDebug().noquote() << Q_FUNC_INFO << text;
    *updaterLogger << HRBL::PriorityCritical << text << HRBL::EndEntry;
    hideAndLaunch();
}

void CheckUpdateDlg::onNewVersion()
{
    const char *text = "New updater version available!";
    qDebug().noquote() << Q_FUNC_INFO << text;
    *updaterLogger << HRBL::PriorityInfo << Q_FUNC_INFO << text << HRBL::EndEntry;

    if (checkAppVersion(lastFileInfo)) {
        const char *upToDate = "New updater version available, but application version is up-to-date... Starting app.";
        qDebug().noquote() << Q_FUNC_INFO << upToDate;
        *updaterLogger << HRBL::PriorityInfo << upToDate << HRBL::EndEntry;
        hideAndLaunch();
        return;
    }
    progressDialog->setLabelText(tr("Scaricamento componenti aggiuntivi..."));
    downloadNewVersion();
    if (!copyLibrariesToDownloadDir()) {
        const char *failed = "Unable to copy libraries to download directory: updater execution may fail!";
        qDebug().noquote() << Q_FUNC_INFO << failed;
        *updaterLogger << HRBL::PriorityCritical << failed << HRBL::EndEntry;
    }
}

void CheckUpdateDlg::onUpdaterVersionCheckFailed()
{
    const char *text = "Version check failed. Starting the app anyway...";
    qDebug().noquote() << Q_FUNC_INFO << text;
    *updaterLogger << HRBL::PriorityInfo << text << HRBL::EndEntry;
    hideAndLaunch();
}

void CheckUpdateDlg::onUpdaterVersionIsUpToDate()
{
    const char *text = "Updater version is already up-to-date. Checking for app version...";
    qDebug().noquote() << Q_FUNC_INFO << text;
    *updaterLogger << HRBL::PriorityInfo << text << HRBL::EndEntry;

    if (checkAppVersion(lastFileInfo))
        hideAndLaunch();
    else
        launchStage2Updater();
}

void CheckUpdateDlg::onS2Launched()
{
    qDebug().noquote() << Q_FUNC_INFO << "Success! -> Quitting...";
    *updaterLogger << HRBL::PriorityInfo << "Success launching stage2! -> Quitting..." << HRBL::EndEntry;
    updaterLogger->flush();
    progressDialog->hide();
    QCoreApplication::quit();
}

void CheckUpdateDlg::onS2Failed()
{
    qDebug().noquote() << Q_FUNC_INFO << "An error occurred... Starting the app anyway...";
    *updaterLogger << HRBL::PriorityCritical << "An error occurred during Stage2: Starting the app anyway..."
                   << HRBL::EndEntry;
    hideAndLaunch();
}
