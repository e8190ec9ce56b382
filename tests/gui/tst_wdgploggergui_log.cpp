#include "wdgploggergui.h"

#include "flushrows.h"
#include "quitreset.h"

#include "formchild.h"
#include "loggerverbosity.h"
#include "logmessagemodel.h"
#include "pbxlinkglobal.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>
#include <QTextLayout>
#include <QtTest>

// The window's log and command slots, driven directly as the link would
// drive them, without a connection.
class tst_wdgPLoggerGuiLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dropsMessagesBeforeFirstLogin();
    void keepsLoggingAfterDisconnect();
    void cellsAndLevelNames_data();
    void cellsAndLevelNames();
    void longMessagesAreCut_data();
    void longMessagesAreCut();
    void thresholdHidesAndRestoresRows();
    void featuresDecideTenantControls_data();
    void featuresDecideTenantControls();
    void tenantItemsInKeyOrder();
    void commandParameterField_data();
    void commandParameterField();
    void commandResponseRows_data();
    void commandResponseRows();
    void clearKeepsColumns();
    void followsNewestRow();
    void holdsViewWhenScrolledUp_data();
    void holdsViewWhenScrolledUp();
    void rowHeightsFollowWidth_data();
    void rowHeightsFollowWidth();
    void findBar();

private:
    void login();
    void receive(const DiagnosticMessage &msg);
    void receive(const QString &verbosity, const QString &text);
    QStringList shownMessages() const;
    QStringList misfitRows() const;
    QTableView *view() const { return m_window->findChild<QTableView *>(QStringLiteral("tbLogView")); }
    QAbstractItemModel *table() const { return view()->model(); }
    wdgPLoggerGui *m_window = nullptr;
};

void tst_wdgPLoggerGuiLog::initTestCase()
{
    PBXLINK::registerMetaTypes();
}

