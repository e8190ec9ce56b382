#include "wdgploggergui.h"

#include "callflowview.h"
#include "callflowwindow.h"

#include "flushrows.h"
#include "quitreset.h"

#include "logmessagemodel.h"
#include "logviewselectitemdelegate.h"
#include "modalanswerer.h"
#include "pbxlinkglobal.h"
#include "popupanswerer.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// Emphasis from the context menu, and saving from the window.
class tst_wdgPLoggerGuiMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noMenuBelowLastRow();
    void menuEntries_data();
    void menuEntries();
    void selectValueComparesWholeText();
    void selectCallIncludesLaterRows();
    void callFlowHasItsCallsRowsAndLaterOnes();
    void actionActsOnClickedRowWhileRowsArrive();
    void viewHoldsWhileMenuOpen();
    void emphasisSurvivesClear();
    void saveWritesEveryRow();
    void saveCancelledWritesNothing();
    void saveFailureShowsBox();

private:
    void login();
    void receive(const QString &linkedId, const QString &verbosity, const QString &text,
                 const QStringList &extra = QStringList());
    void settle() { flushRows(m_window); }
    QPoint cellCenter(int row, int column) const;
    void openMenuAt(int row, int column);
    QString saveThroughDialog(const QString &path);
    QTableView *view() const { return m_window->findChild<QTableView *>(QStringLiteral("tbLogView")); }
    LogViewSelectItemDelegate *delegate() const
    {
        return qobject_cast<LogViewSelectItemDelegate *>(view()->itemDelegate());
    }
    wdgPLoggerGui *m_window = nullptr;
    QTemporaryDir m_dir;
};

void tst_wdgPLoggerGuiMenu::initTestCase()
{
    PBXLINK::registerMetaTypes();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QVERIFY(m_dir.isValid());
}

void tst_wdgPLoggerGuiMenu::init()
{
    m_window = new wdgPLoggerGui;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QVERIFY(delegate());
}

void tst_wdgPLoggerGuiMenu::cleanup()
{
    delete m_window;
    m_window = nullptr;
    clearQuitRequest();
}

void tst_wdgPLoggerGuiMenu::login()
{
    QVERIFY(QMetaObject::invokeMethod(m_window, "connectedToPlogger", Q_ARG(LoginDetails, LoginDetails())));
}

void tst_wdgPLoggerGuiMenu::receive(const QString &linkedId, const QString &verbosity, const QString &text,
                                    const QStringList &extra)
{
    DiagnosticMessage msg;
    msg.extraFields = extra;
    msg.linkedId = linkedId;
    msg.uniqueId = linkedId.isEmpty() ? QStringLiteral("u") : linkedId + QStringLiteral("-1");
    msg.verbosity = verbosity;
    msg.message = text;
    QVERIFY(QMetaObject::invokeMethod(m_window, "onPLoggerMessageReceived", Q_ARG(DiagnosticMessage, msg)));
}

QPoint tst_wdgPLoggerGuiMenu::cellCenter(int row, int column) const
{
    return view()->visualRect(view()->model()->index(row, column)).center();
}

void tst_wdgPLoggerGuiMenu::openMenuAt(int row, int column)
{
    QVERIFY(QMetaObject::invokeMethod(m_window, "onLogViewContextMenu", Q_ARG(QPoint, cellCenter(row, column))));
}

void tst_wdgPLoggerGuiMenu::noMenuBelowLastRow()
{
    login();
    receive(QStringLiteral("c1"), QStringLiteral("1"), QStringLiteral("only row"));
    settle();
    PopupAnswerer answerer(QString{});
    const QPoint below(10, view()->viewport()->height() - 2);
    QVERIFY(!view()->indexAt(below).isValid());
    QVERIFY(QMetaObject::invokeMethod(m_window, "onLogViewContextMenu", Q_ARG(QPoint, below)));
    QTest::qWait(50);
    QVERIFY(!answerer.answered());
}

