// Drawing a call's flow.
//
// Builds the flow window of a call of 200 SIP messages and 2,000 server log
// lines, and of one of 2,000 messages and 2,000 lines, and times what the
// user waits for: the ladder worked out from the rows, laid out, and the
// first screen painted, and the slowest screen while scrolling down the
// larger one. Then saves the first call as SVG and gives its size.

#include "callflowview.h"
#include "callflowwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString kCallId = QStringLiteral("a84b4c76e66710@pc33.example");

DiagnosticMessage sip(const QString &src, const QString &dst, const QString &what, const QString &cseq,
                      const QString &branch, qint64 us)
{
    DiagnosticMessage m;
    m.linkedId = kCallId;
    m.verbosity = QStringLiteral("4");
    m.timestamp = QDateTime::fromMSecsSinceEpoch(us / 1000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    m.extraFields << "sip.src=" + src << "sip.dst=" + dst << QStringLiteral("sip.proto=UDP");
    if (what.at(0).isDigit())
        m.extraFields << "sip.status=" + what.left(3) << "sip.reason=" + what.mid(4);
    else
        m.extraFields << "sip.method=" + what;
    m.extraFields << "sip.cseq=" + cseq << "sip.from=sip:alice@example.test" << "sip.to=sip:bob@example.test"
                  << "sip.branch=" + branch
                  << QStringLiteral("sip.time=%1.%2").arg(us / 1000000).arg(us % 1000000, 6, 10, QLatin1Char('0'));
    m.message = QStringLiteral("SIP from %1 to %2 (UDP)\n%3 sip:bob@example.test SIP/2.0\nCall-ID: %4\nCSeq: %5\n")
                    .arg(src, dst, what, kCallId, cseq);
    return m;
}

DiagnosticMessage line(const QString &text, int level, qint64 us)
{
    DiagnosticMessage m;
    m.linkedId = kCallId;
    m.verbosity = QString::number(level);
    m.timestamp = QDateTime::fromMSecsSinceEpoch(us / 1000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    m.message = text;
    return m;
}

// A call through a proxy, repeated: messages across three hosts, lines
// spread between them.
QVector<DiagnosticMessage> call(int messages, int lines)
{
    static const char *const steps[][4] = {{"A", "K", "INVITE", "1 INVITE"}, {"K", "A", "100 Trying", "1 INVITE"},
                                           {"K", "B", "INVITE", "1 INVITE"}, {"B", "K", "180 Ringing", "1 INVITE"},
                                           {"K", "A", "180 Ringing", "1 INVITE"}, {"B", "K", "200 OK", "1 INVITE"},
                                           {"K", "A", "200 OK", "1 INVITE"}, {"A", "K", "ACK", "1 ACK"},
                                           {"K", "B", "ACK", "1 ACK"}, {"A", "K", "BYE", "2 BYE"},
                                           {"K", "B", "BYE", "2 BYE"}, {"B", "K", "200 OK", "2 BYE"},
                                           {"K", "A", "200 OK", "2 BYE"}};
    const auto host = [](const char *name) {
        return QString::fromLatin1(name[0] == 'A' ? "127.0.0.1:5070" : name[0] == 'K' ? "127.0.0.1:5060"
                                                                                      : "127.0.0.1:5080");
    };
    const qint64 start = qint64(1700000000) * 1000000;
    QVector<DiagnosticMessage> rows;
    const int perMessage = messages ? lines / messages : lines;
    int made = 0;
    for (int i = 0; i < messages; ++i) {
        const auto &s = steps[i % int(std::size(steps))];
        rows << sip(host(s[0]), host(s[1]), QString::fromLatin1(s[2]), QString::fromLatin1(s[3]),
                    QStringLiteral("z9hG4bK%1").arg(i / 2), start + i * 20000);
        for (int j = 0; j < perMessage && made < lines; ++j, ++made)
            rows << line(QStringLiteral("INFO: <script>: relay %1 to next hop, route %2").arg(i).arg(j), j % 5,
                         start + i * 20000 + 1000 + j);
    }
    for (; made < lines; ++made)
        rows << line(QStringLiteral("INFO: line %1").arg(made), made % 5, start + made * 1000);
    return rows;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Building the window from its rows and painting its first screen.
double drawMs(const QVector<DiagnosticMessage> &rows)
{
    std::vector<double> times;
    for (int run = 0; run < 7; ++run) {
        QElapsedTimer clock;
        clock.start();
        CallFlowWindow window(kCallId, rows);
        QImage screen(1000, 800, QImage::Format_RGB32);
        QPainter painter(&screen);
        window.view()->paintContent(&painter, screen.rect());
        painter.end();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return median(times);
}

// Painting screen after screen down the whole call: the slowest frame.
double slowestFrameMs(const QVector<DiagnosticMessage> &rows)
{
    CallFlowWindow window(kCallId, rows);
    const int height = window.view()->sizeHint().height();
    QImage screen(1000, 800, QImage::Format_RGB32);
    double slowest = 0;
    for (int top = 0; top < height; top += 400) {
        QElapsedTimer clock;
        clock.start();
        QPainter painter(&screen);
        painter.translate(0, -top);
        window.view()->paintContent(&painter, QRect(0, top, screen.width(), screen.height()));
        painter.end();
        slowest = std::max(slowest, double(clock.nsecsElapsed()) / 1e6);
    }
    return slowest;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    const QVector<DiagnosticMessage> small = call(200, 2000);
    const QVector<DiagnosticMessage> large = call(2000, 2000);
    const double smallMs = drawMs(small);
    const double largeMs = drawMs(large);

    QTemporaryDir dir;
    CallFlowWindow window(kCallId, small);
    const QString svg = dir.filePath(QStringLiteral("flow.svg"));
    QString error;
    if (!window.saveImage(svg, &error)) {
        std::fprintf(stderr, "bench_flow: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("flow: %d messages and %d lines drawn in %.1f ms, %d and %d in %.1f ms; their SVG %lld KiB\n", 200,
                2000, smallMs, 2000, 2000, largeMs, QFileInfo(svg).size() / 1024);
    std::printf("flow: scrolling the larger call, the slowest screen took %.2f ms\n", slowestFrameMs(large));
    std::printf("flow: draw_ms_200msgs=%.1f draw_ms_2000msgs=%.1f svg_kib=%lld\n", smallMs, largeMs,
                QFileInfo(svg).size() / 1024);
    return 0;
}
