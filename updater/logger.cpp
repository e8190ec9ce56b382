#include "logger.h"

#include <QDateTime>
#include <QFileInfo>
#include <QMutexLocker>

Logger::Logger(const QString &module, const QString &fileName, const WriterConfig &config)
    : m_module(module)
    , m_file(fileName)
    , m_config(config)
{
}

Logger::~Logger()
{
    flush();
}

Logger &Logger::operator<<(HRBL::LogMessagePriorityType priority)
{
    QMutexLocker lock(&m_mutex);
    m_priority = priority;
    return *this;
}

Logger &Logger::operator<<(const QVariant &item)
{
    QMutexLocker lock(&m_mutex);
    if (item.userType() == QMetaType::QStringList)
        m_items << item.toStringList().join(QLatin1Char(' '));
    else
        m_items << item.toString();
    return *this;
}

Logger &Logger::operator<<(HRBL::LogStreamManipType manipulator)
{
    QMutexLocker lock(&m_mutex);
    if (manipulator == HRBL::EndEntry)
        writeEntry();
    return *this;
}

void Logger::flush()
{
    QMutexLocker lock(&m_mutex);
    if (m_file.isOpen())
        m_file.flush();
}

QString Logger::fileName() const
{
    return m_file.fileName();
}

void Logger::writeEntry()
{
    QString line = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    line += QLatin1Char(' ') + QString::number(m_priority) + QLatin1Char(' ') + m_module;
    for (const QString &item : qAsConst(m_items)) {
        // One entry is one line, whatever the items hold.
        QString flat = item;
        flat.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
        line += QLatin1Char(' ') + flat;
    }
    line += QLatin1Char('\n');
    m_items.clear();
    m_priority = HRBL::PriorityInfo;

    const QByteArray bytes = line.toUtf8();
    rotateIfNeeded(bytes.size());
    if (!m_file.isOpen() && !m_file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;  // an unwritable log must never stop the updater
    m_file.write(bytes);
    m_file.flush();
}

void Logger::rotateIfNeeded(qint64 incoming)
{
    if (m_config.maxFileSize <= 0)
        return;
    const qint64 size = m_file.isOpen() ? m_file.size() : QFileInfo(m_file).size();
    // A single entry larger than the limit still goes into a file of its own.
    if (size == 0 || size + incoming <= m_config.maxFileSize)
        return;
    m_file.close();
    const QString backup = m_file.fileName() + QStringLiteral(".1");
    QFile::remove(backup);
    QFile::rename(m_file.fileName(), backup);
}