void tst_wdgPLoggerGuiLog::init()
{
    m_window = new wdgPLoggerGui;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void tst_wdgPLoggerGuiLog::cleanup()
{
    delete m_window;
    m_window = nullptr;
    clearQuitRequest();
}

void tst_wdgPLoggerGuiLog::login()
{
    QVERIFY(QMetaObject::invokeMethod(m_window, "connectedToPlogger", Q_ARG(LoginDetails, LoginDetails())));
}

void tst_wdgPLoggerGuiLog::receive(const DiagnosticMessage &msg)
{
    QVERIFY(QMetaObject::invokeMethod(m_window, "onPLoggerMessageReceived", Q_ARG(DiagnosticMessage, msg)));
}

void tst_wdgPLoggerGuiLog::receive(const QString &verbosity, const QString &text)
{
    DiagnosticMessage msg;
    msg.verbosity = verbosity;
    msg.message = text;
    msg.uniqueId = QStringLiteral("1700000000.1");
    receive(msg);
}

// Messages of the rows the view shows, once everything gathered is in.
QStringList tst_wdgPLoggerGuiLog::shownMessages() const
{
    flushRows(m_window);
    QStringList texts;
    for (int r = 0; r < table()->rowCount(); ++r)
        texts << table()->index(r, 6).data().toString();
    return texts;
}

// Rows on view whose height is not what their text needs at the width
// they are shown at, as the view itself would measure them.
QStringList tst_wdgPLoggerGuiLog::misfitRows() const
{
    const QAbstractItemView *shown = view();
    const int top = view()->rowAt(0);
    int bottom = view()->rowAt(view()->viewport()->height() - 1);
    if (bottom < 0)
        bottom = table()->rowCount() - 1;
    QStringList misfits;
    for (int row = qMax(top, 0); top >= 0 && row <= bottom; ++row) {
        if (view()->rowHeight(row) != shown->sizeHintForRow(row))
            misfits << QStringLiteral("row %1: %2 px, needs %3").arg(row).arg(view()->rowHeight(row)).arg(shown->sizeHintForRow(row));
    }
    return misfits;
}

void tst_wdgPLoggerGuiLog::dropsMessagesBeforeFirstLogin()
{
    receive(QStringLiteral("1"), QStringLiteral("early"));
    login();
    receive(QStringLiteral("1"), QStringLiteral("after login"));
    QCOMPARE(shownMessages(), QStringList{"after login"});
}

void tst_wdgPLoggerGuiLog::keepsLoggingAfterDisconnect()
{
    login();
    QVERIFY(QMetaObject::invokeMethod(m_window, "disconnectedFromP", Q_ARG(QString, QStringLiteral("UserRequest"))));
    receive(QStringLiteral("2"), QStringLiteral("late"));
    QCOMPARE(shownMessages(), QStringList{"late"});
    QCOMPARE(m_window->findChild<QLabel *>(QStringLiteral("lblStatusText"))->text(), QStringLiteral("Stato: Disconnesso"));
    QVERIFY(m_window->findChild<QWidget *>(QStringLiteral("btnSave"))->isEnabled());
}

void tst_wdgPLoggerGuiLog::cellsAndLevelNames_data()
{
    QTest::addColumn<QString>("verbosity");
    QTest::addColumn<int>("level");
    QTest::newRow("3") << "3" << 3;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("not a number") << "loud" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("command") << "-1" << -1;
}

void tst_wdgPLoggerGuiLog::cellsAndLevelNames()
{
    QFETCH(QString, verbosity);
    QFETCH(int, level);
    login();
    DiagnosticMessage msg;
    msg.tenantUuid = QStringLiteral("t-uuid");
    msg.linkedId = QStringLiteral("linked");
    msg.uniqueId = QStringLiteral("unique");
    msg.messageId = QStringLiteral("msg-id");
    msg.timestamp = QStringLiteral("2026-12-07 10:00:00.123");
    msg.verbosity = verbosity;
    msg.message = QStringLiteral("text");
    msg.extraFields = QStringList{"not shown"};
    receive(msg);
    QCOMPARE(shownMessages().size(), 1);
    const QStringList expected = {"t-uuid", "linked", "unique", "msg-id", LOGGER::verbosityIntToString(level),
                                  "2026-12-07 10:00:00.123", "text"};
    for (int c = 0; c < 7; ++c) {
        QCOMPARE(table()->index(0, c).data().toString(), expected[c]);
        QCOMPARE(table()->flags(table()->index(0, c)), Qt::ItemIsEnabled);
    }
}

void tst_wdgPLoggerGuiLog::longMessagesAreCut_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    const QString limit(50000, QLatin1Char('a'));
    QTest::newRow("exactly the limit") << limit << limit;
    QTest::newRow("line end ten past the limit")
        << limit + QString(10, QLatin1Char('b')) + QStringLiteral("\nrest")
        << limit + QString(10, QLatin1Char('b')) + QStringLiteral("\n...");
    QTest::newRow("line end right at the limit") << limit + QStringLiteral("\nrest") << limit + QStringLiteral("\n...");
    QTest::newRow("line end only before the limit")
        << QStringLiteral("head\n") + limit + QStringLiteral("tail")
        << (QStringLiteral("head\n") + limit).left(50000) + QStringLiteral("...");
    const QString emoji = QString::fromUcs4(U"\U0001F600");
    QTest::newRow("character outside the BMP across the limit")
        << QString(49999, QLatin1Char('a')) + emoji + QStringLiteral("tail")
        << QString(49999, QLatin1Char('a')) + QStringLiteral("...");
    QTest::newRow("line end megabytes past the limit")
        << limit + QString(3000000, QLatin1Char('x')) + "\nrest" << limit + "...";
    QTest::newRow("one huge line") << QString(3000000, QLatin1Char('x')) << QString(50000, QLatin1Char('x')) + "...";
    const QString nul = QString::fromUtf8("before\0after", 12);
    QTest::newRow("NUL inside") << nul << nul;
}

void tst_wdgPLoggerGuiLog::longMessagesAreCut()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    login();
    receive(QStringLiteral("1"), message);
    const QStringList rows = shownMessages();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().size(), shown.size());
    QVERIFY(rows.first() == shown);
}

