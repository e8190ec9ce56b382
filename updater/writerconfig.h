#pragma once

#include <QtGlobal>

// How a file logger keeps its file bounded: past maxFileSize bytes the file
// moves to "<name>.1" (replacing an older one) and a new file starts.
struct WriterConfig
{
    qint64 maxFileSize = 1024 * 1024;
};
