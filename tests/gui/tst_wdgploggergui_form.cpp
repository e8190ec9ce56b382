#include "wdgploggergui.h"

#include "formchild.h"
#include "quitreset.h"

#include "loggerverbosity.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QtTest>

// The main window as it stands right after construction.
class tst_wdgPLoggerGuiForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowProperties();
    void barsFitNarrowestWindow_data();
    void barsFitNarrowestWindow();
    void slotsInMetaObjectOrder();
    void labelTexts_data();
    void labelTexts();
    void initialState();
    void verbosityList();
    void commandList();
    void logTable();
    void addressValidator_data();
    void addressValidator();
    void enterMovesFocus();
    void tabOrder();

private:
    template<typename T>
    T *child(const char *name) const
    {
        return formChild<T>(m_window, name);
    }
    wdgPLoggerGui *m_window = nullptr;
};

void tst_wdgPLoggerGuiForm::init()
{
    m_window = new wdgPLoggerGui;
}

void tst_wdgPLoggerGuiForm::cleanup()
{
    delete m_window;
    m_window = nullptr;
    clearQuitRequest();
}

void tst_wdgPLoggerGuiForm::windowProperties()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("wdgPLoggerGui"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Peltrano Logger 4 v.4.2.0-r5838"));
    QCOMPARE(m_window->size(), QSize(1076, 585));
    QCOMPARE(m_window->minimumHeight(), 0);
    QVERIFY(!m_window->windowIcon().isNull());
    QVERIFY(!m_window->isVisible());
    m_window->start();
    QVERIFY(m_window->isVisible());
    // At least 800, more when the bars need it at the font in use.
    QVERIFY(m_window->minimumWidth() >= 800);
    m_window->resize(300, 400);
    QVERIFY(m_window->width() >= 800);
}

void tst_wdgPLoggerGuiForm::barsFitNarrowestWindow_data()
{
    QTest::addColumn<bool>("everythingShown");
    QTest::addColumn<int>("pointSize");  // of the window's font; 0: unchanged
    QTest::newRow("before connecting") << false << 0;
    QTest::newRow("connected, every control shown") << true << 0;
    QTest::newRow("larger font") << true << 16;
}

void tst_wdgPLoggerGuiForm::barsFitNarrowestWindow()
{
    QFETCH(bool, everythingShown);
    QFETCH(int, pointSize);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    if (everythingShown) {
        child<QPushButton>("btnConnect")->setText(QStringLiteral("Disconnetti"));
        child<QLabel>("lblStatusText")->setText(QStringLiteral("Stato: Connesso"));
        child<QLabel>("lblDropped")->setText(QStringLiteral("Righe più vecchie scartate: 123456789"));
        for (const char *name : {"cbTenant", "lblTenant", "wdgCmd", "leCmdParams", "lblDropped"})
            child<QWidget>(name)->show();
    }
    if (pointSize > 0) {
        QFont font = m_window->font();
        font.setPointSize(pointSize);
        m_window->setFont(font);
    }
    m_window->layout()->activate();  // the minimum for what is shown now
    m_window->resize(1, m_window->height());
    QTRY_COMPARE(m_window->width(), m_window->minimumWidth());
    QVERIFY(m_window->width() >= 800);

    // Nothing on the bars overlaps or leaves the window.
    const char *const names[] = {"lblPAddress", "txtPAddress", "btnDiscovery", "lblUser", "txtUser", "lblPwd",
                                 "txtPwd", "btnConnect", "lblLedStatus", "lblStatusText", "lblVerbosity",
                                 "cbVerbosity", "lblTenant", "cbTenant", "lblCmd", "cbCmd", "leCmdParams",
                                 "btSendCmd", "lblDropped", "btnSave", "btClear"};
    QVector<QPair<QString, QRect>> placed;
    for (const char *name : names) {
        const QWidget *widget = child<QWidget>(name);
        if (!widget->isVisible())
            continue;
        const QRect rect(widget->mapTo(m_window, QPoint(0, 0)), widget->size());
        QVERIFY2(m_window->rect().contains(rect), name);
        for (const auto &other : qAsConst(placed))
            QVERIFY2(!rect.intersects(other.second), qPrintable(other.first + QLatin1String(" / ") + name));
        placed.append({QString::fromLatin1(name), rect});
    }

    // "..." stays beside the address it fills in, however wide the window.
    for (const int width : {m_window->minimumWidth(), 1900}) {
        m_window->resize(width, m_window->height());
        QTRY_COMPARE(m_window->width(), width);
        const QWidget *address = child<QWidget>("txtPAddress");
        QCOMPARE(child<QWidget>("btnDiscovery")->mapTo(m_window, QPoint(0, 0)).x(),
                 address->mapTo(m_window, QPoint(address->width(), 0)).x());
    }
}

