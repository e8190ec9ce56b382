#include "testserverconnection.h"

#include "updatetestserver.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/socket.h>

namespace {
constexpr int MaxHeaderBytes = 64 * 1024;
constexpr int MaxBodyBytes = 1024 * 1024;
constexpr qint64 ChunkSize = 256 * 1024;
constexpr qint64 SocketBacklog = 1024 * 1024;
}

TestServerConnection::TestServerConnection(QTcpSocket *socket, UpdateTestServer *server)
    : QObject(socket)
    , socket(socket)
    , server(server)
{
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QIODevice::readyRead, this, &TestServerConnection::onReadyRead);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QIODevice::bytesWritten, this, &TestServerConnection::pump);
}

void TestServerConnection::onReadyRead()
{
    if (handled) {
        socket->readAll();
        return;
    }
    request += socket->readAll();
    const int headerEnd = request.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (request.size() > MaxHeaderBytes)
            sendSimple(431, "Request Header Fields Too Large", QByteArray());
        return;
    }
    const QList<QByteArray> lines = request.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        sendSimple(400, "Bad Request", QByteArray());
        return;
    }
    qint64 contentLength = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
            contentLength = line.mid(colon + 1).trimmed().toLongLong();
    }
    if (contentLength < 0 || contentLength > MaxBodyBytes) {
        sendSimple(413, "Payload Too Large", QByteArray());
        return;
    }
    if (request.size() - headerEnd - 4 < contentLength)
        return;
    handled = true;
    dispatch(requestLine[0], requestLine[1], request.mid(headerEnd + 4, int(contentLength)));
}

void TestServerConnection::dispatch(const QByteArray &method, const QByteArray &target, const QByteArray &body)
{
    emit server->requestReceived(method, target, body);
    const QUrl url(QString::fromLatin1(target));
    const UpdateTestServer::Options &opts = server->options();
    if (method == "POST" && url.path() == opts.path + QLatin1String("/RestController.php")
        && url.query() == QLatin1String("action=getFileInfo")) {
        if (!body.contains("<GetFileInfo>")) {
            sendSimple(400, "Bad Request", "no GetFileInfo request");
            return;
        }
        if (opts.noAnswer)
            return;
        QTimer::singleShot(opts.delayMs, this, &TestServerConnection::answerQuery);
        return;
    }
    if (method == "GET" && !opts.packageFile.isEmpty() && url.path() == server->packageUrlPath()) {
        serveFile();
        return;
    }
    sendSimple(404, "Not Found", "not found");
}

void TestServerConnection::answerQuery()
{
    const UpdateTestServer::Options &opts = server->options();
    if (opts.queryNotFound) {
        sendSimple(404, "Not Found", "not found");
        return;
    }
    QByteArray body;
    if (!opts.emptyBody) {
        body = QByteArray(int(opts.padding), 'x') + server->answerDocument();
    }
    QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nConnection: close\r\n"
                          "Content-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n";
    if (opts.truncateQuery) {
        ending = Ending::Truncate;
        body.truncate(body.size() / 2);
    }
    writePieces(response + body);
}

void TestServerConnection::writePieces(const QByteArray &data)
{
    const int piece = server->options().splitBytes;
    if (piece <= 0 || data.size() <= piece) {
        socket->write(data);
        if (ending == Ending::Reset)
            resetConnection();
        else
            socket->disconnectFromHost();
        return;
    }
    socket->write(data.left(piece));
    socket->flush();
    const QByteArray rest = data.mid(piece);
    QTimer::singleShot(server->options().splitDelayMs, this, [this, rest] { writePieces(rest); });
}

void TestServerConnection::serveFile()
{
    const UpdateTestServer::Options &opts = server->options();
    if (opts.downloadNotFound) {
        sendSimple(404, "Not Found", "no such file");
        return;
    }
    file.setFileName(opts.packageFile);
    if (!file.open(QIODevice::ReadOnly)) {
        sendSimple(500, "Internal Server Error", "cannot open the package");
        return;
    }
    const qint64 size = file.size();
    fileLimit = size;
    if (opts.truncateDownload) {
        ending = Ending::Truncate;
        fileLimit = size / 2;
    } else if (opts.resetDownload) {
        ending = Ending::Reset;
        fileLimit = size / 2;
    } else if (opts.stallDownload) {
        ending = Ending::Stall;
        fileLimit = size / 2;
    }
    floodLeft = opts.floodBytes;
    QByteArray header = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n";
    // A flood has no end to announce: the body runs until the connection closes.
    const qint64 length = opts.contentLength >= 0 ? opts.contentLength : size;
    if (floodLeft == 0)
        header += "Content-Length: " + QByteArray::number(length) + "\r\n";
    socket->write(header + "\r\n");
    pump();
}

void TestServerConnection::pump()
{
    if (!file.isOpen())
        return;
    bool readFailed = false;
    while (socket->bytesToWrite() < SocketBacklog && fileSent < fileLimit) {
        const QByteArray buffer = file.read(qMin(ChunkSize, fileLimit - fileSent));
        if (buffer.isEmpty()) {
            readFailed = true;
            break;
        }
        fileSent += buffer.size();
        socket->write(buffer);
    }
    if (fileSent >= fileLimit && !readFailed) {
        static const QByteArray filler(int(ChunkSize), 'x');
        while (socket->bytesToWrite() < SocketBacklog && floodLeft > 0) {
            const qint64 n = qMin(floodLeft, ChunkSize);
            socket->write(filler.constData(), n);
            floodLeft -= n;
        }
        if (floodLeft > 0)
            return;
    }
    if (fileSent >= fileLimit || readFailed) {
        file.close();
        if (ending == Ending::Reset)
            resetConnection();
        else if (ending != Ending::Stall)
            socket->disconnectFromHost();
    }
}

void TestServerConnection::resetConnection()
{
    // Flush what was promised so far, then close with a reset, not a FIN.
    socket->flush();
    struct linger lingerOption = {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
    socket->abort();
}

void TestServerConnection::sendSimple(int status, const QByteArray &reason, const QByteArray &body)
{
    handled = true;
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
                  + "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    socket->disconnectFromHost();
}
