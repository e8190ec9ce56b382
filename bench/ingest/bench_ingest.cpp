// Live log ingestion, end to end: the demo exchange streams as fast as it
// can over loopback, through PbxLink, into the shown, filtered main window.
//
// Prints the sustained rate to 500,000 rows, the GUI thread's cost per
// message near 10,000 and near 500,000 rows, event-loop stalls while 2,000
// messages/s arrive into the full table, resident memory per row, and the
// speed-up over appending through a standard item model with a full re-filter
// and resize per message (measured on a small table), and the time from
// connecting to logged in (TLS handshake and SCRAM login), median of 20.

#include "benchsupport.h"
#include "callgenerator.h"
#include "modalanswerer.h"
#include "pbxlink.h"
#include "logmessagefilterproxymodel.h"
#include "loggerverbosity.h"
#include "wdgploggergui.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double threadCpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

qint64 residentBytes()
{
    return BenchSupport::procStatusKiB("VmRSS") * 1024;
}

void waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class Emulator
{
public:
    ~Emulator()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    QString start(const QStringList &args)
    {
        m_process.setProgram(QStringLiteral(PBX_EMULATOR_PATH));
        m_process.setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} + args);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return {};
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            m_process.waitForReadyRead(50);
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                if (line.startsWith(QLatin1String("listening ")))
                    return line.mid(10);
            }
        }
        return {};
    }

private:
    QProcess m_process;
};

// Measures how late a fast repeating timer fires: each lateness is a stall
// of the GUI thread's event loop.
class StallMonitor
{
public:
    void start()
    {
        m_samples.clear();
        m_clock.start();
        m_last = 0;
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_samples.push_back(double(now - m_last) / 1e6 - kIntervalMs);
            if (m_samples.back() > m_worst) {
                m_worst = m_samples.back();
                m_worstAt = double(now) / 1e9;
            }
            m_last = now;
        });
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.start(int(kIntervalMs));
    }
    void stop()
    {
        m_timer.stop();
        QObject::disconnect(&m_timer, nullptr, nullptr, nullptr);
    }
    double max() const { return m_samples.empty() ? 0 : *std::max_element(m_samples.begin(), m_samples.end()); }
    double percentile(double p) const
    {
        if (m_samples.empty())
            return 0;
        std::vector<double> sorted = m_samples;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
    }
    size_t count() const { return m_samples.size(); }
    double worstAt() const { return m_worstAt; }

private:
    static constexpr double kIntervalMs = 5.0;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<double> m_samples;
    double m_worst = 0;
    double m_worstAt = 0;
};

// The literal per-message sequence: append one row to a standard item model,
// re-filter every row, resize every row, scroll to the bottom.
double baselineRowsPerSecond(int rows)
{
    QTableView view;
    view.resize(1076, 480);
    QStandardItemModel model(0, 7);
    LogMessageFilterProxyModel filter(4);
    filter.setSourceModel(&model);
    view.setModel(&filter);
    view.horizontalHeader()->setStretchLastSection(true);
    view.show();
    QCoreApplication::processEvents();

    CallGenerator generator(7);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rows; ++i) {
        const DiagnosticMessage msg = generator.next();
        const QStringList texts = {msg.tenantUuid, msg.linkedId, msg.uniqueId, msg.messageId,
                                   LOGGER::verbosityIntToString(msg.verbosity.toInt()), msg.timestamp, msg.message};
        QList<QStandardItem *> items;
        for (const QString &text : texts) {
            auto *item = new QStandardItem(text);
            item->setFlags(Qt::ItemIsEnabled);
            items << item;
        }
        model.appendRow(items);
        filter.setFilterRegExp(QRegExp(QStringLiteral("4"), Qt::CaseInsensitive));
        view.resizeRowsToContents();
        view.scrollToBottom();
        QCoreApplication::processEvents();
    }
    return rows / (double(clock.nsecsElapsed()) / 1e9);
}

