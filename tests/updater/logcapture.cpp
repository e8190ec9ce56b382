#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex mutex;
QStringList captured;
QtMessageHandler chained = nullptr;
bool verbose = false;
}

LogCapture::LogCapture()
{
    QMutexLocker lock(&mutex);
    captured.clear();
    verbose = qEnvironmentVariableIsSet("PLOGGER_TEST_VERBOSE");
    previous = qInstallMessageHandler(&LogCapture::handler);
    chained = previous;
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    {
        QMutexLocker lock(&mutex);
        captured << msg;
    }
    if (chained && (verbose || type != QtDebugMsg))
        chained(type, context, msg);
}

bool LogCapture::contains(const QString &text) const
{
    QMutexLocker lock(&mutex);
    for (const QString &line : qAsConst(captured)) {
        if (line.contains(text))
            return true;
    }
    return false;
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return captured;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    captured.clear();
}
