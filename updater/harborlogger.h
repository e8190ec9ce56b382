#pragma once

#include "logger.h"
#include "writerconfig.h"

#include <QMap>
#include <QString>

#include <memory>

// Process-wide registry of file loggers, one registry per application name.
// It owns the loggers it hands out; they live until the process ends.
class HarborLogger
{
public:
    static HarborLogger *instance(const QString &name, int version);

    // The logger for this module and file, created on first request.
    Logger *createFileLogger(const QString &module, const QString &fileName, const WriterConfig &config);

    ~HarborLogger();

private:
    explicit HarborLogger(const QString &name);
    Q_DISABLE_COPY(HarborLogger)

    QString m_name;
    QMap<QString, std::shared_ptr<Logger>> m_loggers;
};
