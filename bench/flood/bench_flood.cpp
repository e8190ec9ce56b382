// A logged-in exchange that floods the window: the client's resident memory
// against the table's byte budget (maxBytes).
//
// Two floods, each in a process of its own so that one's peak does not hide
// the other's: frames with an 8 MiB uniqueId, and messages just under the
// length at which the window cuts them. Each prints the window's resident
// memory before connecting (the baseline), the peak while the flood ran and
// the rows held at the end.

#include "appinfo.h"
#include "benchsupport.h"
#include "logmessagemodel.h"
#include "modalanswerer.h"
#include "pbxframecodec.h"
#include "pbxlinkglobal.h"
#include "pbxprotocol.h"
#include "serverannouncement.h"
#include "wdgploggergui.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

double mib(qint64 kib)
{
    return double(kib) / 1024.0;
}

// One flood, in this process: prints "<kind> baseline_mib=.. peak_mib=.. rows=.. seconds=..".
int runFlood(const QString &kind, qint64 maxBytes, int frames)
{
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    ModalAnswerer trust(QStringLiteral("Si"));
    QDir().mkpath(AppInfo::dataDir());
    {
        QSettings settings(AppInfo::dataDir() + QStringLiteral("plogger.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Logger/maxBytes"), maxBytes);
    }

    // One frame, replayed over and over.
    DiagnosticMessage msg;
    msg.messageId = QStringLiteral("1");
    msg.verbosity = QStringLiteral("3");
    msg.linkedId = QStringLiteral("1715675467.42");
    if (kind == QLatin1String("uniqueid")) {
        msg.uniqueId = QString(8 * 1024 * 1024 - 200, QLatin1Char('u'));
        msg.message = QStringLiteral("-- SIP/202-0000002b is ringing");
    } else {
        msg.uniqueId = QStringLiteral("1715675467.43");
        msg.message = QString(49999, QLatin1Char('m'));
    }
    const QString recording = dataHome.filePath(QStringLiteral("flood.jsonl"));
    QFile file(recording);
    if (!file.open(QIODevice::WriteOnly) || file.write(PbxFrameCodec::encode(PbxProtocol::diagnosticMessageToJson(msg))) <= 0)
        return 1;
    file.close();

    QProcess exchange;
    exchange.start(QStringLiteral(PBX_EMULATOR_PATH),
                   {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--replay"), recording,
                    QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--count"), QString::number(frames)});
    ServerAnnouncement served;
    if (!served.waitFor(exchange, false, 10000))
        return 1;
    const QString address = served.address;

    wdgPLoggerGui window;
    window.show();
    auto *view = window.findChild<QTableView *>(QStringLiteral("tbLogView"));
    auto *table = qobject_cast<LogMessageModel *>(qobject_cast<QSortFilterProxyModel *>(view->model())->sourceModel());
    auto *status = window.findChild<QLabel *>(QStringLiteral("lblStatusText"));
    QCoreApplication::processEvents();
    const qint64 baseline = BenchSupport::procStatusKiB("VmRSS");

    window.findChild<QLineEdit *>(QStringLiteral("txtPAddress"))->setText(address);
    window.findChild<QLineEdit *>(QStringLiteral("txtUser"))->setText(QStringLiteral("admin@demo"));
    window.findChild<QLineEdit *>(QStringLiteral("txtPwd"))->setText(QStringLiteral("demo"));
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(&window, "connectToP");
    BenchSupport::waitUntil([&] { return status->text() == QLatin1String("Stato: Connesso"); }, 10000);
    auto received = [&] { return qint64(table->rowCount()) + table->droppedCount(); };
    BenchSupport::waitUntil([&] { return received() >= frames; }, 600000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf("%s baseline_mib=%.0f peak_mib=%.0f rows=%d held_mib=%.0f received=%lld seconds=%.1f\n",
                qPrintable(kind), mib(baseline), mib(BenchSupport::procStatusKiB("VmHWM")), table->rowCount(),
                double(table->heldBytes()) / 1048576.0, received(), seconds);
    exchange.kill();
    exchange.waitForFinished(5000);
    return received() >= frames ? 0 : 1;
}

}

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    PBXLINK::registerMetaTypes();
    const qint64 maxBytes = qint64(BenchSupport::envInt("FLOOD_MAX_MIB", 1024)) * 1024 * 1024;
    if (argc == 3)
        return runFlood(QString::fromLatin1(argv[1]), maxBytes, QString::fromLatin1(argv[2]).toInt());

    // Enough of each to pass the budget half again, or a few gigabytes of ids.
    const int idFrames = BenchSupport::envInt("FLOOD_ID_FRAMES", 300);
    const int messageFrames = BenchSupport::envInt("FLOOD_MESSAGE_FRAMES", int(maxBytes * 3 / 2 / 50000));
    std::printf("budget: maxBytes %.0f MiB\n", double(maxBytes) / 1048576.0);
    std::fflush(stdout);
    QStringList results;
    const QList<QPair<QString, int>> floods{{QStringLiteral("uniqueid"), idFrames},
                                            {QStringLiteral("message"), messageFrames}};
    for (const auto &flood : floods) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {flood.first, QString::number(flood.second)});
        if (!child.waitForFinished(900000) || child.exitCode() != 0) {
            std::fprintf(stderr, "the %s flood failed\n", qPrintable(flood.first));
            return 1;
        }
        const QString line = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        std::printf("%s (%d frames)\n", qPrintable(line), flood.second);
        std::fflush(stdout);
        results << line;
    }
    auto field = [](const QString &line, const QString &name) {
        for (const QString &part : line.split(QLatin1Char(' '))) {
            if (part.startsWith(name + QLatin1Char('=')))
                return part.mid(name.size() + 1);
        }
        return QString();
    };
    std::printf("flood: budget_mib=%.0f baseline_mib=%s peak_uniqueid_mib=%s peak_message_mib=%s\n",
                double(maxBytes) / 1048576.0, qPrintable(field(results.at(0), QStringLiteral("baseline_mib"))),
                qPrintable(field(results.at(0), QStringLiteral("peak_mib"))),
                qPrintable(field(results.at(1), QStringLiteral("peak_mib"))));
    return 0;
}