void tst_wdgPLoggerGuiLog::thresholdHidesAndRestoresRows()
{
    login();
    for (int level : {4, 0, 3, -1, 2, 4})
        receive(QString::number(level), QStringLiteral("L%1").arg(level));
    QCOMPARE(shownMessages(), (QStringList{"L4", "L0", "L3", "L-1", "L2", "L4"}));

    auto *verbosity = m_window->findChild<QComboBox *>(QStringLiteral("cbVerbosity"));
    verbosity->setCurrentIndex(verbosity->findData(2));
    QCOMPARE(shownMessages(), (QStringList{"L0", "L-1", "L2"}));
    verbosity->setCurrentIndex(verbosity->findData(-1));
    QCOMPARE(shownMessages(), (QStringList{"L-1"}));
    receive(QStringLiteral("0"), QStringLiteral("new L0"));  // judged against the threshold in force
    QCOMPARE(shownMessages(), (QStringList{"L-1"}));
    verbosity->setCurrentIndex(verbosity->findData(4));
    QCOMPARE(shownMessages(), (QStringList{"L4", "L0", "L3", "L-1", "L2", "L4", "new L0"}));
}

void tst_wdgPLoggerGuiLog::featuresDecideTenantControls_data()
{
    QTest::addColumn<QStringList>("features");
    QTest::addColumn<bool>("tenants");
    QTest::newRow("none") << QStringList() << false;
    QTest::newRow("tenant events") << QStringList{"SUBSCRIBE_TENANT_EVENTS", "SEND_CMD"} << true;
    QTest::newRow("wrong case") << QStringList{"subscribe_tenant_events"} << false;
}

void tst_wdgPLoggerGuiLog::featuresDecideTenantControls()
{
    QFETCH(QStringList, features);
    QFETCH(bool, tenants);
    auto *cmd = m_window->findChild<QWidget *>(QStringLiteral("wdgCmd"));
    QVERIFY(QMetaObject::invokeMethod(m_window, "onFeaturesReceived", Q_ARG(QStringList, features)));
    QCOMPARE(m_window->findChild<QWidget *>(QStringLiteral("cbTenant"))->isVisible(), tenants);
    QCOMPARE(m_window->findChild<QWidget *>(QStringLiteral("lblTenant"))->isVisible(), tenants);
    QCOMPARE(view()->isColumnHidden(0), !tenants);
    // Without a link (a list still queued after the connection ended) the
    // command bar keeps its state.
    QVERIFY(!cmd->isVisible());
}

void tst_wdgPLoggerGuiLog::tenantItemsInKeyOrder()
{
    QMap<QString, QString> tenants;
    tenants.insert(QStringLiteral("b"), QStringLiteral("Beta"));
    tenants.insert(QStringLiteral("a"), QString());
    QVERIFY(QMetaObject::invokeMethod(m_window, "onTenantListReceived", QArgument<QMap<QString, QString>>("QMap<QString,QString>", tenants)));
    auto *cb = m_window->findChild<QComboBox *>(QStringLiteral("cbTenant"));
    QCOMPARE(cb->count(), 3);
    QCOMPARE(cb->itemText(0), QStringLiteral("Nessuno"));
    QCOMPARE(cb->itemData(0).toString(), QString());
    QCOMPARE(cb->itemText(1), QStringLiteral("a"));
    QCOMPARE(cb->itemData(1).toString(), QStringLiteral("a"));
    QCOMPARE(cb->itemText(2), QStringLiteral("Beta"));
    QCOMPARE(cb->itemData(2).toString(), QStringLiteral("b"));
    QCOMPARE(cb->currentIndex(), 0);
    cb->setCurrentIndex(2);  // not connected: nothing to send, nothing breaks
}

void tst_wdgPLoggerGuiLog::commandParameterField_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("field");
    QTest::newRow("ping") << "ping" << true;
    QTest::newRow("traceroute") << "traceroute" << true;
    QTest::newRow("host") << "host" << true;
    QTest::newRow("sip show peers") << "sip show peers" << false;
    QTest::newRow("core show hints") << "core show hints" << false;
}

void tst_wdgPLoggerGuiLog::commandParameterField()
{
    QFETCH(QString, command);
    QFETCH(bool, field);
    auto *cb = m_window->findChild<QComboBox *>(QStringLiteral("cbCmd"));
    auto *params = m_window->findChild<QLineEdit *>(QStringLiteral("leCmdParams"));
    params->setText(QStringLiteral("127.0.0.1"));
    cb->setCurrentText(command);
    QCOMPARE(!params->isHidden(), field);
    QCOMPARE(params->text(), QStringLiteral("127.0.0.1"));  // kept while hidden
    // What the field takes, once emptied.
    QCOMPARE(params->placeholderText(), QStringLiteral("indirizzo o nome host"));
    QVERIFY(params->fontMetrics().horizontalAdvance(params->placeholderText()) < params->minimumWidth());
}

