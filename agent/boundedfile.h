#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// Reads a file the agent is given whole, but never more than a bound: a name
// that turns out to be a device or a pipe has no size to check beforehand.
class BoundedFile
{
public:
    enum Kind {
        AnyKind,      // a pipe too, as "--config <(...)" gives
        RegularOnly,  // checked on what was opened
    };
    enum Result { Read, Missing, Failed };

    // The bytes in *data and, when asked, what was opened in *info; Missing
    // when nothing has the name; Failed, with *error set, for anything else.
    static Result read(const QString &path, qint64 maxBytes, Kind kind, QByteArray *data, QString *error,
                       struct stat *info = nullptr);
};