void tst_wdgPLoggerGuiForm::slotsInMetaObjectOrder()
{
    const QStringList expected = {
        "start()", "disconnectFromP()", "connectToP()", "quitApplication()",
        "onCommandMessageReceived(ServerCommandResponse)", "onPLoggerMessageReceived(DiagnosticMessage)",
        "onFeaturesReceived(QStringList)", "onTenantListReceived(QMap<QString,QString>)",
        "onSelectedTenantChanged()", "connectedToPlogger(LoginDetails)", "disconnectedFromP(QString)",
        "disconnectedFromP()", "triggerPConnection()", "filterLogMessages()", "onSelectedCommandChanged()",
        "onTableClear()", "saveLogToFile()", "sendCommandToP()", "onLogViewContextMenu(QPoint)",
        "selectColumnValues()", "selectConversation()", "deselectValues()"};
    const QMetaObject *mo = m_window->metaObject();
    QCOMPARE(QString::fromLatin1(mo->className()), QStringLiteral("wdgPLoggerGui"));
    QStringList found;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        QCOMPARE(mo->method(i).methodType(), QMetaMethod::Slot);
        found << QString::fromLatin1(mo->method(i).methodSignature());
    }
    QCOMPARE(found, expected);
}

void tst_wdgPLoggerGuiForm::labelTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("indent");
    QTest::newRow("address") << "lblPAddress" << "Indirizzo IP" << 5;
    QTest::newRow("user") << "lblUser" << "Username" << 20;
    QTest::newRow("password") << "lblPwd" << "Password" << 20;
    QTest::newRow("status") << "lblStatusText" << "Stato: Disconnesso" << 5;
    QTest::newRow("verbosity") << "lblVerbosity" << "Livello di log" << -1;
    QTest::newRow("tenant") << "lblTenant" << "Log di tenant" << -1;
    QTest::newRow("command") << "lblCmd" << "Comando" << -1;
}

void tst_wdgPLoggerGuiForm::labelTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, indent);
    auto *label = child<QLabel>(name.toLatin1().constData());
    QCOMPARE(label->text(), text);
    QCOMPARE(label->indent(), indent);
    QCOMPARE(label->font().family(), QStringLiteral("Helvetica"));
    QCOMPARE(label->font().pointSize(), 9);
    QCOMPARE(label->font().weight(), 50);
}

void tst_wdgPLoggerGuiForm::initialState()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));

    QCOMPARE(child<QPushButton>("btnConnect")->text(), QStringLiteral("Connetti"));
    QCOMPARE(child<QToolButton>("btnDiscovery")->text(), QStringLiteral("..."));
    QCOMPARE(child<QLineEdit>("txtUser")->placeholderText(), QStringLiteral("username@domain"));
    QCOMPARE(child<QLineEdit>("txtPwd")->echoMode(), QLineEdit::Password);
    QCOMPARE(child<QLineEdit>("txtPAddress")->width(), 160);
    QCOMPARE(child<QLineEdit>("txtUser")->width(), 130);
    QCOMPARE(child<QPushButton>("btnSave")->text(), QStringLiteral("Salva su file..."));
    QCOMPARE(child<QPushButton>("btnSave")->width(), 110);
    QCOMPARE(child<QPushButton>("btClear")->text(), QStringLiteral("Svuota Logger"));
    QCOMPARE(child<QPushButton>("btSendCmd")->text(), QStringLiteral("Esegui"));
    QCOMPARE(child<QLabel>("lblLedStatus")->size(), QSize(12, 12));
    QVERIFY(!child<QLabel>("lblLedStatus")->pixmap(Qt::ReturnByValue).isNull());

    // Before any connection only the connection bar, the verbosity chooser,
    // the table and the save and clear buttons are visible.
    for (const char *name : {"txtPAddress", "btnDiscovery", "txtUser", "txtPwd", "btnConnect", "lblStatusText",
                             "cbVerbosity", "tbLogView", "btnSave", "btClear"})
        QVERIFY2(child<QWidget>(name)->isVisible(), name);
    for (const char *name : {"cbTenant", "lblTenant", "wdgCmd", "leCmdParams"})
        QVERIFY2(!child<QWidget>(name)->isVisible(), name);
    QVERIFY(!child<QPushButton>("btnSave")->isEnabled());
    QVERIFY(!child<QPushButton>("btSendCmd")->isEnabled());
    QVERIFY(child<QPushButton>("btClear")->isEnabled());
}

void tst_wdgPLoggerGuiForm::verbosityList()
{
    auto *cb = child<QComboBox>("cbVerbosity");
    QCOMPARE(cb->count(), 6);
    const int levels[] = {0, 1, 2, 3, 4, -1};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(cb->itemData(i).toInt(), levels[i]);
        QCOMPARE(cb->itemText(i), LOGGER::verbosityIntToString(levels[i]));
    }
    QCOMPARE(cb->currentData().toInt(), 4);
}

