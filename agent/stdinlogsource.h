#pragma once

#include "logsource.h"

#include <QByteArray>

class QSocketNotifier;

// Lines from standard input, as in "kamailio -DD -E 2>&1 | plogger4-agent
// --source stdin". Its end is a lost source that does not come back.
class StdinLogSource : public LogSource
{
    Q_OBJECT
public:
    explicit StdinLogSource(QObject *parent = nullptr);

    void start() override;
    QString sharedResource() const override { return QStringLiteral("standard input"); }

private:
    void readInput();

    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_buffer;
};
