// Saving and painting a large log table.
//
// Saves 500,000 rows of the demo exchange's messages and compares the speed
// with writing the same bytes in one plain buffered write. Then scrolls the
// table page by page, painting each page, with and without an emphasis set,
// and compares the frame times.

#include "benchsupport.h"
#include "callgenerator.h"
#include "logfilewriter.h"
#include "logmessagemodel.h"
#include "logviewselectitemdelegate.h"
#include "pbxlinkglobal.h"
#include "wdgploggergui.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double seconds(const QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e9;
}

// Times painting one page at a time, scrolling through the table.
void paintFrames(QTableView *view, int frames, std::vector<double> &times)
{
    QScrollBar *bar = view->verticalScrollBar();
    const int step = std::max(1, bar->maximum() / frames);
    for (int i = 0; i < frames; ++i) {
        bar->setValue(std::min(bar->maximum(), i * step));
        QCoreApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        view->viewport()->repaint();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
}

double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    PBXLINK::registerMetaTypes();
    const int rows = BenchSupport::envInt("SAVE_ROWS", 500000);

    wdgPLoggerGui window;
    window.show();
    QMetaObject::invokeMethod(&window, "connectedToPlogger", Q_ARG(LoginDetails, LoginDetails()));
    CallGenerator generator(3);
    std::vector<QString> linkedIds;
    for (int i = 0; i < rows; ++i) {
        const DiagnosticMessage msg = generator.next();
        if (i % 1000 == 0 && !msg.linkedId.isEmpty())
            linkedIds.push_back(msg.linkedId);
        QMetaObject::invokeMethod(&window, "onPLoggerMessageReceived", Q_ARG(DiagnosticMessage, msg));
        if (i % 20000 == 0)
            QCoreApplication::processEvents();
    }
    auto *view = window.findChild<QTableView *>(QStringLiteral("tbLogView"));
    auto *table = qobject_cast<LogMessageModel *>(qobject_cast<QSortFilterProxyModel *>(view->model())->sourceModel());
    table->flushPending();
    QCoreApplication::processEvents();

    // Best of three alternating rounds of each, so that the page cache and
    // the machine's other work weigh on both alike.
    QTemporaryDir dir;
    const QVector<int> columns = {LogMessageModel::UniqueIdColumn, LogMessageModel::VerbosityColumn,
                                  LogMessageModel::TimestampColumn, LogMessageModel::MessageColumn};
    double saveSeconds = 1e9;
    double rawSeconds = 1e9;
    double safeSeconds = 1e9;  // the same bytes through QSaveFile: the floor of a safe save
    QByteArray bytes;
    for (int round = 0; round < 3; ++round) {
        const QString savedPath = dir.filePath(QStringLiteral("saved%1.txt").arg(round));
        QElapsedTimer clock;
        clock.start();
        QString error;
        if (!LogFileWriter::write(*table, columns, savedPath, &error)) {
            std::fprintf(stderr, "save failed: %s\n", qPrintable(error));
            return 1;
        }
        saveSeconds = std::min(saveSeconds, seconds(clock));
        if (bytes.isEmpty()) {
            QFile saved(savedPath);
            saved.open(QIODevice::ReadOnly);
            bytes = saved.readAll();
        }
        QFile::remove(savedPath);

        const QString rawPath = dir.filePath(QStringLiteral("raw%1.txt").arg(round));
        clock.restart();
        {
            QFile raw(rawPath);
            raw.open(QIODevice::WriteOnly);
            raw.write(bytes);
            raw.close();
        }
        rawSeconds = std::min(rawSeconds, seconds(clock));
        QFile::remove(rawPath);

        clock.restart();
        {
            QSaveFile safe(rawPath);
            safe.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
            safe.write(bytes);
            safe.commit();
        }
        safeSeconds = std::min(safeSeconds, seconds(clock));
        QFile::remove(rawPath);
    }

    const double mb = double(bytes.size()) / 1048576.0;
    std::printf("save: %d rows, %.1f MB in %.3f s (raw write of the same bytes: %.3f s; the same bytes through "
                "QSaveFile, which syncs them to disk before the rename: %.3f s)\n",
                table->rowCount(), mb, saveSeconds, rawSeconds, safeSeconds);

    // Interleaved rounds, after a warm-up of each, so that caches and the
    // machine's other work weigh on all three alike.
    const int frames = BenchSupport::envInt("SAVE_FRAMES", 100);
    auto *delegate = qobject_cast<LogViewSelectItemDelegate *>(view->itemDelegate());
    const QString call = linkedIds.at(linkedIds.size() / 2);
    const QString level = table->text(0, LogMessageModel::VerbosityColumn);
    std::vector<double> plainTimes, callTimes, levelTimes, warmUp;
    for (int round = -1; round < 5; ++round) {
        delegate->setSelectedValue(-1, QString());
        paintFrames(view, frames, round < 0 ? warmUp : plainTimes);
        delegate->setSelectedValue(LogMessageModel::LinkedIdColumn, call);
        paintFrames(view, frames, round < 0 ? warmUp : callTimes);
        delegate->setSelectedValue(LogMessageModel::VerbosityColumn, level);
        paintFrames(view, frames, round < 0 ? warmUp : levelTimes);
    }
    const double plain = median(plainTimes);
    const double oneCall = median(callTimes);
    const double oneLevel = median(levelTimes);
    std::printf("paint: median frame %.2f ms plain, %.2f ms with one call emphasised, %.2f ms with one level "
                "emphasised\n",
                plain, oneCall, oneLevel);

    std::printf("save: rows_s=%.0f mb_s=%.1f raw_ratio=%.2f paint_ratio=%.2f\n", table->rowCount() / saveSeconds,
                mb / saveSeconds, rawSeconds / saveSeconds, std::max(oneCall, oneLevel) / plain);
    return 0;
}