void tst_wdgPLoggerGuiMenu::menuEntries_data()
{
    QTest::addColumn<QString>("linkedId");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("entries");
    const QString longText = QString(70, QLatin1Char('m')) + QString(50, QLatin1Char('n'));
    QTest::newRow("with a call") << "c1" << "short"
                                 << QStringList{"Seleziona valore 'short'", "Seleziona chiamata", "Flusso della chiamata",
                                               "Deseleziona tutto"};
    QTest::newRow("without a call") << "" << "short"
                                    << QStringList{"Seleziona valore 'short'", "Deseleziona tutto"};
    QTest::newRow("menu marks in the text") << "c1" << "a&b\tc"
                                           << QStringList{"Seleziona valore 'a&&b c'", "Seleziona chiamata",
                                                          "Flusso della chiamata", "Deseleziona tutto"};
    QTest::newRow("long text cut to 50")
        << "c1" << longText
        << QStringList{"Seleziona valore '" + QString(50, QLatin1Char('m')) + "...'", "Seleziona chiamata",
                       "Flusso della chiamata", "Deseleziona tutto"};
}

void tst_wdgPLoggerGuiMenu::menuEntries()
{
    QFETCH(QString, linkedId);
    QFETCH(QString, message);
    QFETCH(QStringList, entries);
    login();
    receive(linkedId, QStringLiteral("1"), message);
    settle();
    PopupAnswerer answerer(QString{});
    openMenuAt(0, 6);
    QVERIFY(answerer.answered());
    QCOMPARE(answerer.entries(), entries);
}

void tst_wdgPLoggerGuiMenu::selectValueComparesWholeText()
{
    login();
    const QString text120 = QString(60, QLatin1Char('a')) + QString(60, QLatin1Char('b'));
    receive(QStringLiteral("c1"), QStringLiteral("1"), text120);
    receive(QStringLiteral("c2"), QStringLiteral("1"), text120.left(119));
    receive(QStringLiteral("c3"), QStringLiteral("1"), text120);
    settle();
    PopupAnswerer answerer(QStringLiteral("Seleziona valore"));
    openMenuAt(0, 6);
    QCOMPARE(delegate()->selectedColumn(), 6);
    QCOMPARE(delegate()->selectedValue(), text120);

    PopupAnswerer clear(QStringLiteral("Deseleziona tutto"));
    openMenuAt(1, 6);
    QCOMPARE(delegate()->selectedColumn(), -1);
    QVERIFY(delegate()->selectedValue().isEmpty());
}

void tst_wdgPLoggerGuiMenu::selectCallIncludesLaterRows()
{
    login();
    receive(QStringLiteral("call-A"), QStringLiteral("1"), QStringLiteral("INVITE"));
    receive(QStringLiteral("call-B"), QStringLiteral("1"), QStringLiteral("other call"));
    settle();
    PopupAnswerer answerer(QStringLiteral("Seleziona chiamata"));
    openMenuAt(0, 2);
    QCOMPARE(delegate()->selectedColumn(), 1);
    QCOMPARE(delegate()->selectedValue(), QStringLiteral("call-A"));
    receive(QStringLiteral("call-A"), QStringLiteral("1"), QStringLiteral("BYE"));
    settle();
    QCOMPARE(view()->model()->index(2, 1).data().toString(), delegate()->selectedValue());
}