void tst_wdgPLoggerGuiLog::commandResponseRows_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("executed");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("message");

    const QString framed = QStringLiteral("Response: Follows\nPrivilege: Command\nName\n--END COMMAND--");
    QTest::newRow("exchange command, framing removed")
        << "sip show peers" << true << 0 << framed << ""
        << "Command: sip show peers\nExecution finished with exitCode 0\n\nName";
    QTest::newRow("network command keeps the framing")
        << "ping" << true << 0 << framed << "" << "Command: ping\nExecution finished with exitCode 0\n\n" + framed;
    QTest::newRow("failed") << "core show hints" << false << 2 << "" << ""
                            << "Command: core show hints\nExecution failed with errorCode 2\n\n";
    QTest::newRow("failed with the exchange's reason")
        << "sip show registry" << false << 500 << "" << "Kamailio answered error 500: no such registration"
        << "Command: sip show registry\nExecution failed with errorCode 500\nKamailio answered error 500: no such "
           "registration\n\n";
    QTest::newRow("framing in the wrong case stays")
        << "sip show registry" << true << 0 << "response: follows\nx" << ""
        << "Command: sip show registry\nExecution finished with exitCode 0\n\nresponse: follows\nx";
}

void tst_wdgPLoggerGuiLog::commandResponseRows()
{
    QFETCH(QString, command);
    QFETCH(bool, executed);
    QFETCH(int, code);
    QFETCH(QString, output);
    QFETCH(QString, detail);
    QFETCH(QString, message);
    login();
    ServerCommandResponse response;
    response.commandId = QStringLiteral("{00000000-0000-0000-0000-000000000001}");
    response.command = command;
    response.executed = executed;
    response.code = code;
    response.output = output;
    response.detail = detail;
    response.timestamp = QStringLiteral("12:00:00");
    QVERIFY(QMetaObject::invokeMethod(m_window, "onCommandMessageReceived",
                                      Q_ARG(ServerCommandResponse, response)));
    QCOMPARE(shownMessages(), QStringList{message});
    QCOMPARE(table()->index(0, 3).data().toString(), response.commandId);
    QCOMPARE(table()->index(0, 4).data().toString(), LOGGER::verbosityIntToString(-1));
    QCOMPARE(table()->index(0, 5).data().toString(), QStringLiteral("12:00:00"));
    QVERIFY(table()->index(0, 2).data().toString().isEmpty());
}

void tst_wdgPLoggerGuiLog::clearKeepsColumns()
{
    login();
    receive(QStringLiteral("1"), QStringLiteral("one"));
    receive(QStringLiteral("1"), QStringLiteral("two"));
    QCOMPARE(shownMessages().size(), 2);
    QMetaObject::invokeMethod(m_window, "onTableClear");
    QCOMPARE(table()->rowCount(), 0);
    QVERIFY(view()->isColumnHidden(1));
    QCOMPARE(view()->columnWidth(5), 200);
    receive(QStringLiteral("1"), QStringLiteral("three"));
    QCOMPARE(shownMessages(), QStringList{"three"});
}

void tst_wdgPLoggerGuiLog::followsNewestRow()
{
    login();
    for (int i = 0; i < 300; ++i)
        receive(QStringLiteral("1"), QStringLiteral("line %1\nsecond line").arg(i));
    QCOMPARE(shownMessages().size(), 300);
    QScrollBar *bar = view()->verticalScrollBar();
    QTRY_COMPARE(bar->value(), bar->maximum());
    // Multi-line messages get rows tall enough for both lines.
    QVERIFY(view()->rowHeight(299) >= 2 * view()->fontMetrics().height());

    bar->setValue(0);
    auto *verbosity = m_window->findChild<QComboBox *>(QStringLiteral("cbVerbosity"));
    verbosity->setCurrentIndex(verbosity->findData(0));
    receive(QStringLiteral("4"), QStringLiteral("hidden by the threshold"));
    flushRows(m_window);
    QTRY_COMPARE(bar->value(), bar->maximum());
}

