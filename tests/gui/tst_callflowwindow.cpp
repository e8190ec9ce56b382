#include "callflowview.h"
#include "callflowwindow.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QRegularExpression>
#include <QComboBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

namespace {

DiagnosticMessage sipRow(const QString &src, const QString &dst, const QString &what, const QString &time,
                         const QString &branch = QStringLiteral("z1"))
{
    DiagnosticMessage m;
    m.linkedId = QStringLiteral("call-1");
    m.verbosity = QStringLiteral("4");
    m.extraFields << "sip.src=" + src << "sip.dst=" + dst;
    if (what.at(0).isDigit())
        m.extraFields << "sip.status=" + what.left(3) << "sip.reason=" + what.mid(4);
    else
        m.extraFields << "sip.method=" + what;
    m.extraFields << "sip.cseq=1 INVITE" << "sip.branch=" + branch << "sip.time=" + time;
    m.message = "SIP from " + src + " to " + dst + " (UDP)\n" + what + " sip:b@x SIP/2.0\nCall-ID: call-1";
    return m;
}

DiagnosticMessage logRow(const QString &text, const QString &timestamp, int level = 3)
{
    DiagnosticMessage m;
    m.linkedId = QStringLiteral("call-1");
    m.verbosity = QString::number(level);
    m.timestamp = timestamp;
    m.message = text;
    return m;
}

// What no window may show: C0 and C1 controls (line ends and tabs aside
// where a text may span lines), format characters such as bidi overrides.
bool hasHidden(const QString &text, bool multiLine)
{
    for (QChar c : text) {
        if (multiLine && (c == QLatin1Char('\n') || c == QLatin1Char('\t')))
            continue;
        const QChar::Category k = c.category();
        if (k == QChar::Other_Control || k == QChar::Other_Format || k == QChar::Separator_Line
            || k == QChar::Separator_Paragraph)
            return true;
    }
    return false;
}

// An SVG may carry a control character as a character reference.
bool hasHiddenReference(const QString &svg)
{
    static const QRegularExpression reference(QStringLiteral("&#(x?)([0-9a-fA-F]+);"));
    for (auto it = reference.globalMatch(svg); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const uint code = m.captured(2).toUInt(nullptr, m.captured(1).isEmpty() ? 10 : 16);
        if (code > 0xffff || hasHidden(QString(QChar(code)), true))
            return true;
    }
    return false;
}

QString svgOf(CallFlowWindow &window, const QString &path)
{
    QString error;
    if (!window.saveImage(path, &error))
        return QStringLiteral("error: ") + error;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

class tst_CallFlowWindow : public QObject
{
    Q_OBJECT

private slots:
    void hostileExtraDrawsPlain_data();
    void hostileExtraDrawsPlain();
    void savedImageByName_data();
    void savedImageByName();
    void saveAsksThroughDialog();
    void clickShowsMessageOrRow();
    void levelFilterHidesOnlyLines();
    void liveRowsKeepViewInPlace();
    void headsStayInSight();
    void hoverShowsAbsoluteTimeAsPlainText();

private:
    QTemporaryDir m_dir;
};

void tst_CallFlowWindow::hostileExtraDrawsPlain_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("message");

    const QString controls = QStringLiteral("a\x01\x1b[31m\x7f") + QChar(0x85) + QChar(0x202e) + QChar(0x2028)
        + QStringLiteral("z\r\n\t");
    QTest::newRow("huge fields") << QStringList{"sip.src=" + QString(300000, 'a') + ":5060",
                                                "sip.dst=1.1.1.1:5060", "sip.method=" + QString(100000, 'I'),
                                                "sip.reason=" + QString(200000, 'r'), "sip.time=1.000000"}
                                 << QString(500000, 'm');
    QTest::newRow("control characters in every field")
        << QStringList{"sip.src=1.1.1.1:50" + controls, "sip.dst=" + controls, "sip.method=INV" + controls,
                       "sip.time=1.0000" + controls, controls + "=" + controls}
        << controls + "text" + controls;
    QTest::newRow("control characters in a valid answer's reason and branch")
        << QStringList{"sip.src=1.1.1.1:5060", "sip.dst=2.2.2.2:5060", "sip.status=486",
                       "sip.reason=Busy" + controls, "sip.branch=z" + controls, "sip.cseq=1" + controls,
                       "sip.time=1.000000"}
        << "SIP/2.0 486 Busy" + controls;
    QStringList junk;
    for (int i = 0; i < 16; ++i)
        junk << QStringLiteral("sip.%1%2=%3").arg(i).arg(controls).arg(QString(i * 700, QChar(0xd800 + i)));
    QTest::newRow("16 junk fields") << junk << QString();
    QTest::newRow("lone surrogates and NULs")
        << QStringList{QStringLiteral("sip.src=") + QChar(0xdc00) + QChar(0) + ":1", "sip.method=" + QString(QChar(0xd800)),
                       "sip.time=" + QString(QChar(0))}
        << QString(QChar(0)) + QChar(0xdfff);
}

// Whatever a peer put in the extra fields, the ladder draws, saves and shows
// its texts without a control character and within bounds.
void tst_CallFlowWindow::hostileExtraDrawsPlain()
{
    QFETCH(QStringList, extra);
    QFETCH(QString, message);
    DiagnosticMessage hostile;
    hostile.linkedId = QStringLiteral("call\x1b[2J") + QChar(0x202e);
    hostile.verbosity = QStringLiteral("\x01");
    hostile.timestamp = QStringLiteral("2024\x00-01-01");
    hostile.extraFields = extra;
    hostile.message = message;
    const QVector<DiagnosticMessage> rows{hostile, sipRow("1.1.1.1:5060", "2.2.2.2:5060", "INVITE", "0.500000"),
                                          hostile};
    CallFlowWindow window(hostile.linkedId, rows, QStringLiteral("server\x07"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!hasHidden(window.windowTitle(), false));
    for (const CallFlowModel::Column &c : window.model().columns()) {
        QVERIFY(!hasHidden(c.address + c.role, false));
        QVERIFY(c.address.size() <= CallFlowModel::MaxLabelLength + 3);
    }
    for (int i = 0; i < window.model().events().size(); ++i) {
        const CallFlowModel::Event &e = window.model().events().at(i);
        QVERIFY(!hasHidden(e.label + e.cseq + e.branch, false));
        QVERIFY(e.label.size() <= CallFlowModel::MaxLineLength + 3);
        emit window.view()->eventClicked(i);
        QVERIFY(!hasHidden(window.detailText(), true));
    }
    QVERIFY(!window.view()->grab().isNull());
    const QString svg = svgOf(window, m_dir.filePath(QStringLiteral("hostile.svg")));
    QVERIFY2(svg.startsWith(QLatin1String("<?xml")), qPrintable(svg.left(200)));
    QVERIFY(!hasHidden(svg, true));
    QVERIFY(!hasHiddenReference(svg));
}

void tst_CallFlowWindow::savedImageByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("svg") << "flow.svg" << QByteArray("<?xml");
    QTest::newRow("SVG in capitals") << "flow.SVG" << QByteArray("<?xml");
    QTest::newRow("png") << "flow.png" << QByteArray("\x89PNG");
    QTest::newRow("no suffix: PNG") << "flow" << QByteArray("\x89PNG");
}

void tst_CallFlowWindow::savedImageByName()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, start);
    CallFlowWindow window(QStringLiteral("call-1"),
                          {sipRow("10.0.0.1:5070", "127.0.0.1:5060", "INVITE", "5.000000"),
                           logRow("relaying to voicemail", QString()),
                           sipRow("127.0.0.1:5060", "10.0.0.1:5070", "486 Busy Here", "5.250000")});
    const QString path = m_dir.filePath(name);
    QString error;
    QVERIFY2(window.saveImage(path, &error), qPrintable(error));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith(start));
    if (start == "<?xml") {
        // Labels stay text: searchable, and pasted into a ticket as they are.
        for (const char *text : {"INVITE", "486 Busy Here", "relaying to voicemail", "+0.250000", "10.0.0.1:5070"})
            QVERIFY2(bytes.contains(text), text);
    }
}

