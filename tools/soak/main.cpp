#include "soakrun.h"

#include "pbxlinkglobal.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QCommandLineParser>

#include <cstdio>

namespace {
bool s_verbose = false;

// The client logs every skipped bad line and every connection change; over
// a long run only its critical lines are worth the terminal.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtCriticalMsg || type == QtFatalMsg || s_verbose)
        std::fprintf(stderr, "%s\n", msg.toLocal8Bit().constData());
    if (type == QtFatalMsg)
        std::abort();
}
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("soak"));
    // The exchanges trusted during the run (each on a new port) are pinned
    // in a data directory of the run's own.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the main window against the demo exchange for a long while: logins, the live stream, tenant "
        "changes, commands, disconnects and drops, then prints what was sent and received, memory, threads "
        "and file descriptors. Talks to loopback only."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("minutes"), QStringLiteral("How long to run (default 30)."), QStringLiteral("n"),
         QStringLiteral("30")},
        {QStringLiteral("rate"), QStringLiteral("Log messages per second from the exchange (default 1000)."),
         QStringLiteral("n"), QStringLiteral("1000")},
        {QStringLiteral("drop-after"), QStringLiteral("The exchange drops a session after n messages (default 8000)."),
         QStringLiteral("n"), QStringLiteral("8000")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the run's choices (default: from the clock)."),
         QStringLiteral("n"), QStringLiteral("0")},
        {QStringLiteral("no-malformed"), QStringLiteral("Keep bad lines out of the stream.")},
        {QStringLiteral("verbose"), QStringLiteral("Show the client's debug and warning lines.")},
    });
    parser.process(app);

    SoakRun::Options options;
    bool ok = true;
    bool good = false;
    options.minutes = parser.value(QStringLiteral("minutes")).toDouble(&good);
    ok &= good && options.minutes > 0;
    options.rate = parser.value(QStringLiteral("rate")).toDouble(&good);
    ok &= good && options.rate > 0;
    options.dropAfter = parser.value(QStringLiteral("drop-after")).toLongLong(&good);
    ok &= good && options.dropAfter > 0;
    options.seed = parser.value(QStringLiteral("seed")).toUInt(&good);
    ok &= good;
    options.malformed = !parser.isSet(QStringLiteral("no-malformed"));
    if (!ok) {
        std::fprintf(stderr, "soak: --minutes, --rate and --drop-after need positive numbers\n");
        return 2;
    }
    s_verbose = parser.isSet(QStringLiteral("verbose"));
    qInstallMessageHandler(messageHandler);
    PBXLINK::registerMetaTypes();

    SoakRun run(options);
    return run.run();
}
