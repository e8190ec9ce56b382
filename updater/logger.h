#pragma once

#include "hrbl.h"
#include "writerconfig.h"

#include <QFile>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariant>

// Appends one line per entry to a log file: local time to the millisecond,
// priority, module, then the entry's items separated by blanks.
//
//   *logger << HRBL::PriorityInfo << "text" << value << HRBL::EndEntry;
class Logger
{
public:
    Logger(const QString &module, const QString &fileName, const WriterConfig &config);
    ~Logger();

    Logger &operator<<(HRBL::LogMessagePriorityType priority);
    Logger &operator<<(const QVariant &item);
    Logger &operator<<(HRBL::LogStreamManipType manipulator);

    // Writes pending entries out to the file.
    void flush();

    QString fileName() const;

private:
    Q_DISABLE_COPY(Logger)
    void writeEntry();
    void rotateIfNeeded(qint64 incoming);

    const QString m_module;
    QFile m_file;
    const WriterConfig m_config;
    QMutex m_mutex;
    int m_priority = HRBL::PriorityInfo;
    QStringList m_items;
};
