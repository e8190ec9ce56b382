#pragma once

#include <QString>
#include <QVector>

class LogMessageModel;

// Writes the log table as tab-separated text in the locale's encoding: a
// header line of the given columns, then every row. Continuation lines of a
// message start six tabs in. The file is replaced only once everything was
// written, so a failed save never leaves a half-written file behind.
namespace LogFileWriter {
bool write(const LogMessageModel &model, const QVector<int> &columns, const QString &fileName,
           QString *errorString);
}
