#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into signals on the event loop: a handler
// may do next to nothing, so it only writes the number to a socket pair
// that the loop reads.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignalWatcher(QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void terminateRequested();  // SIGTERM or SIGINT
    void reloadRequested();     // SIGHUP

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