void tst_CallFlowWindow::saveAsksThroughDialog()
{
    CallFlowWindow window(QStringLiteral("call-1"), {logRow("only a line", QStringLiteral("2024-01-01 10:00:00.000"))});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString path = m_dir.filePath(QStringLiteral("asked.svg"));
    QString title;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer.stop();
        title = dialog->windowTitle();
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        QTest::keyClick(name, Qt::Key_Return);
    });
    timer.start();
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QTRY_VERIFY(QFile::exists(path));
    QCOMPARE(title, QStringLiteral("Salva immagine"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // No SIP: the lines on their time axis, and a word on why there is no ladder.
    const QByteArray svg = file.readAll();
    QVERIFY(svg.contains("Nessun messaggio SIP catturato"));
    QVERIFY(svg.contains("only a line"));
}

void tst_CallFlowWindow::clickShowsMessageOrRow()
{
    const DiagnosticMessage invite = sipRow("10.0.0.1:5070", "127.0.0.1:5060", "INVITE", "5.000000");
    CallFlowWindow window(QStringLiteral("call-1"),
                          {logRow("a line\nwith two", QStringLiteral("1970-01-01 00:00:00.000"), 0), invite});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CallFlowView *view = window.view();
    const int arrow = window.model().events().at(0).message ? 0 : 1;
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(150, view->rowTop(arrow) + 5));
    QCOMPARE(window.detailText(), invite.message);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(150, view->rowTop(1 - arrow) + 5));
    QVERIFY2(window.detailText().endsWith(QLatin1String("a line\nwith two")), qPrintable(window.detailText()));
    QVERIFY(window.detailText().contains(QLatin1String("1970-01-01")));
    // The header is no row.
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(150, 5));
    QCOMPARE(view->selectedEvent(), 1 - arrow);
}

