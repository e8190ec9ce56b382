#include "harborlogger.h"

#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex registryMutex;
}

HarborLogger::HarborLogger(const QString &name)
    : m_name(name)
{
}

HarborLogger::~HarborLogger() = default;

HarborLogger *HarborLogger::instance(const QString &name, int version)
{
    Q_UNUSED(version)
    static QMap<QString, std::shared_ptr<HarborLogger>> registry;
    QMutexLocker lock(&registryMutex);
    std::shared_ptr<HarborLogger> &slot = registry[name];
    if (!slot)
        slot.reset(new HarborLogger(name));
    return slot.get();
}

Logger *HarborLogger::createFileLogger(const QString &module, const QString &fileName, const WriterConfig &config)
{
    QMutexLocker lock(&registryMutex);
    const QString key = module + QLatin1Char('\n') + fileName;
    std::shared_ptr<Logger> &slot = m_loggers[key];
    if (!slot)
        slot = std::make_shared<Logger>(module, fileName, config);
    return slot.get();
}
