#include "boundedfile.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

BoundedFile::Result BoundedFile::read(const QString &path, qint64 maxBytes, Kind kind, QByteArray *data,
                                      QString *error, struct stat *info)
{
    struct stat opened {};
    if (!info)
        info = &opened;
    // A pipe without a writer must not hold the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return Missing;
        *error = QStringLiteral("cannot read %1: %2").arg(path, qt_error_string(errno));
        return Failed;
    }
    auto fail = [&](const QString &why) {
        ::close(fd);
        *error = why;
        return Failed;
    };
    if (::fstat(fd, info) != 0)
        return fail(QStringLiteral("cannot read %1: %2").arg(path, qt_error_string(errno)));
    if (kind == RegularOnly && !S_ISREG(info->st_mode))
        return fail(QStringLiteral("%1 is not a regular file").arg(path));
    // A pipe's writer is then waited for while it writes; without one it
    // reads as empty.
    if (kind == AnyKind)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    data->clear();
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(QStringLiteral("cannot read %1: %2").arg(path, qt_error_string(errno)));
        }
        if (data->size() + n > maxBytes)
            return fail(QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxBytes));
        data->append(chunk, int(n));
    }
    ::close(fd);
    return Read;
}