void tst_CallFlowWindow::levelFilterHidesOnlyLines()
{
    CallFlowWindow window(QStringLiteral("call-1"),
                          {logRow("error", QString(), 0), logRow("debug", QString(), 4),
                           sipRow("10.0.0.1:5070", "127.0.0.1:5060", "INVITE", "5.000000")});
    QCOMPARE(window.view()->shownEvents().size(), 3);
    auto *level = window.findChild<QComboBox *>(QStringLiteral("cbLevel"));
    level->setCurrentIndex(level->findData(1));
    QCOMPARE(window.view()->shownEvents().size(), 2);
    for (int event : window.view()->shownEvents())
        QVERIFY(window.model().events().at(event).label != QLatin1String("debug"));
}

// Rows of a live call may come with earlier times than those in view: the
// row the user looks at stays where it is.
void tst_CallFlowWindow::liveRowsKeepViewInPlace()
{
    QVector<DiagnosticMessage> rows;
    for (int i = 0; i < 200; ++i)
        rows << sipRow("10.0.0.1:5070", "127.0.0.1:5060", "INVITE", QStringLiteral("%1.000000").arg(100 + i),
                       QStringLiteral("z%1").arg(i));
    CallFlowWindow window(QStringLiteral("call-1"), rows);
    window.resize(600, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QScrollBar *bar = window.findChild<QScrollArea *>(QStringLiteral("saFlow"))->verticalScrollBar();
    bar->setValue(CallFlowView::HeaderHeight + 50 * CallFlowView::RowHeight + 3);
    // The first row in sight, under the heads.
    const auto firstInSight = [&] { return window.view()->eventAt(bar->value() + CallFlowView::HeaderHeight); };
    const int topEvent = firstInSight();
    QVERIFY(topEvent >= 0);
    const int topRow = window.model().events().at(topEvent).row;
    for (int i = 0; i < 10; ++i)
        window.appendRow(sipRow("10.0.0.1:5070", "127.0.0.1:5060", "OPTIONS", QStringLiteral("%1.500000").arg(i)));
    QTRY_COMPARE(window.model().rows().size(), 210);
    const int nowTop = firstInSight();
    QVERIFY(nowTop > topEvent);
    QCOMPARE(window.model().events().at(nowTop).row, topRow);
    QCOMPARE(bar->value() + CallFlowView::HeaderHeight - window.view()->rowTop(nowTop), 3);
}

// Scrolled down a long call, the heads are drawn over the top rows: a click
// there picks no arrow hidden under them.
void tst_CallFlowWindow::headsStayInSight()
{
    QVector<DiagnosticMessage> rows;
    for (int i = 0; i < 100; ++i)
        rows << sipRow("10.0.0.1:5070", "127.0.0.1:5060", "INVITE", QStringLiteral("%1.000000").arg(100 + i));
    CallFlowWindow window(QStringLiteral("call-1"), rows);
    window.resize(600, 400);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QScrollBar *bar = window.findChild<QScrollArea *>(QStringLiteral("saFlow"))->verticalScrollBar();
    bar->setValue(40 * CallFlowView::RowHeight);
    CallFlowView *view = window.view();
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(250, bar->value() + 10));
    QCOMPARE(view->selectedEvent(), -1);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(250, bar->value() + CallFlowView::HeaderHeight + 5));
    QVERIFY(view->selectedEvent() >= 0);
    // The heads' box is drawn where the view's top is.
    const QImage shown = view->grab(QRect(0, bar->value(), view->width(), CallFlowView::HeaderHeight)).toImage();
    QCOMPARE(shown.pixelColor(shown.width() / 2, shown.height() / 2), QColor(240, 244, 250));
}

void tst_CallFlowWindow::hoverShowsAbsoluteTimeAsPlainText()
{
    CallFlowWindow window(QStringLiteral("call-1"), {sipRow("10.0.0.1:5070", "127.0.0.1:5060", "INVITE",
                                                            "1700000000.123456", "<b>z9</b>")});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CallFlowView *view = window.view();
    const QPoint at(150, view->rowTop(0) + 5);
    QHelpEvent help(QEvent::ToolTip, at, view->mapToGlobal(at));
    QApplication::sendEvent(view, &help);
    QTRY_VERIFY(QToolTip::isVisible());
    const QString expected = QDateTime::fromMSecsSinceEpoch(1700000000123).toString("yyyy-MM-dd hh:mm:ss.zzz") + "456";
    QVERIFY2(QToolTip::text().contains(expected), qPrintable(QToolTip::text()));
    QVERIFY2(QToolTip::text().contains("&lt;b&gt;z9"), qPrintable(QToolTip::text()));
}

QTEST_MAIN(tst_CallFlowWindow)
#include "tst_callflowwindow.moc"
