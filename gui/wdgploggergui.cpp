#include "wdgploggergui.h"

#include "appinfo.h"
#include "callflowwindow.h"
#include "callwindow.h"
#include "historywindow.h"
#include "logfindbar.h"
#include "loggerverbosity.h"
#include "logmessagefilterproxymodel.h"
#include "logfilewriter.h"
#include "logmessagemodel.h"
#include "logrowmaker.h"
#include "logtable.h"
#include "logviewselectitemdelegate.h"
#include "mycloseapplication.h"
#include "pdiscoverywidget.h"
#include "servercommands.h"

#include "knownexchanges.h"
#include "pbxendpoint.h"
#include "pbxlink.h"
#include "pbxlinkglobal.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QHeaderView>
#include <QHostAddress>
#include <QMessageBox>
#include <QPushButton>
#include <QRegExpValidator>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QUuid>

#include <algorithm>
#include <utility>

namespace {
constexpr int kMinimumWidth = 800;

// What the window remembers between runs lives in a file of its own: the
// administrator's plogger.ini is left to the administrator. Never the password.
const char kRememberedAddress[] = "Connection/address";
const char kRememberedUser[] = "Connection/user";
const char kRememberedGeometry[] = "Window/geometry";
const char kRememberedVerbosity[] = "Log/verbosity";
const char kRememberedTenant[] = "Log/tenant";
constexpr int kMaxRememberedText = 256;

QString stateFileName()
{
    const QString dir = AppInfo::dataDir();
    return dir.isEmpty() ? QString() : dir + QStringLiteral("state.ini");
}

void remember(const QVector<QPair<const char *, QVariant>> &values)
{
    const QString fileName = stateFileName();
    if (fileName.isEmpty())
        return;
    QSettings state(fileName, QSettings::IniFormat);
    for (const auto &value : values)
        state.setValue(QLatin1String(value.first), value.second);
    state.sync();
    if (state.status() != QSettings::NoError)
        qWarning() << Q_FUNC_INFO << "could not write" << fileName;
}
}

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
    // The window is never narrower than 800 px. The floor sits inside the
    // layout, so that what the bars need at the font in use can raise it:
    // the layout's minimum becomes the window's.
    const QMargins margins = contentsMargins() + ui.gridLayout->contentsMargins();
    ui.tbLogView->setMinimumWidth(kMinimumWidth - margins.left() - margins.right());

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
    // The placeholder says what the field takes: whole, in any font.
    ui.leCmdParams->setMinimumWidth(
        qMax(ui.leCmdParams->minimumWidth(),
             ui.leCmdParams->fontMetrics().horizontalAdvance(ui.leCmdParams->placeholderText()) + 24));
    ui.btSendCmd->setEnabled(false);
    ui.wdgCmd->hide();

    ui.cbVerbosity->clear();
    for (int level : {0, 1, 2, 3, 4, -1})
        ui.cbVerbosity->addItem(LOGGER::verbosityIntToString(level), level);
    ui.cbVerbosity->setCurrentIndex(ui.cbVerbosity->findData(4));

    discoveryWidget = new PDiscoveryWidget(this);
    discoveryWidget->setWindowFlags(Qt::FramelessWindowHint);
    discoveryWidget->hide();

    logModel = new LogMessageModel(this);
    filterModel = new LogMessageFilterProxyModel(LogMessageModel::VerbosityColumn, nullptr);
    filterModel->setSourceModel(logModel);
    filterModel->setFilterRole(LogMessageModel::LevelRole);
    ui.tbLogView->setModel(filterModel);
    // Where the form's console font is not installed, fall back to another
    // fixed-pitch font rather than to the default proportional one.
    QFont tableFont = ui.tbLogView->font();
    tableFont.setStyleHint(QFont::TypeWriter);
    ui.tbLogView->setFont(tableFont);

    selectionDelegate = new LogViewSelectItemDelegate(ui.tbLogView);
    ui.tbLogView->setItemDelegate(selectionDelegate);
    ui.tbLogView->setContextMenuPolicy(Qt::CustomContextMenu);

    // The dots are wildcards on purpose: the address is checked properly on connect.
    ui.txtPAddress->setValidator(
        new QRegExpValidator(QRegExp(QStringLiteral("[0-9]{1,3}(.[0-9]{0,3}){3}(:[0-9]+)?"), Qt::CaseSensitive), this));

    restoreRemembered();

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
    ok &= bool(connect(ui.btnDiscovery, SIGNAL(clicked(bool)), discoveryWidget, SLOT(startDiscovery())));
    ok &= bool(connect(discoveryWidget, SIGNAL(selectedIpChanged(QString)), ui.txtPAddress, SLOT(setText(QString))));
    ok &= bool(connect(ui.tbLogView, SIGNAL(customContextMenuRequested(const QPoint &)), this,
                       SLOT(onLogViewContextMenu(QPoint))));
    if (!ok)
        qCritical() << Q_FUNC_INFO << "signal-slot connection failed!";

    // Enter in the parameter field runs the command, as "Esegui" does.
    connect(ui.leCmdParams, &QLineEdit::returnPressed, this, &wdgPLoggerGui::sendCommandToP);
    connect(logModel, &LogMessageModel::rowsFlushed, this, &wdgPLoggerGui::onRowsFlushed);
    connect(ui.tbLogView->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int column) {
        // Wrapped rows change height with the width of the message column
        // (a wider window, the vertical scroll bar coming or going). The
        // header reports the new width before it takes effect: measure once
        // it has.
        if (column != LogMessageModel::MessageColumn || sizingQueued)
            return;
        sizingQueued = true;
        QMetaObject::invokeMethod(this, [this] {
            sizingQueued = false;
            sizeVisibleRows();
        }, Qt::QueuedConnection);
    });

    initLogModel();
    setUpLogReading();
}