void tst_wdgPLoggerGuiForm::commandList()
{
    auto *cb = child<QComboBox>("cbCmd");
    QStringList items;
    for (int i = 0; i < cb->count(); ++i) {
        items << cb->itemText(i);
        QVERIFY(!cb->itemData(i).isValid());
    }
    QCOMPARE(items, (QStringList{"sip show peers", "sip show registry", "core show hints", "ping", "traceroute",
                                 "host"}));
    QCOMPARE(cb->currentIndex(), -1);
    QVERIFY(cb->currentText().isEmpty());
}

void tst_wdgPLoggerGuiForm::logTable()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    auto *view = child<QTableView>("tbLogView");
    QCOMPARE(view->font().family(), QStringLiteral("Lucida Console"));
    QCOMPARE(view->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(view->verticalScrollMode(), QAbstractItemView::ScrollPerPixel);
    QVERIFY(view->alternatingRowColors());
    QVERIFY(!view->verticalHeader()->isVisible());
    QVERIFY(view->horizontalHeader()->stretchLastSection());

    QAbstractItemModel *model = view->model();
    QCOMPARE(model->columnCount(), 7);
    const QStringList headers = {"TenantUUID", "LinkedID", "UniqueID", "ID", "V", "Timestamp", "Messaggio"};
    QStringList visible;
    for (int c = 0; c < 7; ++c) {
        QCOMPARE(model->headerData(c, Qt::Horizontal).toString(), headers[c]);
        if (!view->isColumnHidden(c))
            visible << headers[c];
    }
    QCOMPARE(model->headerData(4, Qt::Horizontal, Qt::ToolTipRole).toString(), QStringLiteral("Verbosity"));
    QCOMPARE(visible, (QStringList{"UniqueID", "V", "Timestamp", "Messaggio"}));
    QCOMPARE(view->columnWidth(2), 130);
    QCOMPARE(view->columnWidth(4), 100);
    QCOMPARE(view->columnWidth(5), 200);
    QCOMPARE(view->horizontalHeader()->sectionResizeMode(6), QHeaderView::Stretch);
    QCOMPARE(view->horizontalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
}

void tst_wdgPLoggerGuiForm::addressValidator_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("state");
    QTest::newRow("plain address") << "192.168.0.10" << int(QValidator::Acceptable);
    QTest::newRow("with port") << "192.168.0.10:6000" << int(QValidator::Acceptable);
    QTest::newRow("out of range octet passes here") << "300.1.1.1" << int(QValidator::Acceptable);
    QTest::newRow("any separator") << "10,0x0;1" << int(QValidator::Acceptable);
    QTest::newRow("partial") << "192" << int(QValidator::Intermediate);
    QTest::newRow("trailing colon") << "10.0.0.1:" << int(QValidator::Intermediate);
    QTest::newRow("letter first") << "a" << int(QValidator::Invalid);
    QTest::newRow("host name") << "pbx.local" << int(QValidator::Invalid);
    QTest::newRow("four digits") << "1234.1.1.1" << int(QValidator::Invalid);
}

void tst_wdgPLoggerGuiForm::addressValidator()
{
    QFETCH(QString, text);
    QFETCH(int, state);
    const QValidator *validator = child<QLineEdit>("txtPAddress")->validator();
    QVERIFY(validator);
    int pos = 0;
    QCOMPARE(int(validator->validate(text, pos)), state);
}

void tst_wdgPLoggerGuiForm::enterMovesFocus()
{
    m_window->show();
    QApplication::setActiveWindow(m_window);
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    auto *address = child<QLineEdit>("txtPAddress");
    auto *user = child<QLineEdit>("txtUser");
    auto *password = child<QLineEdit>("txtPwd");

    address->setFocus();
    QTRY_VERIFY(address->hasFocus());
    address->setText(QStringLiteral("192"));  // not yet a whole address: Enter is not reported
    QTest::keyClick(address, Qt::Key_Return);
    QVERIFY(address->hasFocus());

    address->setText(QStringLiteral("192.168.0.10"));
    QTest::keyClick(address, Qt::Key_Return);
    QTRY_VERIFY(user->hasFocus());
    QTest::keyClick(user, Qt::Key_Return);
    QTRY_VERIFY(password->hasFocus());
}

void tst_wdgPLoggerGuiForm::tabOrder()
{
    m_window->show();
    QApplication::setActiveWindow(m_window);
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    const QStringList chain = {"txtPAddress", "btnDiscovery", "txtUser", "txtPwd", "btnConnect", "btClear",
                               "tbLogView"};  // btnSave is disabled until a login
    QWidget *first = child<QWidget>("txtPAddress");
    first->setFocus();
    QTRY_VERIFY(first->hasFocus());
    for (int i = 1; i < chain.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), chain[i]);
    }
}

QTEST_MAIN(tst_wdgPLoggerGuiForm)
#include "tst_wdgploggergui_form.moc"