// The flow is drawn from the rows of the clicked row's call the table
// holds, those still on their way in included, and grows with later ones.
void tst_wdgPLoggerGuiMenu::callFlowHasItsCallsRowsAndLaterOnes()
{
    const auto sip = [](const char *what, const char *time) {
        return QStringList{"sip.src=127.0.0.1:5070", "sip.dst=127.0.0.1:5060", QStringLiteral("sip.method=") + what,
                           QStringLiteral("sip.time=") + time};
    };
    login();
    receive(QStringLiteral("call-A"), QStringLiteral("4"), QStringLiteral("INVITE ..."), sip("INVITE", "10.000000"));
    receive(QStringLiteral("call-B"), QStringLiteral("1"), QStringLiteral("other call"));
    settle();
    receive(QStringLiteral("call-A"), QStringLiteral("2"), QStringLiteral("routed"));
    PopupAnswerer answerer(QStringLiteral("Flusso della chiamata"));
    openMenuAt(0, 2);
    QVERIFY(answerer.answered());
    CallFlowWindow *flow = nullptr;
    QTRY_VERIFY((flow = m_window->findChild<CallFlowWindow *>()) && flow->isVisible());
    QCOMPARE(flow->windowTitle(), QStringLiteral("Flusso della chiamata call-A"));
    QCOMPARE(flow->model().rows().size(), 2);
    QCOMPARE(flow->model().messageCount(), 1);
    receive(QStringLiteral("call-B"), QStringLiteral("1"), QStringLiteral("still other"));
    receive(QStringLiteral("call-A"), QStringLiteral("4"), QStringLiteral("BYE ..."), sip("BYE", "11.000000"));
    QTRY_COMPARE(flow->model().rows().size(), 3);
    QCOMPARE(flow->model().events().last().label, QStringLiteral("BYE"));

    // A click on the call's log line brings its row of the table into view.
    for (int i = 0; i < 300; ++i)
        receive(QStringLiteral("call-B"), QStringLiteral("1"), QStringLiteral("filler %1").arg(i));
    settle();
    view()->scrollToBottom();
    const QModelIndex routed = view()->model()->index(2, 6);
    QCOMPARE(routed.data().toString(), QStringLiteral("routed"));
    QVERIFY(!view()->viewport()->rect().intersects(view()->visualRect(routed)));
    int line = -1;
    for (int i = 0; i < flow->model().events().size(); ++i) {
        if (!flow->model().events().at(i).message)
            line = i;
    }
    QVERIFY(line >= 0);
    QTest::mouseClick(flow->view(), Qt::LeftButton, {}, QPoint(150, flow->view()->rowTop(line) + 5));
    QTRY_VERIFY(view()->viewport()->rect().intersects(view()->visualRect(routed)));
}

void tst_wdgPLoggerGuiMenu::actionActsOnClickedRowWhileRowsArrive()
{
    login();
    receive(QStringLiteral("c1"), QStringLiteral("4"), QStringLiteral("debug row"));
    receive(QStringLiteral("c2"), QStringLiteral("1"), QStringLiteral("clicked row"));
    settle();
    PopupAnswerer answerer(QStringLiteral("Seleziona valore"));
    answerer.setBeforeChoice([this] {
        // While the menu is open the threshold drops and the clicked row moves up.
        auto *verbosity = m_window->findChild<QComboBox *>(QStringLiteral("cbVerbosity"));
        verbosity->setCurrentIndex(verbosity->findData(1));
    });
    openMenuAt(1, 6);
    QCOMPARE(delegate()->selectedValue(), QStringLiteral("clicked row"));
}

void tst_wdgPLoggerGuiMenu::viewHoldsWhileMenuOpen()
{
    login();
    for (int i = 0; i < 200; ++i)
        receive(QStringLiteral("c%1").arg(i), QStringLiteral("1"), QStringLiteral("row %1").arg(i));
    QTRY_COMPARE(view()->model()->rowCount(), 200);
    QScrollBar *bar = view()->verticalScrollBar();
    QTRY_COMPARE(bar->value(), bar->maximum());  // following the newest row
    const int clicked = view()->rowAt(view()->viewport()->height() / 2);
    const QString clickedText = view()->model()->index(clicked, 6).data().toString();
    PopupAnswerer answerer(QStringLiteral("Seleziona valore"));
    int valueBefore = -1;
    answerer.setBeforeChoice([&] {
        valueBefore = bar->value();
        for (int i = 200; i < 400; ++i)
            receive(QStringLiteral("c%1").arg(i), QStringLiteral("1"), QStringLiteral("row %1").arg(i));
        qobject_cast<LogMessageModel *>(qobject_cast<QSortFilterProxyModel *>(view()->model())->sourceModel())
            ->flushPending();
    });
    openMenuAt(clicked, 6);
    QVERIFY(answerer.answered());
    QCOMPARE(view()->model()->rowCount(), 400);
    QCOMPARE(bar->value(), valueBefore);  // the clicked row stayed where it was
    QCOMPARE(delegate()->selectedValue(), clickedText);
}