wdgPLoggerGui::~wdgPLoggerGui()
{
    qDebug() << "wdgPLoggerGui: object was destroyed";
    if (pbxLink) {
        if (connected)
            pbxLink->disconnectFromServer();
        // Leave no thread or socket behind the window.
        pbxLink->disconnect();
        pbxLink->shutdown();
        delete pbxLink;
        pbxLink = nullptr;
    }
    QCoreApplication::quit();
    // Detaching the model moves the scroll bar; nothing must size rows then.
    ui.tbLogView->verticalScrollBar()->disconnect(this);
    ui.tbLogView->horizontalHeader()->disconnect(this);
    ui.tbLogView->setModel(nullptr);
    delete filterModel;
}

void wdgPLoggerGui::restoreRemembered()
{
    const QString fileName = stateFileName();
    if (fileName.isEmpty())
        return;
    const QSettings state(fileName, QSettings::IniFormat);
    // Whoever can write the file can put anything in it: take only what the
    // fields themselves would take.
    QString address = state.value(QLatin1String(kRememberedAddress)).toString();
    int position = 0;
    if (address.size() <= kMaxRememberedText
        && ui.txtPAddress->validator()->validate(address, position) == QValidator::Acceptable)
        ui.txtPAddress->setText(address);
    const QString user = state.value(QLatin1String(kRememberedUser)).toString();
    const QVector<uint> userChars = user.toUcs4();
    if (user.size() <= kMaxRememberedText
        && std::all_of(userChars.begin(), userChars.end(), [](uint c) { return QChar::isPrint(c); }))
        ui.txtUser->setText(user);
    bool ok = false;
    const int verbosity = ui.cbVerbosity->findData(state.value(QLatin1String(kRememberedVerbosity)).toInt(&ok));
    if (ok && verbosity >= 0)
        ui.cbVerbosity->setCurrentIndex(verbosity);
    const QString tenant = state.value(QLatin1String(kRememberedTenant)).toString();
    if (tenant.size() <= kMaxRememberedText)
        chosenTenant = tenant;
    restoreGeometry(state.value(QLatin1String(kRememberedGeometry)).toByteArray());
}

void wdgPLoggerGui::start()
{
    qDebug() << Q_FUNC_INFO << "showing main window";
    show();
}

void wdgPLoggerGui::initLogModel()
{
    logModel->clear();
    LogTable::setUp(logModel, ui.tbLogView);
}


