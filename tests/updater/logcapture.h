#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the messages written to Qt's log while it lives; passes warnings
// and worse on to the previous handler. Debug output is kept quiet unless
// PLOGGER_TEST_VERBOSE is set.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    bool contains(const QString &text) const;
    QStringList lines() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    QtMessageHandler previous = nullptr;
};