void tst_wdgPLoggerGuiMenu::emphasisSurvivesClear()
{
    login();
    receive(QStringLiteral("c1"), QStringLiteral("2"), QStringLiteral("x"));
    settle();
    PopupAnswerer answerer(QStringLiteral("Seleziona valore"));
    openMenuAt(0, 4);  // the level column
    m_window->findChild<QPushButton *>(QStringLiteral("btClear"))->click();
    QCOMPARE(view()->model()->rowCount(), 0);
    QCOMPARE(delegate()->selectedColumn(), 4);
    QVERIFY(!delegate()->selectedValue().isEmpty());
}

QString tst_wdgPLoggerGuiMenu::saveThroughDialog(const QString &path)
{
    // Fills in the save dialog when it opens; an empty path cancels it.
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer.stop();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // Type the name and press Enter, as the administrator would.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        QTest::keyClick(name, Qt::Key_Return);
    });
    timer.start();
    m_window->findChild<QPushButton *>(QStringLiteral("btnSave"))->click();
    return path;
}

void tst_wdgPLoggerGuiMenu::saveWritesEveryRow()
{
    login();
    receive(QStringLiteral("c1"), QStringLiteral("1"), QStringLiteral("one\ntwo"));
    receive(QStringLiteral("c1"), QStringLiteral("4"), QStringLiteral("hidden by the threshold"));
    auto *verbosity = m_window->findChild<QComboBox *>(QStringLiteral("cbVerbosity"));
    verbosity->setCurrentIndex(verbosity->findData(1));
    const QString path = m_dir.filePath(QStringLiteral("saved.txt"));
    // rows still being gathered are saved too: no settle() here
    saveThroughDialog(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("UniqueID\tV\tTimestamp\tMessaggio\n"
                                        "c1-1\tWARNING\t\tone\n\t\t\t\t\t\ttwo\n"
                                        "c1-1\tDEBUG\t\thidden by the threshold\n"));
}

void tst_wdgPLoggerGuiMenu::saveCancelledWritesNothing()
{
    login();
    ModalAnswerer boxes(QStringLiteral("Ok"));
    saveThroughDialog(QString());
    QCOMPARE(boxes.count(), 0);
}

void tst_wdgPLoggerGuiMenu::saveFailureShowsBox()
{
    login();
    receive(QStringLiteral("c1"), QStringLiteral("1"), QStringLiteral("x"));
    const QString path = m_dir.filePath(QStringLiteral("earlier.txt"));
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier log\n");
    earlier.close();

    ModalAnswerer boxes(QStringLiteral("Yes"));  // replace the earlier file; the error box has only Ok
    // A file-size limit of a few bytes makes the write fail, whoever runs the test.
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 8;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    saveThroughDialog(path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    // The dialog first asks before replacing the earlier file; then the error.
    QTRY_COMPARE(boxes.count(), 2);
    QCOMPARE(boxes.boxes().last().title, QStringLiteral("Errore di salvataggio"));
    QVERIFY2(boxes.boxes().last().text.startsWith(QStringLiteral("Impossibile salvare il log su \"") + path + "\": "),
             qPrintable(boxes.boxes().last().text));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("earlier log\n"));
}

QTEST_MAIN(tst_wdgPLoggerGuiMenu)
#include "tst_wdgploggergui_menu.moc"
