#pragma once

#include <QString>
#include <QStringList>

class QFile;

// File helpers of the updater.
namespace Utils {
// Copies the files of src that match one of the wildcard filters (all files
// when there are none; matched case-insensitively) into dst, recreating every
// subdirectory. Linked directories and dst itself, when it lies inside src,
// are not descended into. Stops at the first failure.
bool copyDirectory(const QString &src, const QString &dst, const QStringList &filters);
// Copies src over dst, removing dst first. A missing src leaves dst alone.
bool copyOverwriteFile(const QString &src, const QString &dst);
// Creates dir for this user alone (0700) when it is missing, then checks that
// it is a real directory, not a link, owned by this user and not writable by
// anybody else. On failure *problem says why.
bool makePrivateDirectory(const QString &dir, QString *problem);
// Opens path as a new, empty file of this user alone, without following a
// link: whatever stood under that name is removed first, never written
// through. On failure *error says why.
bool createNewFile(QFile &file, const QString &path, QString *error);
}
