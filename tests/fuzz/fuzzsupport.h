#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding like a crash: libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace FuzzSupport {

// The code under test logs every bad input it skips; at thousands of inputs
// a second that output would be most of the run time.
inline void silenceQtMessages()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "qFatal: %s\n", msg.toLocal8Bit().constData());
            std::abort();
        }
    });
}

// For targets whose code needs an application object (timers, sockets):
// one for the whole run, with Qt's messages off.
inline void startQuietApplication(const char *name)
{
    silenceQtMessages();
    static int argc = 1;
    static char *argv[] = {const_cast<char *>(name), nullptr};
    new QCoreApplication(argc, argv);
}

// Up to maxCuts cut positions, taken from the front of the input; the
// pieces are cut from the text later, so they depend on its length.
inline QVector<int> takeCuts(FuzzedDataProvider &fdp, int maxCuts = 16)
{
    QVector<int> cuts(fdp.ConsumeIntegralInRange<int>(0, maxCuts));
    for (int &cut : cuts)
        cut = fdp.ConsumeIntegral<quint16>();
    return cuts;
}

// Cuts text into pieces at the given positions (taken modulo its length):
// what a socket would hand over in arbitrary reads.
template<typename Text>
QVector<Text> splitAt(const Text &text, QVector<int> cuts)
{
    for (int &cut : cuts)
        cut = text.isEmpty() ? 0 : cut % (text.size() + 1);
    cuts.append(0);
    cuts.append(text.size());
    std::sort(cuts.begin(), cuts.end());
    QVector<Text> pieces;
    for (int i = 1; i < cuts.size(); ++i)
        pieces.append(text.mid(cuts[i - 1], cuts[i] - cuts[i - 1]));
    return pieces;
}

}
