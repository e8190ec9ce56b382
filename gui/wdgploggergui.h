#pragma once

#include "diagnosticmessage.h"
#include "logindetails.h"
#include "servercommandresponse.h"
#include "ui_wdgploggergui.h"

#include <QMap>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class LogMessageFilterProxyModel;
class QMessageBox;
class LogMessageModel;
class LogViewSelectItemDelegate;
class PbxLink;
class PDiscoveryWidget;

// The main window: connection bar, verbosity and tenant choosers, the live
// log table and the command bar.
class wdgPLoggerGui : public QWidget
{
    Q_OBJECT

public:
    explicit wdgPLoggerGui(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~wdgPLoggerGui() override;

public slots:
    void start();
    void disconnectFromP();
    void connectToP();
    void quitApplication();

private slots:
    void onCommandMessageReceived(ServerCommandResponse response);
    void onPLoggerMessageReceived(DiagnosticMessage msg);
    void onFeaturesReceived(QStringList features);
    void onTenantListReceived(QMap<QString, QString> tenantMap);
    void onSelectedTenantChanged();
    void connectedToPlogger(LoginDetails details);
    void disconnectedFromP(QString reason = QString(""));
    void triggerPConnection();
    void filterLogMessages();
    void onSelectedCommandChanged();
    void onTableClear();
    void saveLogToFile();
    void sendCommandToP();
    void onLogViewContextMenu(QPoint point);
    void selectColumnValues();
    void selectConversation();
    void deselectValues();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void initLogModel();
    // Asks whether to trust an exchange met for the first time.
    void onUnknownExchange(const QString &address, const QString &fingerprint);
    void onExchangeIdentityChanged(const QString &address, const QString &knownFingerprint,
                                   const QString &presentedFingerprint);
    void onRowsFlushed();
    // Gives the rows on view the height their text needs.
    void sizeVisibleRows();
    // The table cell a context-menu action was built for.
    QModelIndex clickedIndex() const;

    Ui_wdgPLoggerGui ui;
    PbxLink *pbxLink = nullptr;
    PDiscoveryWidget *discoveryWidget = nullptr;
    bool connected = false;
    bool logStarted = false;
    LogMessageModel *logModel = nullptr;
    LogMessageFilterProxyModel *filterModel = nullptr;
    LogViewSelectItemDelegate *selectionDelegate = nullptr;
    bool sizingRows = false;
    // Open while the user is asked whether to trust an exchange.
    QPointer<QMessageBox> trustQuestion;
};
