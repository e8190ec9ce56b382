#pragma once

#include "logsource.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>

class QFileSystemWatcher;

// Follows a text file (never through a symbolic link) as "tail -F" does: starts at its end; after a rotation
// by rename it reads the old file to its end, then the new one from its
// start; after a truncation it starts over at 0; a file that does not exist
// yet is waited for. inotify (on the file and on its folder, for creation)
// reports changes at once; a poll covers file systems without it.
//
// With a position file, where reading stopped (device, inode, offset) is kept
// there, and the next start goes on from it: in the same file, or in the
// rotated one (PATH.1) and then the new one. When neither is the file read
// before, one NOTICE record says what may be missing.
class FileLogSource : public LogSource
{
    Q_OBJECT
public:
    explicit FileLogSource(const QString &path, const QString &positionPath = QString(), QObject *parent = nullptr);
    // Keeps the position of what was delivered.
    ~FileLogSource() override;

    void start() override;
    void setPaused(bool paused) override;
    // The file itself, also through a link to its folder.
    QString sharedResource() const override;

private:
    void scheduleCheck();
    void check();
    bool drain();
    // offset -1: at the file's end.
    bool openFile(const QString &path, qint64 offset);
    bool resume();
    void notice(const QString &text);
    void noteDelivered();
    void savePosition();
    void closeFile();
    void watchFolder();

    const QString m_path;
    QFileSystemWatcher *m_watcher;
    QTimer m_pollTimer;
    bool m_checkScheduled = false;
    bool m_paused = false;
    bool m_started = false;
    int m_fd = -1;
    // What was in the file at start is old news, even when it could only be
    // opened later.
    bool m_startAtEnd = false;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_position = 0;
    QByteArray m_buffer;
    const QString m_positionPath;
    QTimer m_saveTimer;
    // Where everything before was delivered, and what the file says.
    QByteArray m_resumeText;
    QByteArray m_savedText;
    // A rotation leaves the name missing for a moment; only a longer absence
    // is a lost source.
    QElapsedTimer m_missingSince;
};