void tst_wdgPLoggerGuiLog::holdsViewWhenScrolledUp_data()
{
    QTest::addColumn<int>("maxRows");
    QTest::addColumn<int>("threshold");  // -2: unchanged
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<QString>("tail");  // after each message's first line
    QTest::addColumn<QString>("back");  // how the user goes back to the end

    QTest::newRow("rows arrive below") << 0 << -2 << "" << "" << "Ctrl+End";
    QTest::newRow("oldest rows dropped") << 400 << -2 << "Righe più vecchie scartate: 200" << "" << "Ctrl+End";
    QTest::newRow("threshold changes") << 0 << 1 << "" << "" << "Ctrl+End";
    // Rows measured as they come into view grow the scroll range under the
    // user's move to the end.
    QTest::newRow("tall rows, Ctrl+End") << 0 << -2 << "" << "\nsecond line" << "Ctrl+End";
    QTest::newRow("tall rows, wheel") << 0 << -2 << "" << "\nsecond line" << "wheel";
    QTest::newRow("tall rows, scroll bar") << 0 << -2 << "" << "\nsecond line" << "bar";
}

void tst_wdgPLoggerGuiLog::holdsViewWhenScrolledUp()
{
    QFETCH(int, maxRows);
    QFETCH(int, threshold);
    QFETCH(QString, dropped);
    QFETCH(QString, tail);
    QFETCH(QString, back);
    auto *model = qobject_cast<LogMessageModel *>(qobject_cast<QSortFilterProxyModel *>(table())->sourceModel());
    model->setMaxRows(maxRows);
    auto *droppedLabel = formChild<QLabel>(m_window, "lblDropped");
    login();
    auto batch = [&](int from) {
        for (int i = from; i < from + 300; ++i)
            receive(QString::number(i % 2 ? 3 : 1), QStringLiteral("line %1").arg(i) + tail);
    };
    batch(0);
    QTRY_COMPARE(table()->rowCount(), 300);
    QScrollBar *bar = view()->verticalScrollBar();
    QTRY_COMPARE(bar->value(), bar->maximum());
    QVERIFY(droppedLabel->isHidden());

    // The user scrolls up: the view holds still while rows keep coming.
    view()->scrollTo(table()->index(250, 6), QAbstractItemView::PositionAtTop);
    auto topText = [this] { return table()->index(view()->rowAt(0), 6).data().toString(); };
    QCOMPARE(topText(), QStringLiteral("line 250") + tail);
    if (threshold != -2) {
        auto *verbosity = m_window->findChild<QComboBox *>(QStringLiteral("cbVerbosity"));
        verbosity->setCurrentIndex(verbosity->findData(threshold));
    }
    batch(300);
    QTRY_VERIFY(model->pendingCount() == 0 && model->rowCount() + model->droppedCount() == 600);
    QCOMPARE(topText(), QStringLiteral("line 250") + tail);
    QVERIFY(bar->value() < bar->maximum());
    QCOMPARE(droppedLabel->isHidden(), dropped.isEmpty());
    if (!dropped.isEmpty())
        QCOMPARE(droppedLabel->text(), dropped);

    // Back at the end, by any means, the view follows again.
    if (back == QLatin1String("Ctrl+End")) {
        view()->setFocus();
        QTest::keyClick(view(), Qt::Key_End, Qt::ControlModifier);
    } else if (back == QLatin1String("wheel")) {
        // Until the bar reaches the end it showed before the turn.
        const QPoint at = view()->viewport()->rect().center();
        int end = 0;
        for (int turn = 0; turn < 1000 && (turn == 0 || bar->value() < end); ++turn) {
            end = bar->maximum();
            QWheelEvent wheel(at, view()->viewport()->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(view()->viewport(), &wheel);
        }
    } else {
        bar->setSliderDown(true);
        bar->setSliderPosition(bar->maximum());
        bar->setSliderDown(false);
    }
    QCOMPARE(bar->value(), bar->maximum());
    batch(600);
    QTRY_VERIFY(model->pendingCount() == 0 && model->rowCount() + model->droppedCount() == 900);
    QTRY_COMPARE(bar->value(), bar->maximum());
    QMetaObject::invokeMethod(m_window, "onTableClear");
    QVERIFY(droppedLabel->isHidden());
}

void tst_wdgPLoggerGuiLog::rowHeightsFollowWidth_data()
{
    QTest::addColumn<int>("width");  // of the window afterwards; 0: unchanged, -1: the narrowest
    QTest::addColumn<bool>("scrollBarAppears");
    QTest::newRow("wider window") << 1600 << false;
    QTest::newRow("narrowest window") << -1 << false;
    QTest::newRow("scroll bar appears") << 0 << true;
}

void tst_wdgPLoggerGuiLog::rowHeightsFollowWidth()
{
    QFETCH(int, width);
    QFETCH(bool, scrollBarAppears);
    login();
    QScrollBar *bar = view()->verticalScrollBar();
    if (scrollBarAppears) {
        // A tall row measured while the table still has room for it, whose
        // last line fits the message column without the bar, not beside it.
        receive(QStringLiteral("-1"), QStringLiteral("reply\n").repeated(12));
        flushRows(m_window);
        QVERIFY(!bar->isVisible());
        // The message column has settled to the width of the table.
        QTRY_COMPARE(view()->horizontalHeader()->length(), view()->viewport()->width());
        const QStyle *style = view()->style();
        const int margins = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view()) + 1);
        const int barWidth = style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, bar);
        // Measured as the view lays its text out.
        const QString lastLine = QStringLiteral("4 packets transmitted, 4 received, 0% packet loss, time 3004ms");
        QTextLayout layout(lastLine, view()->font());
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e6);
        const int textWidth = qCeil(line.naturalTextWidth());
        layout.endLayout();
        const int column = textWidth + margins + barWidth / 2;
        m_window->resize(m_window->width() + column - view()->columnWidth(6), m_window->height());
        QTRY_COMPARE(view()->columnWidth(6), column);
        receive(QStringLiteral("-1"), QStringLiteral("reply\n").repeated(20) + lastLine);
    } else {
        for (int i = 0; i < 40; ++i)
            receive(QStringLiteral("1"), QStringLiteral("word ").repeated(60 + i));
    }
    flushRows(m_window);
    QTRY_VERIFY(bar->isVisible());
    if (width != 0) {
        QTRY_VERIFY2(misfitRows().isEmpty(), qPrintable(misfitRows().join(QLatin1String("; "))));
        m_window->resize(qMax(width, 1), m_window->height());  // 1: as narrow as it goes
        QTRY_COMPARE(m_window->width(), width > 0 ? width : m_window->minimumWidth());
    }
    QTRY_VERIFY2(misfitRows().isEmpty(), qPrintable(misfitRows().join(QLatin1String("; "))));
}

