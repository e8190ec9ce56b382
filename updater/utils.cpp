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

// The top destination is never descended into, so that a destination inside
// the source cannot make the copy recurse forever.
struct TopDestination {
    bool known = false;
    QString canonicalPath;
};

bool copyTree(const QString &src, const QString &dst, const QStringList &filters, TopDestination &top)
{
    const QDir srcDir(QDir::toNativeSeparators(src));
    const QDir dstDir(QDir::toNativeSeparators(dst));
    qDebug() << srcDir.path() << "-->" << dstDir.path();
    if (!dstDir.exists()) {
        qDebug() << "mkdir" << dstDir.path();
        QDir().mkdir(dstDir.path());
    }
    if (!top.known) {
        top.known = true;
        top.canonicalPath = QFileInfo(dstDir.path()).canonicalFilePath();
    }

    const QFileInfoList entries = srcDir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            // A linked directory may lead anywhere, back up the tree included.
            if (entry.isSymLink()) {
                qDebug() << "Skipping linked dir" << entry.filePath();
                continue;
            }
            if (!top.canonicalPath.isEmpty() && entry.canonicalFilePath() == top.canonicalPath)
                continue;
            qDebug() << "Copying a dir";
            const QString target = QDir::toNativeSeparators(dst) + QDir::separator() + entry.fileName();
            if (!copyTree(entry.absoluteFilePath(), target, filters, top)) {
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
            if (!Utils::copyOverwriteFile(source, target)) {
                qCritical() << "overwrite copy of file failed";
                return false;
            }
        }
    }
    return true;
}

} // namespace

namespace Utils {

bool copyDirectory(const QString &src, const QString &dst, const QStringList &filters)
{
    TopDestination top;
    return copyTree(src, dst, filters, top);
}

bool copyOverwriteFile(const QString &src, const QString &dst)
{
    QFile source(QDir::toNativeSeparators(src));
    QFile target(QDir::toNativeSeparators(dst));
    qDebug() << "Now copying " << source.fileName() << "to" << target.fileName();
    // Without a source the destination would be removed for nothing.
    if (!source.exists()) {
        qCritical() << "Src file cannot be accessed" << source.fileName();
        return false;
    }
    // Removing the destination first would delete the only copy.
    const QString canonicalSource = QFileInfo(source).canonicalFilePath();
    if (!canonicalSource.isEmpty() && canonicalSource == QFileInfo(target).canonicalFilePath()) {
        qDebug() << "Source and destination are the same file" << source.fileName();
        return true;
    }
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
