#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>

class QTcpSocket;
class UpdateTestServer;

// One client connection of the update test server: reads one request,
// answers it (possibly badly, as configured) and closes.
class TestServerConnection : public QObject
{
    Q_OBJECT
public:
    TestServerConnection(QTcpSocket *socket, UpdateTestServer *server);

private slots:
    void onReadyRead();
    void pump();

private:
    void dispatch(const QByteArray &method, const QByteArray &target, const QByteArray &body);
    void answerQuery();
    void serveFile();
    void sendSimple(int status, const QByteArray &reason, const QByteArray &body);
    void writePieces(const QByteArray &data);
    void resetConnection();

    QTcpSocket *socket;
    UpdateTestServer *server;
    QByteArray request;
    bool handled = false;
    QFile file;
    qint64 fileLimit = 0;
    qint64 fileSent = 0;
    qint64 floodLeft = 0;
    enum class Ending { Close, Truncate, Reset, Stall } ending = Ending::Close;
};
