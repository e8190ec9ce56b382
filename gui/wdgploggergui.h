#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "logindetails.h"
#include "servercommandresponse.h"
#include "ui_wdgploggergui.h"

#include <QMap>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStringList>
#include <QVector>
#include <QWidget>

class CallFlowWindow;
class CallWindow;
class HistoryWindow;
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
    // Puts back what the last run left in the window: address, user,
    // geometry, verbosity and the tenant chosen.
    void restoreRemembered();
    void subscribeToShownTenant();
    // Asks whether to trust an exchange met for the first time.
    void onUnknownExchange(const QString &address, const QString &fingerprint);
    void onExchangeIdentityChanged(const QString &address, const QString &knownFingerprint,
                                   const QString &presentedFingerprint);
    void onRowsFlushed();
    // Gives the rows on view the height their text needs.
    void sizeVisibleRows();
    // Opens the ladder of the clicked row's call; not a slot, the window's
    // slots are a fixed set.
    void showCallFlow();
    // Brings the table's row of a line clicked in a flow window into view.
    void showFlowLine(const DiagnosticMessage &row);
    // The table cell a context-menu action was built for.
    QModelIndex clickedIndex() const;
    // The link reports its attempts in order, each ending once: while an
    // older attempt's end is still due, what arrives is not about the newest.
    bool olderAttemptOpen() const;

    // Reading a busy log: the row limit, following the newest row only while
    // the view is at the bottom, and the find bar.
    void setUpLogReading();
    bool followingTail() const;
    void onViewScrolled();
    void rememberTopRow();
    // Puts the remembered top row back at the top after rows went or the
    // filter changed.
    void keepAnchorInView();
    int firstShownRowFrom(int sourceRow) const;
    // Says how many rows the limit dropped and puts the view back where it
    // was before they went.
    void onRowsDropped(qint64 total);

    // The history of an exchange that keeps one: the search window, the call
    // windows waiting for their rows.
    void searchHistory(const QString &text);
    void openHistoryCall(const QString &callId);
    void onHistoryCalls(const QString &id, const QVector<HistoryCall> &calls, bool truncated);
    void onHistoryRows(const QString &id, const QVector<DiagnosticMessage> &rows, bool truncated);
    void onHistoryError(const QString &id, const QString &reason);

    Ui_wdgPLoggerGui ui;
    PbxLink *pbxLink = nullptr;
    int attemptsMade = 0;   // login attempts handed to pbxLink
    int attemptsEnded = 0;  // of those, the ones whose end has arrived
    QString loginAddress;   // the address and user of the latest attempt
    QString loginUser;
    QString chosenTenant;   // chosen again when a later tenant list offers it
    bool fillingTenants = false;
    PDiscoveryWidget *discoveryWidget = nullptr;
    bool connected = false;
    bool logStarted = false;
    LogMessageModel *logModel = nullptr;
    // Messages turned into rows since the last flush, on their way back to
    // the link's thread to be freed.
    QVector<DiagnosticMessage> doneMessages;
    LogMessageFilterProxyModel *filterModel = nullptr;
    LogViewSelectItemDelegate *selectionDelegate = nullptr;
    bool sizingRows = false;
    bool sizingQueued = false;
    int heightsWidth = -1;  // of the message column the kept row heights fit
    bool atBottom = true;
    bool menuOpen = false;
    bool adjustingView = false;
    QPersistentModelIndex topAnchor;  // a row of logModel
    int topAnchorOffset = 0;          // pixels of it scrolled out above
    // Open while the user is asked whether to trust an exchange.
    QPointer<QMessageBox> trustQuestion;
    // "Si" was given in the current attempt and the exchange has not yet
    // proven that it holds the account.
    bool trustUnconfirmed = false;
    // Open flow windows; each gets the new rows of its call.
    QVector<QPointer<CallFlowWindow>> flowWindows;

    bool historyOffered = false;
    QPointer<HistoryWindow> historyWindow;
    QString historyCallsRequest;
    QMap<QString, QPointer<CallWindow>> callWindows;  // by the id of their request
    // Where a subscription cut by a dropped link goes on: the same exchange
    // and tenant, after the last row received.
    QString subscribedTenant;
    QString lastRowId;
    QString resumeExchange;
    QString resumeTenant;
    QString resumeRowId;
};
