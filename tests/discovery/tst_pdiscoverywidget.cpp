#include "discoveryresponder.h"
#include "pdiscoverywidget.h"
#include "responderprocess.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QToolButton>
#include <QtTest>

// A window laid out like the connection bar: the address field, the button
// that opens the popup, and another field that can take the focus.
class tst_PDiscoveryWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void looksAsExpected();
    void rowsPerAddressAndClicks();
    void opensUnderTheButton();
    void focusLossHides();
    void burstShowsAllRows();

private:
    int resultCount() const { return popup->findChild<PDiscovery *>()->getResultSet().size(); }

    DiscoveryResponder responder;
    QWidget *window = nullptr;
    QLineEdit *address = nullptr;
    QLineEdit *user = nullptr;
    QToolButton *button = nullptr;        // a direct child, as in the main window
    QToolButton *nestedButton = nullptr;  // inside a container
    PDiscoveryWidget *popup = nullptr;
};

void tst_PDiscoveryWidget::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(responder.listen(QHostAddress::LocalHost));
    // Read once, at the first popup built with the default target.
    qputenv("PLOGGER_DISCOVERY_TARGET", "127.0.0.1:" + QByteArray::number(responder.localPort()));

    window = new QWidget;
    window->resize(900, 600);
    address = new QLineEdit(window);
    address->setGeometry(10, 10, 160, 24);
    button = new QToolButton(window);
    button->setGeometry(170, 10, 24, 24);
    user = new QLineEdit(window);
    user->setGeometry(220, 10, 130, 24);
    auto *container = new QWidget(window);
    container->setGeometry(300, 60, 200, 80);
    nestedButton = new QToolButton(container);
    nestedButton->setGeometry(25, 7, 24, 30);

    popup = new PDiscoveryWidget(window);
    popup->setWindowFlags(Qt::FramelessWindowHint);
    popup->hide();
    connect(button, SIGNAL(clicked(bool)), popup, SLOT(startDiscovery()));
    connect(nestedButton, SIGNAL(clicked(bool)), popup, SLOT(startDiscovery()));
    connect(popup, SIGNAL(selectedIpChanged(QString)), address, SLOT(setText(QString)));

    window->show();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
}

void tst_PDiscoveryWidget::init()
{
    responder.setPn(QStringLiteral("M"));
    responder.setSn(QStringLiteral("S"));
    responder.setFw(QStringLiteral("F"));
    responder.setBl(QStringLiteral("B"));
    responder.setIps({QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")});
    responder.setReplyCount(1);
    responder.clearCmdIdOverride();
}

void tst_PDiscoveryWidget::cleanupTestCase()
{
    delete window;
}

void tst_PDiscoveryWidget::looksAsExpected()
{
    QVERIFY(!popup->isVisible());
    const QStringList labels{"Model", "Serial no.", "Bootloader", "Firmware", "IP address"};
    for (int i = 0; i < labels.size(); ++i)
        QCOMPARE(popup->headerItem()->text(i), labels.at(i));
    QCOMPARE(popup->header()->sectionResizeMode(0), QHeaderView::Fixed);
    QCOMPARE(popup->columnWidth(0), 120);
    QCOMPARE(popup->minimumSize(), QSize(550, 450));
}

void tst_PDiscoveryWidget::rowsPerAddressAndClicks()
{
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(resultCount(), 1);
    // Two more answers join the set: one without an address, one with a single one.
    responder.setCmdIdOverride(QStringLiteral("0"));
    responder.setIps({});
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(resultCount(), 2);
    responder.setPn(QStringLiteral("N"));
    responder.setIps({QStringLiteral("127.0.0.4")});
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE(resultCount(), 3);
    QTRY_COMPARE(popup->topLevelItemCount(), 2);

    QTreeWidgetItem *first = popup->topLevelItem(0);
    QCOMPARE((QStringList{first->text(0), first->text(1), first->text(2), first->text(3), first->text(4)}),
             (QStringList{"M", "S", "B", "F", "127.0.0.2"}));
    QCOMPARE(first->childCount(), 1);
    QTreeWidgetItem *child = first->child(0);
    QCOMPARE((QStringList{child->text(0), child->text(1), child->text(2), child->text(3), child->text(4)}),
             (QStringList{"", "", "", "", "127.0.0.3"}));
    QVERIFY(first->isExpanded());
    QCOMPARE(popup->topLevelItem(1)->text(4), QStringLiteral("127.0.0.4"));

    // Walking the rows with the keyboard picks nothing.
    address->setText(QStringLiteral("keep"));
    QVERIFY(popup->isVisible());
    QTest::keyClick(popup, Qt::Key_Down);
    QTest::keyClick(popup, Qt::Key_Down);
    QCOMPARE(address->text(), QStringLiteral("keep"));

    QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, popup->visualItemRect(child).center());
    QCOMPARE(address->text(), QStringLiteral("127.0.0.3"));
    QVERIFY(!popup->isVisible());

    // Reopened without answers, it still shows the last set.
    responder.setReplyCount(0);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(popup->isVisible());
    const QRect modelCell = popup->visualRect(popup->model()->index(0, 0));
    QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, modelCell.center());
    QCOMPARE(address->text(), QStringLiteral("127.0.0.2"));
    QVERIFY(!popup->isVisible());
}

void tst_PDiscoveryWidget::opensUnderTheButton()
{
    responder.setReplyCount(0);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(popup->pos(), button->pos() + QPoint(0, button->height()));
    QTest::mouseClick(nestedButton, Qt::LeftButton);
    QCOMPARE(popup->pos(), QPoint(325, 60 + 7 + 30));
    QVERIFY(popup->isVisible());
    // Without a widget behind the call the popup stays where it was.
    popup->hide();
    popup->startDiscovery();
    QCOMPARE(popup->pos(), QPoint(325, 97));
    popup->hide();
}

void tst_PDiscoveryWidget::focusLossHides()
{
    responder.setReplyCount(0);
    address->setText(QStringLiteral("keep"));
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY(popup->hasFocus());
    user->setFocus(Qt::MouseFocusReason);
    QTRY_VERIFY(!popup->isVisible());
    QCOMPARE(address->text(), QStringLiteral("keep"));
}

void tst_PDiscoveryWidget::burstShowsAllRows()
{
    ResponderProcess peer;
    const quint16 port = peer.start({"--reply-count", "1000", "--ip", "127.0.0.5"});
    QVERIFY(port != 0);
    PDiscoveryWidget burst(window, QHostAddress::LocalHost, port);
    PDiscovery *discovery = burst.findChild<PDiscovery *>();
    // Loopback may drop some of the burst: every reply that came is a row,
    // and most of them came.
    burst.startDiscovery();
    QTRY_VERIFY_WITH_TIMEOUT(discovery->getResultSet().size() >= 100, 10000);
    QTRY_COMPARE(burst.topLevelItemCount(), discovery->getResultSet().size());
}

QTEST_MAIN(tst_PDiscoveryWidget)
#include "tst_pdiscoverywidget.moc"