// Connect to logged in through the link alone: TCP, the TLS handshake, the
// pin check and the SCRAM exchange. The first attempt pins the exchange and
// is not counted. Milliseconds, sorted.
std::vector<double> loginTimes(const QString &address, const QString &dataDir, int count)
{
    PbxLink link(QStringLiteral("bench"), QStringLiteral("1"), QStringLiteral("bench"), QStringLiteral("1"), dataDir);
    bool logged = false;
    bool ended = false;
    QObject::connect(&link, &PbxLink::sigUnknownExchange, [&link](const QString &a, const QString &f) {
        link.answerUnknownExchange(a, f, true);
    });
    QObject::connect(&link, &PbxLink::loggedToServer, [&] { logged = true; });
    QObject::connect(&link, &PbxLink::unloggedFromServer, [&] { ended = true; });
    link.init();
    link.setServerAddress(address);
    std::vector<double> times;
    for (int i = 0; i <= count; ++i) {
        logged = ended = false;
        QElapsedTimer clock;
        clock.start();
        link.connectToServer(QStringLiteral("admin"), QStringLiteral("demo"), QStringLiteral("demo"),
                             PBXLINK::AppModeDiagnostic);
        waitUntil([&] { return logged || ended; }, 10000);
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (!logged)
            return {};
        if (i > 0)
            times.push_back(ms);
        link.disconnectFromServer();
        waitUntil([&] { return ended; }, 10000);
    }
    link.shutdown();
    std::sort(times.begin(), times.end());
    return times;
}

