#include "pdiscoverywidget.h"

#include <QDebug>
#include <QFocusEvent>
#include <QHeaderView>
#include <QTimer>

PDiscoveryWidget::PDiscoveryWidget(QWidget *parent)
    : QTreeWidget(parent)
{
    discovery = new PDiscovery(this);
    setUp();
}

PDiscoveryWidget::PDiscoveryWidget(QWidget *parent, const QHostAddress &target, quint16 port)
    : QTreeWidget(parent)
{
    discovery = new PDiscovery(this, target, port);
    setUp();
}

void PDiscoveryWidget::setUp()
{
    setHeaderLabels({QStringLiteral("Model"), QStringLiteral("Serial no."), QStringLiteral("Bootloader"),
                     QStringLiteral("Firmware"), QStringLiteral("IP address")});
    header()->setSectionResizeMode(ModelColumn, QHeaderView::Fixed);
    setColumnWidth(ModelColumn, 120);
    setMinimumSize(550, 450);

    bool ok = true;
    ok &= bool(connect(discovery, SIGNAL(newResultSet()), this, SLOT(onNewDiscoveryResultSet())));
    ok &= bool(connect(this, SIGNAL(clicked(QModelIndex)), this, SLOT(onItemClicked(QModelIndex))));
    if (!ok)
        qCritical() << Q_FUNC_INFO << "signal-slot connection failed!";
}

void PDiscoveryWidget::startDiscovery()
{
    discovery->startBroadcasting();
    show();
    raise();
    setFocus(Qt::OtherFocusReason);

    auto *button = qobject_cast<QWidget *>(sender());
    if (!button)
        return;
    // Mapped through global coordinates, so the popup lands under the button
    // even when the two have different parents.
    const QPoint under = button->mapToGlobal(QPoint(0, button->height()));
    move(parentWidget() ? parentWidget()->mapFromGlobal(under) : under);
}

void PDiscoveryWidget::onNewDiscoveryResultSet()
{
    // A burst of replies announces a new set for every datagram; rebuilding
    // every row each time would cost the square of the number of replies.
    if (rebuildPending)
        return;
    rebuildPending = true;
    QTimer::singleShot(0, this, [this] {
        rebuildPending = false;
        rebuildRows();
    });
}

void PDiscoveryWidget::rebuildRows()
{
    clear();
    QList<QTreeWidgetItem *> rows;
    const QList<DiscoveryInfo> results = discovery->getResultSet();
    for (const DiscoveryInfo &info : results) {
        if (info.ips.isEmpty())
            continue;
        auto *top = new QTreeWidgetItem(QStringList{info.pn, info.sn, info.bl, info.fw, info.ips.first()});
        for (int i = 1; i < info.ips.size(); ++i)
            new QTreeWidgetItem(top, QStringList{QString(), QString(), QString(), QString(), info.ips.at(i)});
        rows.append(top);
    }
    addTopLevelItems(rows);
    expandAll();
}

void PDiscoveryWidget::onItemClicked(QModelIndex index)
{
    if (!index.isValid())
        return;
    QTreeWidgetItem *item = itemFromIndex(index);
    if (!item)
        return;
    emit selectedIpChanged(item->text(IpColumn));
    hide();
}

void PDiscoveryWidget::focusOutEvent(QFocusEvent *event)
{
    QTreeWidget::focusOutEvent(event);
    hide();
}