namespace {
constexpr quint16 kDefaultPort = 5039;
constexpr int kAppMode = PBXLINK::AppModeDiagnostic;
constexpr int kDefaultMaxRows = 2000000;
constexpr qint64 kDefaultMaxBytes = qint64(1) << 30;
const char kUserRequest[] = "UserRequest";

// Reasons and file errors may hold anything the exchange or the system
// wrote: shown as plain text, never as markup.
void showWarning(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// A cell's text as a menu label: shortened, and with nothing in it that a
// menu would read as a shortcut or a layout mark.
QString menuLabel(const QString &text)
{
    QString label = text.size() > 50 ? text.left(50) + QStringLiteral("...") : text;
    label.replace(QLatin1Char('&'), QStringLiteral("&&"));
    label.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return label;
}
}

void wdgPLoggerGui::triggerPConnection()
{
    if (!connected) {
        connectToP();
        return;
    }
    QMessageBox question(QMessageBox::Question, tr("Disconnessione"),
                         tr("Sei sicuro di volerti disconnettere da PeltranoPBX?"), QMessageBox::NoButton, this);
    // Action roles keep the buttons in this order and leave the box without
    // an Escape button.
    QPushButton *yes = question.addButton(tr("Si"), QMessageBox::ActionRole);
    question.addButton(tr("No"), QMessageBox::ActionRole);
    question.setDefaultButton(yes);
    question.exec();
    if (question.clickedButton() == yes)
        disconnectFromP();
}

void wdgPLoggerGui::connectToP()
{
    const QString address = ui.txtPAddress->text();
    QString host = address;
    quint16 port = kDefaultPort;
    if (address.contains(QLatin1Char(':'))) {
        const QStringList parts = address.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        host = parts.first();
        bool ok = false;
        const quint16 given = parts.last().toUShort(&ok, 10);
        if (ok && given != 0)
            port = given;
    }
    QHostAddress hostAddress;
    if (!PbxEndpoint::parseHost(host, &hostAddress)) {
        QMessageBox::critical(this, tr("Parametri non validi"), tr("L'indirizzo IP inserito non è valido"),
                              QMessageBox::Ok);
        return;
    }

    if (!pbxLink) {
        pbxLink = new PbxLink(QSysInfo::productType(), QSysInfo::productVersion(), AppInfo::shortName(),
                              AppInfo::version(), AppInfo::dataDir(), this);
        attemptsMade = 0;
        attemptsEnded = 0;
        pbxLink->init();
        PBXLINK::registerMetaTypes();
        connect(pbxLink, SIGNAL(loggedToServer(LoginDetails)), this, SLOT(connectedToPlogger(LoginDetails)));
        connect(pbxLink, SIGNAL(unloggedFromServer(QString)), this, SLOT(disconnectedFromP(QString)));
        connect(pbxLink, SIGNAL(disconnectedFromServer()), this, SLOT(disconnectedFromP()));
        connect(pbxLink, SIGNAL(sigFeaturesChanged(QStringList)), this, SLOT(onFeaturesReceived(QStringList)));
        connect(pbxLink, SIGNAL(sigServerCommandResponse(ServerCommandResponse)), this,
                SLOT(onCommandMessageReceived(ServerCommandResponse)));
        connect(pbxLink, SIGNAL(sigDiagnosticMessageReceived(DiagnosticMessage)), this,
                SLOT(onPLoggerMessageReceived(DiagnosticMessage)));
        connect(pbxLink, SIGNAL(sigTenantListReceived(QMap<QString,QString>)), this,
                SLOT(onTenantListReceived(QMap<QString,QString>)));
        connect(pbxLink, &PbxLink::sigUnknownExchange, this, &wdgPLoggerGui::onUnknownExchange);
        connect(pbxLink, &PbxLink::sigHistoryCalls, this, &wdgPLoggerGui::onHistoryCalls);
        connect(pbxLink, &PbxLink::sigHistoryRows, this, &wdgPLoggerGui::onHistoryRows);
        connect(pbxLink, &PbxLink::sigHistoryError, this, &wdgPLoggerGui::onHistoryError);
        connect(pbxLink, &PbxLink::sigExchangeIdentityChanged, this, &wdgPLoggerGui::onExchangeIdentityChanged);
    }
    // Handed on as read here, so the link cannot read the octets another way.
    pbxLink->setServerAddress(QStringLiteral("%1:%2").arg(hostAddress.toString()).arg(port));

    QString user = ui.txtUser->text();
    QString domain;
    QStringList parts = user.split(QLatin1Char('@'), Qt::KeepEmptyParts);
    if (parts.size() > 1) {
        domain = parts.takeLast();
        user = parts.join(QLatin1Char('@'));
    }
    pbxLink->connectToServer(user, ui.txtPwd->text(), domain, PBXLINK::AppMode(kAppMode));
    ++attemptsMade;
    trustUnconfirmed = false;
    loginAddress = address;
    loginUser = ui.txtUser->text();
}

bool wdgPLoggerGui::olderAttemptOpen() const
{
    return attemptsEnded < attemptsMade - 1;
}

void wdgPLoggerGui::connectedToPlogger(LoginDetails)
{
    if (olderAttemptOpen())
        return;  // an attempt the user has already replaced
    qDebug() << Q_FUNC_INFO << "Connected to Peltrano";
    trustUnconfirmed = false;
    ui.btnConnect->setText(tr("Disconnetti"));
    ui.btnSave->setEnabled(true);
    ui.btSendCmd->setEnabled(true);
    connected = true;
    logStarted = true;
    ui.lblStatusText->setText(tr("Stato: Connesso"));
    ui.lblLedStatus->setPixmap(QPixmap(QStringLiteral(":/images/AccountIsRegisteredIcon.png")));
    // What reached the exchange is worth typing no more.
    if (!loginAddress.isEmpty())
        remember({{kRememberedAddress, loginAddress}, {kRememberedUser, loginUser}});
    if (pbxLink)
        pbxLink->getTenantList();
}

void wdgPLoggerGui::disconnectedFromP(QString reason)
{
    if (olderAttemptOpen()) {
        ++attemptsEnded;  // the end of an attempt already replaced
        return;
    }
    qDebug() << Q_FUNC_INFO << "Disconnected from Peltrano";
    ui.btnConnect->setText(tr("Connetti"));
    if (connected && historyOffered && !lastRowId.isEmpty()) {
        resumeExchange = loginAddress + QLatin1Char('|') + loginUser;
        resumeTenant = subscribedTenant;
        resumeRowId = lastRowId;
    }
    connected = false;
    historyOffered = false;
    ui.findBar->setHistoryAvailable(false);
    ui.btSendCmd->setEnabled(false);
    ui.lblStatusText->setText(tr("Stato: Disconnesso"));
    ui.lblLedStatus->setPixmap(QPixmap(QStringLiteral(":/images/AccountIsNotRegisteredIcon.png")));
    // The attempt the question was about is over.
    if (trustQuestion)
        trustQuestion->reject();
    if (pbxLink) {
        pbxLink->disconnect();
        pbxLink->shutdown();
        delete pbxLink;
        pbxLink = nullptr;
    }
    if (std::exchange(trustUnconfirmed, false) && reason != QLatin1String(kUserRequest)) {
        // A peer that only wanted the login proof would say "invalid
        // credentials" too: another password must not be tried on it.
        showWarning(this, tr("Errore di connessione"),
                    tr("Il centralino non ha dimostrato di conoscere l'account, quindi la sua identità non è "
                       "stata registrata (motivazione: %1).\n\n"
                       "Se la password è giusta, questo potrebbe non essere il centralino atteso: prima di "
                       "riprovare, confrontare di nuovo l'impronta con quella del centralino. Non provare "
                       "altre password su un centralino di cui non si è sicuri.")
                        .arg(reason));
        return;
    }
    // The identity change has a box of its own, already shown.
    if (reason != QLatin1String(kUserRequest) && reason != QLatin1String(PBXLINK::ReasonIdentityChanged)) {
        showWarning(this, tr("Errore di connessione"),
                    tr("La connessione con PeltranoPBX è caduta per la seguente motivazione: %1").arg(reason));
    }
}

void wdgPLoggerGui::onUnknownExchange(const QString &address, const QString &fingerprint)
{
    if (olderAttemptOpen())
        return;  // the attempt asking has been replaced; its answer would be ignored
    QMessageBox question(QMessageBox::Question, tr("Centralino sconosciuto"),
                         tr("Il centralino %1 non è ancora conosciuto.\n\n"
                            "Impronta SHA-256 del suo certificato:\n%2\n\n"
                            "Confrontarla con quella del centralino: fidarsi di questo centralino?")
                             .arg(address, fingerprint),
                         QMessageBox::NoButton, this);
    question.setTextFormat(Qt::PlainText);
    // Action roles keep "Si" before "No"; "No" is what Enter and Escape pick.
    QPushButton *yes = question.addButton(tr("Si"), QMessageBox::ActionRole);
    QPushButton *no = question.addButton(tr("No"), QMessageBox::ActionRole);
    question.setDefaultButton(no);
    question.setEscapeButton(no);
    trustQuestion = &question;
    const QPointer<PbxLink> link = pbxLink;
    question.exec();
    trustQuestion = nullptr;
    // The link may have ended, or been replaced, while the question was open.
    if (link && link == pbxLink) {
        trustUnconfirmed = question.clickedButton() == yes;
        link->answerUnknownExchange(address, fingerprint, trustUnconfirmed);
    }
}

void wdgPLoggerGui::onExchangeIdentityChanged(const QString &address, const QString &knownFingerprint,
                                              const QString &presentedFingerprint)
{
    if (olderAttemptOpen())
        return;
    const KnownExchanges known(AppInfo::dataDir());
    QMessageBox box(QMessageBox::Warning, tr("Errore di connessione"),
                    tr("L'identità del centralino %1 è cambiata: la connessione è stata rifiutata e le "
                       "credenziali non sono state inviate.\n\n"
                       "Impronta registrata:\n%2\n\nImpronta presentata ora:\n%3\n\n"
                       "Se il cambio è atteso (per esempio un nuovo certificato del centralino), dimenticare "
                       "l'identità registrata togliendo la riga che inizia con \"%4\" dal gruppo "
                       "[KnownExchanges] del file %5, poi connettersi di nuovo.")
                        .arg(address, knownFingerprint, presentedFingerprint, KnownExchanges::fileEntry(address),
                             QDir::toNativeSeparators(known.fileName())),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void wdgPLoggerGui::disconnectFromP()
{
    qDebug() << Q_FUNC_INFO;
    if (pbxLink)
        pbxLink->disconnectFromServer();
}

void wdgPLoggerGui::quitApplication()
{
    if (connected && pbxLink)
        pbxLink->disconnectFromServer();
    QCoreApplication::quit();
}

void wdgPLoggerGui::closeEvent(QCloseEvent *event)
{
    qDebug() << Q_FUNC_INFO;
    if (MyCloseApplication::bailoutRequested())
        qDebug() << "Shutting down main widget";
    if (connected && pbxLink)
        pbxLink->disconnectFromServer();
    remember({{kRememberedGeometry, saveGeometry()},
              {kRememberedVerbosity, ui.cbVerbosity->currentData(Qt::UserRole)},
              {kRememberedTenant, chosenTenant}});
    QCoreApplication::quit();
    event->accept();
}

void wdgPLoggerGui::onFeaturesReceived(QStringList features)
{
    if (olderAttemptOpen())
        return;
    historyOffered = features.contains(QStringLiteral("HISTORY"));
    ui.findBar->setHistoryAvailable(connected && historyOffered);
    ui.cbTenant->setVisible(features.contains(QStringLiteral("SUBSCRIBE_TENANT_EVENTS")));
    // isHidden(), not isVisible(): the answer must not depend on whether the
    // window itself is on screen yet.
    const bool tenantsShown = !ui.cbTenant->isHidden();
    ui.lblTenant->setVisible(tenantsShown);
    ui.tbLogView->setColumnHidden(LogMessageModel::TenantUuidColumn, !tenantsShown);

    if (!pbxLink)
        return;  // a list still queued when the connection ended
    if (PBXLINK::compareVersions(pbxLink->getServerApiVersion(), QStringLiteral("4.2")) < 0)
        ui.wdgCmd->show();
    else
        ui.wdgCmd->setVisible(features.contains(QStringLiteral("SEND_CMD")));
}

void wdgPLoggerGui::onTenantListReceived(QMap<QString, QString> tenantMap)
{
    {
        // Filling the list makes items current on its own: that is not the
        // user's choice, and the list subscribes once, when it is complete.
        const QScopedValueRollback<bool> filling(fillingTenants, true);
        ui.cbTenant->clear();
        ui.cbTenant->addItem(tr("Nessuno"), QString(QLatin1String("")));
        for (auto it = tenantMap.constBegin(); it != tenantMap.constEnd(); ++it)
            ui.cbTenant->addItem(it.value().isEmpty() ? it.key() : it.value(), it.key());
        // The tenant chosen before, while the exchange still offers it.
        ui.cbTenant->setCurrentIndex(qMax(0, ui.cbTenant->findData(chosenTenant)));
    }
    subscribeToShownTenant();
}

void wdgPLoggerGui::onSelectedTenantChanged()
{
    if (fillingTenants)
        return;
    if (ui.cbTenant->currentIndex() >= 0)
        chosenTenant = ui.cbTenant->currentData(Qt::UserRole).toString();
    subscribeToShownTenant();
}

void wdgPLoggerGui::subscribeToShownTenant()
{
    if (!pbxLink || !connected || ui.cbTenant->currentIndex() < 0)
        return;
    subscribedTenant = ui.cbTenant->currentData(Qt::UserRole).toString();
    // Logged in again where the link dropped: the rows missed come first.
    QString since;
    if (historyOffered && resumeExchange == loginAddress + QLatin1Char('|') + loginUser
        && resumeTenant == subscribedTenant)
        since = resumeRowId;
    resumeExchange.clear();
    resumeRowId.clear();
    // Another exchange or tenant numbers its rows apart.
    lastRowId = since;
    pbxLink->subscribeTenantEvents(subscribedTenant, since);
}

void wdgPLoggerGui::onSelectedCommandChanged()
{
    ui.leCmdParams->setVisible(ServerCommands::networkCommands().contains(ui.cbCmd->currentText()));
}

void wdgPLoggerGui::sendCommandToP()
{
    const QString command = ui.cbCmd->currentText();
    if (command.isEmpty() || !pbxLink || !connected)
        return;
    ServerCommand request;
    request.id = QUuid::createUuid().toString();
    request.command = command;
    if (!ui.leCmdParams->isHidden())
        request.params << ui.leCmdParams->text();
    pbxLink->sendServerCommand(request);
}

void wdgPLoggerGui::onCommandMessageReceived(ServerCommandResponse response)
{
    DiagnosticMessage msg;
    msg.messageId = response.commandId;
    msg.verbosity = QStringLiteral("-1");
    msg.timestamp = response.timestamp;

    QString output = response.output;
    if (ServerCommands::pbxCommands().contains(response.command))
        output = ServerCommands::stripFraming(output);

    msg.message = QStringLiteral("Command: %1\n").arg(response.command);
    msg.message += response.executed ? QStringLiteral("Execution finished with exitCode %1\n").arg(response.code)
                                     : QStringLiteral("Execution failed with errorCode %1\n").arg(response.code);
    // The exchange's reason (Kamailio's own message, a refused parameter) says more than a code.
    if (!response.executed && !response.detail.isEmpty())
        msg.message += response.detail + QLatin1Char('\n');
    msg.message += QLatin1Char('\n') + output;
    onPLoggerMessageReceived(msg);
}

void wdgPLoggerGui::onPLoggerMessageReceived(DiagnosticMessage msg)
{
    if (!logStarted)
        return;
    logModel->enqueue(LogRowMaker::rowOf(msg));
    // Only forward, and not from the window's own command results: a notice
    // the exchange keeps standing comes again with the id it was given.
    bool numbered = false;
    const qint64 id = msg.messageId.toLongLong(&numbered);
    if (numbered && msg.verbosity != QLatin1String("-1") && id > lastRowId.toLongLong())
        lastRowId = msg.messageId;
    if (!msg.linkedId.isEmpty()) {
        for (CallFlowWindow *window : qAsConst(flowWindows)) {
            if (window && window->callId() == msg.linkedId) {
                DiagnosticMessage shown = msg;
                shown.message = LogRowMaker::cutMessage(msg.message);
                window->appendRow(shown);
            }
        }
    }
    doneMessages.append(std::move(msg));
}

void wdgPLoggerGui::onRowsFlushed()
{
    if (pbxLink)
        pbxLink->releaseMessages(std::exchange(doneMessages, {}));
    else
        doneMessages.clear();
    filterLogMessages();
    if (followingTail())
        ui.tbLogView->scrollToBottom();
    else
        keepAnchorInView();
    adjustingView = false;
    sizeVisibleRows();
}

void wdgPLoggerGui::sizeVisibleRows()
{
    // Rows are measured when they come into view, each once: measuring every
    // arriving row would cost more than everything else a message costs, and
    // rows nobody scrolls to never need it. Sizing a row moves the ones below
    // it, so repeat until what is on view stays put.
    QTableView *view = ui.tbLogView;
    QHeaderView *rows = view->verticalHeader();
    const int count = filterModel->rowCount();
    // Scrolling from in here calls back; the outer pass already covers it.
    if (count == 0 || sizingRows || view->model() != filterModel)
        return;
    const QScopedValueRollback<bool> sizing(sizingRows, true);
    QAbstractItemDelegate *delegate = view->itemDelegate();
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.fontMetrics = QFontMetrics(option.font);
    if (view->wordWrap())
        option.features |= QStyleOptionViewItem::WrapText;
    const int grid = view->showGrid() ? 1 : 0;

    for (int pass = 0; pass < 4; ++pass) {
        // Heights kept from another width are of no use at this one.
        const int width = view->columnWidth(LogMessageModel::MessageColumn);
        if (width != heightsWidth) {
            logModel->forgetRowHeights();
            heightsWidth = width;
        }
        const bool atEnd = view->verticalScrollBar()->value() == view->verticalScrollBar()->maximum();
        const int top = view->rowAt(0);
        int bottom = view->rowAt(view->viewport()->height() - 1);
        if (top < 0)
            return;  // the view is not laid out for these rows yet
        if (bottom < 0)
            bottom = count - 1;
        bool changed = false;
        // With updates on, every resized row makes the header place it anew,
        // a walk over all rows; the view is repainted once after the pass.
        rows->setUpdatesEnabled(false);
        for (int row = top; row <= bottom; ++row) {
            const QModelIndex proxy = filterModel->index(row, LogMessageModel::MessageColumn);
            const int source = filterModel->mapToSource(proxy).row();
            int height = logModel->rowHeight(source);
            if (height <= 0) {
                // Only the message can wrap or hold several lines; the other
                // cells are short, single-line texts.
                option.rect.setWidth(width);
                height = delegate->sizeHint(option, proxy).height();
                option.rect.setWidth(view->columnWidth(LogMessageModel::TimestampColumn));
                height = qMax(height, delegate->sizeHint(option, proxy.siblingAtColumn(LogMessageModel::TimestampColumn))
                                          .height())
                    + grid;
                height = qMin(height, rows->maximumSectionSize());
                logModel->setRowHeight(source, height);
            }
            if (rows->sectionSize(row) != height) {
                rows->resizeSection(row, height);
                changed = true;
            }
        }
        rows->setUpdatesEnabled(true);
        if (!changed)
            break;
        // The view lays out resized rows on its next turn; the scroll range
        // must be right now, or following the newest row falls short.
        QMetaObject::invokeMethod(view, "updateGeometries");
        if (atEnd && followingTail())
            view->scrollToBottom();
    }
}

void wdgPLoggerGui::filterLogMessages()
{
    const int level = ui.cbVerbosity->currentData(Qt::UserRole).toInt();
    const QString pattern = QRegExp::escape(QString::number(level));
    if (pattern == filterModel->filterRegExp().pattern())
        return;  // the same threshold would only cost a pass over every row
    {
        const QScopedValueRollback<bool> adjusting(adjustingView, true);
        filterModel->setFilterRegExp(QRegExp(pattern, Qt::CaseInsensitive, QRegExp::RegExp));
        if (!followingTail())
            keepAnchorInView();
    }
    sizeVisibleRows();
    ui.findBar->refresh();
}

void wdgPLoggerGui::onTableClear()
{
    logModel->clear();
    adjustingView = false;
    atBottom = true;
    topAnchor = QPersistentModelIndex();
    ui.lblDropped->hide();
}

void wdgPLoggerGui::saveLogToFile()
{
    const QString fileName = QFileDialog::getSaveFileName(this, tr("Salva il Log su File"), QStringLiteral("./"),
                                                          tr("File txt (*.txt)"));
    if (fileName.isEmpty())
        return;
    logModel->flushPending();  // what has arrived is saved too

    QString error;
    if (!LogFileWriter::write(*logModel, LogTable::visibleColumns(ui.tbLogView), fileName, &error)) {
        showWarning(this, tr("Errore di salvataggio"),
                    tr("Impossibile salvare il log su \"%1\": %2").arg(fileName, error));
    }
}

void wdgPLoggerGui::onLogViewContextMenu(QPoint point)
{
    const QModelIndex index = ui.tbLogView->indexAt(point);
    if (!index.isValid())
        return;
    const QString label = menuLabel(index.data(Qt::DisplayRole).toString());

    // The actions carry the clicked cell as a persistent index, so they act on
    // the row that was clicked even if rows arrive or are filtered meanwhile.
    const QVariant clicked = QVariant::fromValue(QPersistentModelIndex(index));
    QMenu menu;
    QAction *value = menu.addAction(tr("Seleziona valore '%1'").arg(label), this, SLOT(selectColumnValues()));
    value->setData(clicked);
    if (!index.siblingAtColumn(LogMessageModel::LinkedIdColumn).data().toString().isEmpty()) {
        QAction *call = menu.addAction(tr("Seleziona chiamata"), this, SLOT(selectConversation()));
        call->setData(clicked);
        QAction *flow = menu.addAction(tr("Flusso della chiamata"), this, &wdgPLoggerGui::showCallFlow);
        flow->setData(clicked);
    }
    menu.addAction(tr("Deseleziona tutto"), this, SLOT(deselectValues()));
    // The view holds still while the menu is open: the clicked row stays
    // under the mouse.
    rememberTopRow();
    const QScopedValueRollback<bool> holding(menuOpen, true);
    menu.exec(ui.tbLogView->viewport()->mapToGlobal(point));
}

void wdgPLoggerGui::selectColumnValues()
{
    const QModelIndex index = clickedIndex();
    if (!index.isValid())
        return;
    selectionDelegate->setSelectedValue(index.column(), index.data(Qt::DisplayRole).toString());
    ui.tbLogView->viewport()->update();
}

void wdgPLoggerGui::selectConversation()
{
    const QModelIndex index = clickedIndex();
    if (!index.isValid())
        return;
    selectionDelegate->setSelectedValue(
        LogMessageModel::LinkedIdColumn,
        index.siblingAtColumn(LogMessageModel::LinkedIdColumn).data(Qt::DisplayRole).toString());
    ui.tbLogView->viewport()->update();
}

void wdgPLoggerGui::showCallFlow()
{
    const QModelIndex index = clickedIndex();
    if (!index.isValid())
        return;
    const QString callId = index.siblingAtColumn(LogMessageModel::LinkedIdColumn).data(Qt::DisplayRole).toString();
    if (callId.isEmpty())
        return;
    // Rows received but not yet in the table belong to the picture too;
    // from now on the window gets them as they come.
    logModel->flushPending();
    QVector<DiagnosticMessage> rows;
    const QByteArray linked = callId.toUtf8();
    for (int r = 0; r < logModel->rowCount(); ++r) {
        if (logModel->utf8(r, LogMessageModel::LinkedIdColumn) != std::string_view(linked.constData(), size_t(linked.size())))
            continue;
        DiagnosticMessage msg;
        msg.tenantUuid = logModel->text(r, LogMessageModel::TenantUuidColumn);
        msg.linkedId = callId;
        msg.uniqueId = logModel->text(r, LogMessageModel::UniqueIdColumn);
        msg.messageId = logModel->text(r, LogMessageModel::MessageIdColumn);
        msg.verbosity = QString::number(logModel->level(r));
        msg.timestamp = logModel->text(r, LogMessageModel::TimestampColumn);
        msg.message = logModel->text(r, LogMessageModel::MessageColumn);
        msg.extraFields = logModel->extraFields(r);
        rows.append(msg);
    }
    flowWindows.removeAll(nullptr);
    // The agent runs beside the SIP server: its host names the server's column.
    const QString agentHost = loginAddress.section(QLatin1Char(':'), 0, 0);
    auto *window = new CallFlowWindow(callId, rows, agentHost.isEmpty() ? QString() : tr("server SIP (%1)").arg(agentHost), this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    connect(window, &CallFlowWindow::lineClicked, this, &wdgPLoggerGui::showFlowLine);
    flowWindows.append(window);
    window->show();
}

void wdgPLoggerGui::showFlowLine(const DiagnosticMessage &row)
{
    // The newest row that says the same; an older twin would do as well.
    // Compared as the table keeps them: nothing decoded per row.
    const QByteArray linked = row.linkedId.toUtf8();
    const QByteArray stamp = row.timestamp.toUtf8();
    const QByteArray message = LogRowMaker::cutMessage(row.message).toUtf8();
    const auto same = [](std::string_view cell, const QByteArray &text) {
        return cell == std::string_view(text.constData(), size_t(text.size()));
    };
    for (int r = logModel->rowCount() - 1; r >= 0; --r) {
        if (!same(logModel->utf8(r, LogMessageModel::LinkedIdColumn), linked)
            || !same(logModel->utf8(r, LogMessageModel::TimestampColumn), stamp)
            || !same(logModel->utf8(r, LogMessageModel::MessageColumn), message))
            continue;
        const QModelIndex shown = filterModel->mapFromSource(logModel->index(r, LogMessageModel::MessageColumn));
        if (shown.isValid())
            ui.tbLogView->scrollTo(shown, QAbstractItemView::PositionAtCenter);
        return;
    }
}

void wdgPLoggerGui::deselectValues()
{
    selectionDelegate->setSelectedValue(-1, QString(QLatin1String("")));
    ui.tbLogView->viewport()->update();
}

QModelIndex wdgPLoggerGui::clickedIndex() const
{
    const auto *action = qobject_cast<const QAction *>(sender());
    if (!action)
        return {};
    return action->data().value<QPersistentModelIndex>();
}

void wdgPLoggerGui::setUpLogReading()
{
    const QSettings settings(AppInfo::dataDir() + QStringLiteral("plogger.ini"), QSettings::IniFormat);
    bool ok = false;
    const qint64 maxRows = settings.value(QStringLiteral("Logger/maxRows")).toLongLong(&ok);
    logModel->setMaxRows(ok && maxRows >= 0 ? int(qMin<qint64>(maxRows, INT_MAX)) : kDefaultMaxRows);
    const qint64 maxBytes = settings.value(QStringLiteral("Logger/maxBytes")).toLongLong(&ok);
    logModel->setMaxBytes(ok && maxBytes >= 0 ? maxBytes : kDefaultMaxBytes);

    ui.lblDropped->hide();
    connect(logModel, &LogMessageModel::rowsDropped, this, &wdgPLoggerGui::onRowsDropped);
    // Rows dropped from the top move what is on view: hold the position until
    // the top row is put back.
    connect(logModel, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this] { adjustingView = true; });
    connect(ui.tbLogView->verticalScrollBar(), &QScrollBar::valueChanged, this, &wdgPLoggerGui::onViewScrolled);

    ui.findBar->attach(logModel, filterModel, ui.tbLogView, selectionDelegate);
    auto *find = new QShortcut(QKeySequence::Find, this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(find, &QShortcut::activated, ui.findBar, &LogFindBar::open);
    auto *history = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+F")), this, nullptr, nullptr,
                                  Qt::WidgetWithChildrenShortcut);
    connect(history, &QShortcut::activated, ui.findBar, &LogFindBar::searchHistory);
    connect(ui.findBar, &LogFindBar::historySearchRequested, this, &wdgPLoggerGui::searchHistory);
}

bool wdgPLoggerGui::followingTail() const
{
    return atBottom && !menuOpen;
}

void wdgPLoggerGui::onViewScrolled()
{
    // Only the user's scrolling decides; the view's own adjustments do not.
    // It is judged before the rows that came into view are measured: their
    // new heights move the end away from where the user put the view.
    if (!adjustingView && !sizingRows && !menuOpen) {
        const QScrollBar *bar = ui.tbLogView->verticalScrollBar();
        atBottom = bar->value() >= bar->maximum();
        rememberTopRow();
    }
    sizeVisibleRows();
}

void wdgPLoggerGui::rememberTopRow()
{
    const int top = ui.tbLogView->rowAt(0);
    if (top < 0) {
        topAnchor = QPersistentModelIndex();
        return;
    }
    topAnchor = filterModel->mapToSource(filterModel->index(top, 0));
    topAnchorOffset = -ui.tbLogView->rowViewportPosition(top);
}

int wdgPLoggerGui::firstShownRowFrom(int sourceRow) const
{
    // The filter keeps the table's order: search it by halves.
    int low = 0;
    int high = filterModel->rowCount();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (filterModel->mapToSource(filterModel->index(mid, 0)).row() < sourceRow)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

void wdgPLoggerGui::keepAnchorInView()
{
    QTableView *view = ui.tbLogView;
    const QScopedValueRollback<bool> adjusting(adjustingView, true);
    const int count = filterModel->rowCount();
    if (count == 0)
        return;
    // The scroll range must fit the rows now held before the position is set.
    QMetaObject::invokeMethod(view, "updateGeometries");
    int row = 0;
    int offset = 0;
    if (topAnchor.isValid()) {
        row = qMin(firstShownRowFrom(topAnchor.row()), count - 1);
        if (filterModel->mapToSource(filterModel->index(row, 0)).row() == topAnchor.row())
            offset = topAnchorOffset;
    } else {
        // The top row itself was dropped: the oldest row left takes its place.
        topAnchor = filterModel->mapToSource(filterModel->index(0, 0));
        topAnchorOffset = 0;
    }
    view->verticalScrollBar()->setValue(view->verticalHeader()->sectionPosition(row) + offset);
}

void wdgPLoggerGui::onRowsDropped(qint64 total)
{
    ui.lblDropped->setText(tr("Righe più vecchie scartate: %1").arg(total));
    ui.lblDropped->show();
    // At the bottom the view stays there by itself as its range shrinks.
    if (!followingTail())
        keepAnchorInView();
    adjustingView = false;
}

void wdgPLoggerGui::searchHistory(const QString &text)
{
    if (!pbxLink || !connected || !historyOffered)
        return;
    if (!historyWindow) {
        historyWindow = new HistoryWindow(this);
        historyWindow->setAttribute(Qt::WA_DeleteOnClose);
        connect(historyWindow, &HistoryWindow::callChosen, this, &wdgPLoggerGui::openHistoryCall);
    }
    HistoryRequest request;
    request.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    request.query = text.left(HistoryRequest::MaxQueryLength);
    const QDateTime now = QDateTime::currentDateTime();
    request.from = now.addDays(-1).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    request.tenant = subscribedTenant;
    request.anyTenant = false;
    request.limit = HistoryRequest::MaxLimit;
    historyCallsRequest = request.id;
    historyWindow->showSearching(request.query);
    historyWindow->show();
    historyWindow->raise();
    historyWindow->activateWindow();
    pbxLink->sendHistoryRequest(request);
}

void wdgPLoggerGui::openHistoryCall(const QString &callId)
{
    auto *window = new CallWindow(callId, this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setEmphasis(selectionDelegate->selectedColumn(), selectionDelegate->selectedValue());
    window->show();
    HistoryRequest request;
    request.kind = HistoryRequest::Kind::Rows;
    request.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    request.callId = callId;
    callWindows.insert(request.id, window);
    if (pbxLink && connected)
        pbxLink->sendHistoryRequest(request);
    else
        onHistoryError(request.id, tr("non connesso al centralino"));
}

void wdgPLoggerGui::onHistoryCalls(const QString &id, const QVector<HistoryCall> &calls, bool truncated)
{
    if (historyWindow && id == historyCallsRequest)
        historyWindow->showCalls(calls, truncated);
}

void wdgPLoggerGui::onHistoryRows(const QString &id, const QVector<DiagnosticMessage> &rows, bool truncated)
{
    if (const QPointer<CallWindow> window = callWindows.take(id))
        window->showRows(rows, truncated);
}

void wdgPLoggerGui::onHistoryError(const QString &id, const QString &reason)
{
    if (const QPointer<CallWindow> window = callWindows.take(id))
        window->showError(reason);
    else if (id != historyCallsRequest)
        return;
    if (historyWindow)
        historyWindow->showError(reason);
}
