#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegExp>

namespace {
bool matchesAny(const QString &fileName, const QStringList &filters)
{
    for (const QString &filter : filters) {
        if (QRegExp(filter, Qt::CaseInsensitive, QRegExp::Wildcard).exactMatch(fileName))
            return true;
    }
    return false;
}
}

namespace Utils {

bool copyDirectory(const QString &src, const QString &dst, const QStringList &filters)
{
    const QDir srcDir(QDir::toNativeSeparators(src));
    const QDir dstDir(QDir::toNativeSeparators(dst));
    qDebug() << srcDir.path() << "-->" << dstDir.path();
    if (!dstDir.exists()) {
        qDebug() << "mkdir" << dstDir.path();
        QDir().mkdir(dstDir.path());
    }

    const QFileInfoList entries = srcDir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            qDebug() << "Copying a dir";
            const QString target = QDir::toNativeSeparators(dst) + QDir::separator() + entry.fileName();
            if (!copyDirectory(entry.absoluteFilePath(), target, filters)) {
                qCritical() << "recursive copy of dir failed";
                return false;
            }
        } else if (entry.isFile()) {
            if (!filters.isEmpty() && !matchesAny(entry.fileName(), filters))
                continue;
            const QString source = QDir::toNativeSeparators(entry.filePath());
            const QString target = dstDir.absolutePath() + QDir::separator() + entry.fileName();
            qDebug() << "Copying a file";
            qDebug() << "cp " << source << target;
            if (!copyOverwriteFile(source, target)) {
                qCritical() << "overwrite copy of file failed";
                return false;
            }
        }
    }
    return true;
}

bool copyOverwriteFile(const QString &src, const QString &dst)
{
    QFile source(QDir::toNativeSeparators(src));
    QFile target(QDir::toNativeSeparators(dst));
    qDebug() << "Now copying " << source.fileName() << "to" << target.fileName();
    if (!source.exists())
        qCritical() << "Src file cannot be accessed" << source.fileName();
    if (target.exists() && !target.remove()) {
        qWarning() << Q_FUNC_INFO << "ERROR: cannot remove file" << dst;
        return false;
    }
    const bool copied = source.copy(QDir::toNativeSeparators(dst));
    if (!copied)
        qCritical() << "Copy failed:" << source.errorString();
    return copied;
}

}