struct Checkpoint
{
    int rows;
    double seconds;
    double cpu;
};

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    // Exchanges met here are pinned in a data directory of the run's own, and
    // the window's question about them answered with "Si".
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    ModalAnswerer trust(QStringLiteral("Si"));

    const int target = BenchSupport::envInt("INGEST_ROWS", 500000);
    const int baselineRows = BenchSupport::envInt("INGEST_BASELINE_ROWS", 1000);

    const double baseline = baselineRowsPerSecond(baselineRows);
    std::printf("baseline: literal per-row sequence, %d rows: %.0f rows/s\n", baselineRows, baseline);
    std::fflush(stdout);

    Emulator loginExchange;
    const QString loginAddress = loginExchange.start({QStringLiteral("--rate"), QStringLiteral("1")});
    const std::vector<double> logins = loginAddress.isEmpty() ? std::vector<double>()
                                                              : loginTimes(loginAddress, dataHome.path(), 20);
    if (logins.empty()) {
        std::fprintf(stderr, "could not log in to the demo exchange\n");
        return 1;
    }
    const double loginMedian = (logins[logins.size() / 2] + logins[(logins.size() - 1) / 2]) / 2;
    std::printf("login: TCP + TLS handshake + SCRAM-SHA-256 to logged in, %zu times: median %.1f ms, "
                "min %.1f ms, max %.1f ms\n",
                logins.size(), loginMedian, logins.front(), logins.back());
    std::fflush(stdout);

    wdgPLoggerGui window;
    window.show();
    auto *view = window.findChild<QTableView *>(QStringLiteral("tbLogView"));
    auto *filter = qobject_cast<QSortFilterProxyModel *>(view->model());
    QAbstractItemModel *table = filter->sourceModel();
    auto *status = window.findChild<QLabel *>(QStringLiteral("lblStatusText"));
    auto connectTo = [&](const QString &address) {
        window.findChild<QLineEdit *>(QStringLiteral("txtPAddress"))->setText(address);
        window.findChild<QLineEdit *>(QStringLiteral("txtUser"))->setText(QStringLiteral("admin@demo"));
        window.findChild<QLineEdit *>(QStringLiteral("txtPwd"))->setText(QStringLiteral("demo"));
        QMetaObject::invokeMethod(&window, "connectToP");
        waitUntil([&] { return status->text() == QLatin1String("Stato: Connesso"); }, 10000);
    };
    QCoreApplication::processEvents();
    const qint64 rssBefore = residentBytes();

    // Phase 1: as fast as possible, from an empty table to the target.
    Emulator fast;
    const QString fastAddress = fast.start({QStringLiteral("--rate"), QStringLiteral("0"), QStringLiteral("--count"),
                                            QString::number(target), QStringLiteral("--seed"), QStringLiteral("1")});
    if (fastAddress.isEmpty()) {
        std::fprintf(stderr, "could not start the demo exchange\n");
        return 1;
    }
    StallMonitor fillStalls;
    fillStalls.start();
    connectTo(fastAddress);
    if (status->text() != QLatin1String("Stato: Connesso")) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }

    std::vector<Checkpoint> points;
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = threadCpuSeconds();
    int nextReport = 50000;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        points.push_back({table->rowCount(), double(clock.nsecsElapsed()) / 1e9, threadCpuSeconds() - cpuStart});
        if (points.back().rows >= nextReport) {
            std::printf("  %7d rows  %6.2f s  %8.0f msgs/s so far\n", points.back().rows, points.back().seconds,
                        points.back().rows / points.back().seconds);
            std::fflush(stdout);
            nextReport += 50000;
        }
    });
    sampler.start(10);
    waitUntil([&] { return table->rowCount() >= target; }, 600000);
    sampler.stop();
    fillStalls.stop();
    const double fillSeconds = double(clock.nsecsElapsed()) / 1e9;
    const int rows = table->rowCount();
    QCoreApplication::processEvents();
    const qint64 rssAfter = residentBytes();

    // Cost per message near a table size: GUI-thread CPU seconds spent per row
    // over the window of rows around it.
    auto costAround = [&](int centre, int half) {
        // The last sample at or before the window and the first at or after it.
        const Checkpoint *lo = nullptr;
        const Checkpoint *hi = nullptr;
        for (const Checkpoint &p : points) {
            if (p.rows <= centre - half)
                lo = &p;
            if (!hi && p.rows >= centre + half)
                hi = &p;
        }
        if (!hi && !points.empty())
            hi = &points.back();
        if (!lo && !points.empty())
            lo = &points.front();
        if (!lo || !hi || hi->rows <= lo->rows)
            return 0.0;
        return (hi->cpu - lo->cpu) / double(hi->rows - lo->rows);
    };
    const double costSmall = costAround(10000, 5000);
    const double costLarge = costAround(rows - 5000, 5000);

    // Phase 2: a steady 2,000 messages/s into the full table.
    QMetaObject::invokeMethod(&window, "disconnectFromP");
    waitUntil([&] { return status->text() == QLatin1String("Stato: Disconnesso"); }, 10000);
    Emulator steady;
    const int steadyCount = BenchSupport::envInt("INGEST_STEADY_COUNT", 20000);
    const QString steadyAddress = steady.start({QStringLiteral("--rate"), QStringLiteral("2000"), QStringLiteral("--count"),
                                                QString::number(steadyCount), QStringLiteral("--seed"), QStringLiteral("2")});
    connectTo(steadyAddress);
    StallMonitor stalls;
    stalls.start();
    const int before = table->rowCount();
    QElapsedTimer steadyClock;
    steadyClock.start();
    waitUntil([&] { return table->rowCount() >= before + steadyCount; }, 60000);
    stalls.stop();
    const double steadyRate = (table->rowCount() - before) / (double(steadyClock.nsecsElapsed()) / 1e9);

    const double rate = rows / fillSeconds;
    const double bytesPerRow = double(rssAfter - rssBefore) / std::max(1, rows);
    const double ratio = costSmall > 0 ? costLarge / costSmall : 0;
    std::printf("fill: %d rows in %.2f s = %.0f msgs/s; fill stalls max %.1f ms p99 %.1f ms\n", rows, fillSeconds, rate,
                fillStalls.max(), fillStalls.percentile(0.99));
    std::printf("  worst fill stall at %.2f s after the start\n", fillStalls.worstAt());
    std::printf("GUI-thread cost per message: %.2f us near 10k rows, %.2f us near %d rows\n", costSmall * 1e6,
                costLarge * 1e6, rows);
    std::printf("steady: %.0f msgs/s into %d rows, %zu samples, stall max %.1f ms p99 %.1f ms\n", steadyRate, before,
                stalls.count(), stalls.max(), stalls.percentile(0.99));
    std::printf("memory: %.1f MB resident for %d rows = %.0f bytes/row\n", (rssAfter - rssBefore) / 1048576.0, rows,
                bytesPerRow);
    std::printf("ingest: rate_msgs_s=%.0f cost_ratio_500k_10k=%.2f max_stall_ms=%.0f p99_stall_ms=%.1f "
                "bytes_per_row=%.0f baseline_speedup=%.0f login_median_ms=%.1f\n",
                rate, ratio, stalls.max(), stalls.percentile(0.99), bytesPerRow, baseline > 0 ? rate / baseline : 0,
                loginMedian);
    return 0;
}
