#include "updatetestserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Update server for tests and demos; listens on 127.0.0.1 only."));
    parser.addHelpOption();
    const auto opt = [&parser](const char *name, const char *help, const char *value = nullptr) {
        QCommandLineOption o(QString::fromLatin1(name), QString::fromLatin1(help));
        if (value)
            o.setValueName(QString::fromLatin1(value));
        parser.addOption(o);
    };
    opt("port", "Port to listen on; 0 picks a free one.", "port");
    opt("path", "Path prefix of the query and of the package (default /updates).", "path");
    opt("package", "The file offered and served.", "file");
    opt("file-name", "Announce this FileName instead of the package's name.", "name");
    opt("url", "Announce this URL (may be empty) instead of the served one.", "url");
    opt("app-version", "AppVersion to announce.", "version");
    opt("app-executable", "AppExecutable to announce.", "name");
    opt("zipped", "FileIsZipped text to announce (default false).", "text");
    opt("cert", "Serve HTTPS with this PEM certificate.", "file");
    opt("key", "PEM RSA key of the certificate.", "file");
    opt("delay", "Wait this long before answering the query.", "ms");
    opt("no-answer", "Never answer the query.");
    opt("split", "Write the query's answer in pieces of this many bytes.", "bytes");
    opt("split-delay", "Pause between the pieces.", "ms");
    opt("query-404", "Answer the query with 404.");
    opt("download-404", "Answer the download with 404.");
    opt("digests", "Announce the digests in upper case or wrong.", "upper|wrong");
    opt("truncate-query", "Promise the whole answer, send half, close.");
    opt("truncate-download", "Promise the whole package, send half, close.");
    opt("reset-download", "Send half the package, then reset the connection.");
    opt("stall-download", "Promise the whole package, send half, then keep the connection open.");
    opt("flood", "After the package, send this many more bytes, announcing no length.", "bytes");
    opt("content-length", "Announce this Content-Length for the package instead of its size.", "bytes");
    opt("no-file-info-root", "Answer with a document that is no file information.");
    opt("empty-body", "Answer the query with 200 and an empty body.");
    opt("padding", "Put this many filler bytes before the answer's document.", "bytes");
    parser.process(app);

    UpdateTestServer::Options o;
    bool ok = true;
    const auto number = [&](const char *name) {
        bool good = true;
        const qint64 v = parser.value(QString::fromLatin1(name)).toLongLong(&good);
        if (!good || v < 0) {
            std::fprintf(stderr, "update-server: --%s needs a non-negative number\n", name);
            ok = false;
        }
        return v;
    };
    const auto has = [&](const char *name) { return parser.isSet(QString::fromLatin1(name)); };
    const auto value = [&](const char *name) { return parser.value(QString::fromLatin1(name)); };

    if (has("port")) {
        const qint64 port = number("port");
        if (port > 65535) {
            std::fprintf(stderr, "update-server: --port out of range\n");
            ok = false;
        }
        o.port = quint16(port);
    }
    if (has("path"))
        o.path = value("path");
    o.packageFile = value("package");
    o.fileName = value("file-name");
    if (has("url")) {
        o.url = value("url");
        o.urlSet = true;
    }
    if (has("app-version"))
        o.appVersion = value("app-version");
    if (has("app-executable"))
        o.appExecutable = value("app-executable");
    if (has("zipped"))
        o.fileIsZipped = value("zipped");
    o.certificateFile = value("cert");
    o.keyFile = value("key");
    if (has("delay"))
        o.delayMs = int(number("delay"));
    o.noAnswer = has("no-answer");
    if (has("split"))
        o.splitBytes = int(number("split"));
    if (has("split-delay"))
        o.splitDelayMs = int(number("split-delay"));
    o.queryNotFound = has("query-404");
    o.downloadNotFound = has("download-404");
    if (has("digests")) {
        if (value("digests") == QLatin1String("upper")) {
            o.digests = UpdateTestServer::Digests::UpperCase;
        } else if (value("digests") == QLatin1String("wrong")) {
            o.digests = UpdateTestServer::Digests::Wrong;
        } else {
            std::fprintf(stderr, "update-server: --digests takes upper or wrong\n");
            ok = false;
        }
    }
    o.truncateQuery = has("truncate-query");
    o.truncateDownload = has("truncate-download");
    o.resetDownload = has("reset-download");
    o.stallDownload = has("stall-download");
    if (has("flood"))
        o.floodBytes = number("flood");
    if (has("content-length"))
        o.contentLength = number("content-length");
    o.noFileInfoRoot = has("no-file-info-root");
    o.emptyBody = has("empty-body");
    if (has("padding"))
        o.padding = number("padding");
    if (o.padding > 512 * 1024 * 1024) {
        std::fprintf(stderr, "update-server: --padding is limited to 512 MiB\n");
        ok = false;
    }
    if (!ok)
        return 2;

    UpdateTestServer server(o);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "update-server: %s\n", qPrintable(error));
        return 1;
    }
    QObject::connect(&server, &UpdateTestServer::requestReceived,
                     [](const QByteArray &method, const QByteArray &target, const QByteArray &body) {
                         std::printf("request %s %s %s\n", method.constData(), target.constData(),
                                     body.constData());
                         std::fflush(stdout);
                     });
    QUrl listening = server.baseUrl();
    listening.setPath(QString());
    std::printf("listening %s\n", qPrintable(listening.toString()));
    if (!server.md5().isEmpty())
        std::printf("package md5=%s sha1=%s size=%lld\n", qPrintable(server.md5()), qPrintable(server.sha1()),
                    static_cast<long long>(server.packageSize()));
    std::fflush(stdout);
    return app.exec();
}
