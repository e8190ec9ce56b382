#include "wdgploggergui.h"

#include "appinfo.h"
#include "loggerverbosity.h"
#include "logmessagefilterproxymodel.h"
#include "logmessagemodel.h"
#include "mycloseapplication.h"
#include "servercommands.h"

#include <QCloseEvent>
#include <QDebug>
#include <QHeaderView>
#include <QRegExpValidator>

static void initImageResources()
{
    // The images live in this static library: make sure they are registered.
    Q_INIT_RESOURCE(images);
}

wdgPLoggerGui::wdgPLoggerGui(QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
{
    initImageResources();
    ui.setupUi(this);

    setWindowTitle(tr("%1 v.%2").arg(AppInfo::displayName(), AppInfo::version()));

    ui.lblStatusText->setText(tr("Stato: Disconnesso"));
    ui.lblLedStatus->setPixmap(QPixmap(QStringLiteral(":/images/AccountIsNotRegisteredIcon.png")));

    ui.cbTenant->hide();
    ui.lblTenant->setVisible(ui.cbTenant->isVisible());

    ui.btnSave->setEnabled(false);

    ui.cbCmd->clear();
    ui.cbCmd->addItems(ServerCommands::pbxCommands());
    ui.cbCmd->addItems(ServerCommands::networkCommands());
    ui.cbCmd->setCurrentIndex(-1);
    ui.leCmdParams->hide();
    ui.btSendCmd->setEnabled(false);
    ui.wdgCmd->hide();

    ui.cbVerbosity->clear();
    for (int level : {0, 1, 2, 3, 4, -1})
        ui.cbVerbosity->addItem(LOGGER::verbosityIntToString(level), level);
    ui.cbVerbosity->setCurrentIndex(ui.cbVerbosity->findData(4));

    logModel = new LogMessageModel(this);
    filterModel = new LogMessageFilterProxyModel(LogMessageModel::VerbosityColumn, nullptr);
    filterModel->setSourceModel(logModel);
    filterModel->setFilterRole(LogMessageModel::LevelRole);
    ui.tbLogView->setModel(filterModel);

    // The dots are wildcards on purpose: the address is checked properly on connect.
    ui.txtPAddress->setValidator(
        new QRegExpValidator(QRegExp(QStringLiteral("[0-9]{1,3}(.[0-9]{0,3}){3}(:[0-9]+)?"), Qt::CaseSensitive), this));

    bool ok = true;
    ok &= bool(connect(ui.btnSave, SIGNAL(clicked()), this, SLOT(saveLogToFile())));
    ok &= bool(connect(ui.btClear, SIGNAL(clicked()), this, SLOT(onTableClear())));
    ok &= bool(connect(ui.btSendCmd, SIGNAL(clicked()), this, SLOT(sendCommandToP())));
    ok &= bool(connect(ui.cbVerbosity, SIGNAL(currentIndexChanged(int)), this, SLOT(filterLogMessages())));
    ok &= bool(connect(ui.cbTenant, SIGNAL(currentIndexChanged(int)), this, SLOT(onSelectedTenantChanged())));
    ok &= bool(connect(ui.cbCmd, SIGNAL(currentIndexChanged(int)), this, SLOT(onSelectedCommandChanged())));
    ok &= bool(connect(ui.txtPAddress, SIGNAL(returnPressed()), ui.txtUser, SLOT(setFocus())));
    ok &= bool(connect(ui.txtUser, SIGNAL(returnPressed()), ui.txtPwd, SLOT(setFocus())));
    ok &= bool(connect(ui.txtPwd, SIGNAL(returnPressed()), this, SLOT(triggerPConnection())));
    ok &= bool(connect(ui.btnConnect, SIGNAL(clicked()), this, SLOT(triggerPConnection())));
    ok &= bool(connect(ui.tbLogView, SIGNAL(customContextMenuRequested(const QPoint &)), this,
                       SLOT(onLogViewContextMenu(QPoint))));
    if (!ok)
        qCritical() << Q_FUNC_INFO << "signal-slot connection failed!";

    initLogModel();
}

wdgPLoggerGui::~wdgPLoggerGui()
{
    qDebug() << "wdgPLoggerGui: object was destroyed";
    QCoreApplication::quit();
    ui.tbLogView->setModel(nullptr);
    delete filterModel;
}

void wdgPLoggerGui::start()
{
    show();
}

void wdgPLoggerGui::initLogModel()
{
    logModel->clear();
    static const char *const headers[LogMessageModel::ColumnCount] = {
        QT_TR_NOOP("TenantUUID"), QT_TR_NOOP("LinkedID"), QT_TR_NOOP("UniqueID"), QT_TR_NOOP("ID"),
        QT_TR_NOOP("V"), QT_TR_NOOP("Timestamp"), QT_TR_NOOP("Messaggio")};
    static const char *const toolTips[LogMessageModel::ColumnCount] = {
        QT_TR_NOOP("TenantUUID"), QT_TR_NOOP("LinkedID"), QT_TR_NOOP("UniqueID"), QT_TR_NOOP("ID"),
        QT_TR_NOOP("Verbosity"), QT_TR_NOOP("Timestamp"), QT_TR_NOOP("Messaggio")};
    for (int c = 0; c < LogMessageModel::ColumnCount; ++c)
        logModel->setHeaderData(c, Qt::Horizontal, tr(headers[c]), Qt::DisplayRole);
    for (int c = 0; c < LogMessageModel::ColumnCount; ++c)
        logModel->setHeaderData(c, Qt::Horizontal, tr(toolTips[c]), Qt::ToolTipRole);

    QHeaderView *header = ui.tbLogView->horizontalHeader();
    for (int c = 0; c < LogMessageModel::MessageColumn; ++c)
        header->setSectionResizeMode(c, QHeaderView::Fixed);
    header->setSectionResizeMode(LogMessageModel::MessageColumn, QHeaderView::Stretch);
    const int widths[] = {130, 130, 130, 130, 100, 200};
    for (int c = 0; c < LogMessageModel::MessageColumn; ++c)
        header->resizeSection(c, widths[c]);
    ui.tbLogView->setColumnHidden(LogMessageModel::TenantUuidColumn, true);
    ui.tbLogView->setColumnHidden(LogMessageModel::LinkedIdColumn, true);
    ui.tbLogView->setColumnHidden(LogMessageModel::MessageIdColumn, true);
}

// Slots that come with the connection, the log table and the context menu.
void wdgPLoggerGui::disconnectFromP() {}
void wdgPLoggerGui::connectToP() {}
void wdgPLoggerGui::quitApplication() {}
void wdgPLoggerGui::onCommandMessageReceived(ServerCommandResponse) {}
void wdgPLoggerGui::onPLoggerMessageReceived(DiagnosticMessage) {}
void wdgPLoggerGui::onFeaturesReceived(QStringList) {}
void wdgPLoggerGui::onTenantListReceived(QMap<QString, QString>) {}
void wdgPLoggerGui::onSelectedTenantChanged() {}
void wdgPLoggerGui::connectedToPlogger(LoginDetails) {}
void wdgPLoggerGui::disconnectedFromP(QString) {}
void wdgPLoggerGui::triggerPConnection() {}
void wdgPLoggerGui::filterLogMessages() {}
void wdgPLoggerGui::onSelectedCommandChanged() {}
void wdgPLoggerGui::onTableClear() {}
void wdgPLoggerGui::saveLogToFile() {}
void wdgPLoggerGui::sendCommandToP() {}
void wdgPLoggerGui::onLogViewContextMenu(QPoint) {}
void wdgPLoggerGui::selectColumnValues() {}
void wdgPLoggerGui::selectConversation() {}
void wdgPLoggerGui::deselectValues() {}
void wdgPLoggerGui::closeEvent(QCloseEvent *event) { event->accept(); }
