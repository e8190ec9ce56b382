#pragma once

#include "pdiscovery.h"

#include <QHostAddress>
#include <QModelIndex>
#include <QString>
#include <QTreeWidget>

class QFocusEvent;

// The list of exchanges found on the network, shown under the button that
// asked for it. Clicking a row hands out that row's address.
class PDiscoveryWidget : public QTreeWidget
{
    Q_OBJECT

public:
    enum Column { ModelColumn, SerialColumn, BootloaderColumn, FirmwareColumn, IpColumn };

    // Asks PDiscovery::defaultTarget().
    explicit PDiscoveryWidget(QWidget *parent = nullptr);
    PDiscoveryWidget(QWidget *parent, const QHostAddress &target, quint16 port = PDiscovery::DefaultPort);

signals:
    void selectedIpChanged(QString ip);

public slots:
    void startDiscovery();

private slots:
    void onNewDiscoveryResultSet();
    void onItemClicked(QModelIndex index);

protected:
    void focusOutEvent(QFocusEvent *event) override;

private:
    void setUp();
    void rebuildRows();

    PDiscovery *discovery = nullptr;
    bool rebuildPending = false;
};
