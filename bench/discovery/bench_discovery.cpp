// How long the popup takes to show a burst of 1,000 replies that arrive over
// loopback from a real responder process.

#include "pdiscoverywidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

namespace {

constexpr int Replies = 1000;
constexpr int Runs = 5;
constexpr int RunTimeoutMs = 10000;

quint16 startResponder(QProcess &process)
{
    process.start(QStringLiteral(DISCOVERY_RESPONDER),
                  {"--listen", "127.0.0.1:0", "--reply-count", QString::number(Replies), "--ip", "127.0.0.1",
                   "--ip", "127.0.0.2"});
    if (!process.waitForStarted(5000))
        return 0;
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(5000))
            return 0;
    }
    static const QRegularExpression listening(QStringLiteral("^listening 127\\.0\\.0\\.1:(\\d+)\\n$"));
    const QRegularExpressionMatch m = listening.match(QString::fromLatin1(process.readLine()));
    return m.hasMatch() ? quint16(m.captured(1).toUInt()) : 0;
}

// Milliseconds from the button press until every row is painted; -1 on time-out.
qint64 oneRun(quint16 port, int *rowsShown)
{
    QWidget window;
    window.resize(800, 600);
    auto *button = new QToolButton(&window);
    button->setGeometry(170, 10, 24, 24);
    auto *popup = new PDiscoveryWidget(&window, QHostAddress::LocalHost, port);
    popup->setWindowFlags(Qt::FramelessWindowHint);
    popup->hide();
    QObject::connect(button, SIGNAL(clicked(bool)), popup, SLOT(startDiscovery()));
    window.show();

    QEventLoop loop;
    QElapsedTimer clock;
    qint64 elapsed = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (popup->topLevelItemCount() == Replies) {
            popup->viewport()->repaint();
            elapsed = clock.elapsed();
            loop.quit();
        } else if (clock.elapsed() > RunTimeoutMs) {
            loop.quit();
        }
    });
    clock.start();
    button->click();
    poll.start(0);
    loop.exec();
    *rowsShown = popup->topLevelItemCount();
    return elapsed;
}

}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QTextStream out(stdout);

    QProcess responder;
    const quint16 port = startResponder(responder);
    if (port == 0) {
        out << "discovery: error=responder_not_started" << Qt::endl;
        return 1;
    }

    QList<qint64> times;
    for (int run = 1; run <= Runs; ++run) {
        int rows = 0;
        const qint64 ms = oneRun(port, &rows);
        out << "run " << run << ": rows=" << rows << " ms=" << ms << Qt::endl;
        times.append(ms < 0 ? RunTimeoutMs : ms);
    }
    responder.terminate();
    responder.waitForFinished(3000);

    std::sort(times.begin(), times.end());
    out << "discovery: burst_1000_ms=" << times.at(times.size() / 2) << Qt::endl;
    return 0;
}
