#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A recorded log stream: record() writes log frames as the demo exchange
// would send them, one per line; a FrameReplay hands them back in order,
// starting over at the end, so a benchmark can replay the same stream as
// fast as a client reads it.
class FrameReplay
{
public:
    static bool record(const QString &fileName, qint64 count, quint32 seed, QString *error);

    bool open(const QString &fileName, QString *error);
    // The next frame with its line end; empty only if the file went bad.
    QByteArray nextFrame();

private:
    QFile m_file;
    QByteArray m_buffer;
    int m_position = 0;
};
