#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegExp>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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


bool makePrivateDirectory(const QString &dir, QString *problem)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(dir);
    QDir().mkpath(QFileInfo(dir).path());
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *problem = QStringLiteral("cannot be created: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        *problem = QStringLiteral("cannot be examined: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *problem = S_ISLNK(st.st_mode) ? QStringLiteral("is a symbolic link, not a directory")
                                       : QStringLiteral("is not a directory");
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *problem = QStringLiteral("belongs to user %1, not to this user (%2)").arg(st.st_uid).arg(::geteuid());
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *problem = QStringLiteral("may be written by other users (mode %1)").arg(st.st_mode & 07777, 4, 8,
                                                                                  QLatin1Char('0'));
        return false;
    }
    return true;
#else
    // The temporary folder is the user's own here.
    if (!QDir().mkpath(dir)) {
        *problem = QStringLiteral("cannot be created");
        return false;
    }
    return true;
#endif
}

bool createNewFile(QFile &file, const QString &path, QString *error)
{
    file.setFileName(path);
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    // Removes a link rather than its target; a directory stays and fails below.
    ::unlink(name.constData());
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file.errorString();
        return false;
    }
    return true;
#else
    QFile::remove(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = file.errorString();
        return false;
    }
    return true;
#endif
}

}
