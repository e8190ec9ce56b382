#pragma once

#include <QtGlobal>

// How a file logger keeps its file bounded: an entry that would take the file
// past maxFileSize bytes first moves it to "<name>.1" (replacing an older one)
// and starts a new file. 0 means unbounded.
struct WriterConfig
{
    qint64 maxFileSize = 1024 * 1024;
};
