#pragma once

#include <QString>
#include <QStringList>

// File helpers of the updater.
namespace Utils {
// Copies the files of src that match one of the wildcard filters (all files
// when there are none; matched case-insensitively) into dst, recreating every
// subdirectory. Linked directories and dst itself, when it lies inside src,
// are not descended into. Stops at the first failure.
bool copyDirectory(const QString &src, const QString &dst, const QStringList &filters);
// Copies src over dst, removing dst first. A missing src leaves dst alone.
bool copyOverwriteFile(const QString &src, const QString &dst);
}
