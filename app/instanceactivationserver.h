#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QWidget;

// Lets a second start of the program bring the running window to the front.
// Listens on a socket in the user's private folder, which no other user can
// reach, and understands one fixed request and nothing else: other bytes, or
// none in time, end the connection unanswered.
class InstanceActivationServer : public QObject
{
    Q_OBJECT

public:
    explicit InstanceActivationServer(QObject *parent = nullptr);

    // The socket in the private folder; empty when there is none.
    static QString defaultPath();
    static QByteArray request();

    // Listens at path, taking the place of a socket left there by an instance
    // that has ended: the guard lets only one run. False, after a warning,
    // when it cannot.
    bool listen(const QString &path);

    // Asks the instance listening at path to come to the front; true once it
    // has read the request. Waits at most timeoutMs for each step and writes
    // nothing to the log.
    static bool requestActivation(const QString &path, int timeoutMs = 2000);

    // Shows a window that has been shown before, un-minimised and on top.
    static void bringToFront(QWidget *window);

signals:
    void activationRequested();

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);

    QLocalServer *m_server;
};