void tst_wdgPLoggerGuiLog::findBar()
{
    auto *bar = formChild<QWidget>(m_window, "findBar");
    auto *text = formChild<QLineEdit>(m_window, "leFind");
    auto *counter = formChild<QLabel>(m_window, "lblFindCount");
    QVERIFY(bar->isHidden());
    login();
    for (int i = 0; i < 300; ++i)
        receive(QStringLiteral("1"), QStringLiteral("call %1 from 20%2").arg(i).arg(i % 3));
    QTRY_COMPARE(table()->rowCount(), 300);

    QTest::keyClick(view(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(!bar->isHidden());
    QVERIFY(text->hasFocus());
    QTest::keyClicks(text, QStringLiteral("CALL 42 "));
    QTRY_COMPARE(counter->text(), QStringLiteral("1 di 1"));
    QVERIFY(view()->visualRect(table()->index(42, 6)).intersects(view()->viewport()->rect()));

    view()->scrollToTop();  // a search starts from the top row on view
    text->setText(QStringLiteral("from 201"));
    QTRY_COMPARE(counter->text(), QStringLiteral("1 di 100"));
    QTest::keyClick(text, Qt::Key_Return);
    QCOMPARE(counter->text(), QStringLiteral("2 di 100"));
    QTest::keyClick(text, Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyClick(text, Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(counter->text(), QStringLiteral("100 di 100"));
    receive(QStringLiteral("1"), QStringLiteral("call 300 from 201"));
    QTRY_COMPARE(counter->text(), QStringLiteral("100 di 101"));  // counted as it comes

    text->setText(QStringLiteral("nobody"));
    QTRY_COMPARE(counter->text(), QStringLiteral("Nessun risultato"));
    QTest::keyClick(text, Qt::Key_Escape);
    QVERIFY(bar->isHidden());
    QVERIFY(view()->hasFocus());
}

QTEST_MAIN(tst_wdgPLoggerGuiLog)
#include "tst_wdgploggergui_log.moc"
