#include "filelogsource.h"

#include "kamailiologparser.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kReadChunk = 256 * 1024;
// Beyond this per look the rest waits for the next turn of the event loop,
// so that clients are served while a large file is read.
constexpr qint64 kReadBudget = 4 * kReadChunk;
constexpr int kPollMs = 200;
constexpr qint64 kMissingGraceMs = 1000;
}

FileLogSource::FileLogSource(const QString &path, QObject *parent)
    : LogSource(parent)
    , m_path(path)
    , m_watcher(new QFileSystemWatcher(this))
{
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &FileLogSource::scheduleCheck);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &FileLogSource::scheduleCheck);
    connect(&m_pollTimer, &QTimer::timeout, this, &FileLogSource::check);
}

FileLogSource::~FileLogSource()
{
    closeFile();
}

QString FileLogSource::sharedResource() const
{
    const QFileInfo file(m_path);
    QString path = file.canonicalFilePath();
    if (path.isEmpty()) {
        // Not there yet: its folder may still be reached through a link.
        const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
        path = folder.isEmpty() ? file.absoluteFilePath() : folder + QLatin1Char('/') + file.fileName();
    }
    return QStringLiteral("the file %1").arg(path);
}

void FileLogSource::start()
{
    m_started = true;
    m_buffer.resize(kReadChunk);
    watchFolder();
    struct stat st;
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        m_startAtEnd = true;
        openFile(true);
    }
    else
        markLost(QStringLiteral("log file %1 does not exist; likely Kamailio logs elsewhere (the journal: source = "
                                "journal:kamailio; rsyslog: source = file:/var/log/syslog) or the path is mistyped")
                     .arg(m_path));
    m_pollTimer.start(kPollMs);
}

void FileLogSource::scheduleCheck()
{
    if (m_checkScheduled)
        return;
    m_checkScheduled = true;
    QTimer::singleShot(0, this, &FileLogSource::check);
}

void FileLogSource::setPaused(bool paused)
{
    m_paused = paused;
    if (!paused)
        scheduleCheck();
}

void FileLogSource::check()
{
    m_checkScheduled = false;
    // A pause that ends before the start (a client far behind on HEP's
    // rows) opens nothing: start() does.
    if (m_paused || !m_started)
        return;
    watchFolder();
    struct stat st;
    const bool exists = ::stat(QFile::encodeName(m_path).constData(), &st) == 0;
    if (m_fd < 0) {
        if (exists && openFile(m_startAtEnd) && !drain())
            scheduleCheck();
        return;
    }

    struct stat own;
    if (::fstat(m_fd, &own) == 0 && own.st_size < m_position) {
        qInfo() << Q_FUNC_INFO << m_path << "was truncated, reading it from its start";
        parser()->endOfStream();
        deliver();
        ::lseek(m_fd, 0, SEEK_SET);
        m_position = 0;
    }
    if (!drain()) {
        scheduleCheck();
        return;
    }
    if (!exists) {
        // Renamed with no successor yet, or removed: what is still written
        // to the old file is read meanwhile.
        if (!m_missingSince.isValid())
            m_missingSince.start();
        else if (m_missingSince.elapsed() >= kMissingGraceMs)
            markLost(QStringLiteral("log file %1 was removed").arg(m_path));
        return;
    }
    if (quint64(st.st_dev) != m_device || quint64(st.st_ino) != m_inode) {
        qInfo() << Q_FUNC_INFO << m_path << "was rotated, reading the new file";
        parser()->endOfStream();
        deliver();
        closeFile();
        if (openFile(false) && !drain())
            scheduleCheck();
    }
}

// Reads to the current end; false when the budget ran out first.
bool FileLogSource::drain()
{
    qint64 budget = kReadBudget;
    while (m_fd >= 0 && budget > 0) {
        const ssize_t n = ::read(m_fd, m_buffer.data(), size_t(m_buffer.size()));
        if (n > 0) {
            m_position += n;
            budget -= n;
            parser()->addData(m_buffer.constData(), n);
            deliver();
            if (m_paused)
                return true;  // the rest waits in the file
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            const QString reason = QStringLiteral("cannot read log file %1: %2").arg(m_path, qt_error_string(errno));
            closeFile();
            markLost(reason);
        }
        return true;
    }
    return m_fd < 0;
}

bool FileLogSource::openFile(bool atEnd)
{
    // Non-blocking: a named pipe given as the file must not stop the agent.
    // Never through a link: whoever may write the log's folder could put one
    // there to the agent's own key, and every client would be sent it; nor a
    // device, which has no end.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    struct stat st;
    QString why;
    if (fd < 0)
        why = errno == ELOOP ? QStringLiteral("it is a symbolic link") : qt_error_string(errno);
    else if (::fstat(fd, &st) != 0)
        why = qt_error_string(errno);
    else if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
        why = QStringLiteral("it is neither a file nor a named pipe");
    if (!why.isEmpty()) {
        if (fd >= 0)
            ::close(fd);
        markLost(QStringLiteral("cannot open log file %1: %2").arg(m_path, why));
        return false;
    }
    m_fd = fd;
    m_startAtEnd = false;
    m_device = quint64(st.st_dev);
    m_inode = quint64(st.st_ino);
    m_position = atEnd ? qMax<qint64>(0, ::lseek(fd, 0, SEEK_END)) : 0;
    m_missingSince.invalidate();
    // The old watch followed the renamed file.
    m_watcher->removePath(m_path);
    m_watcher->addPath(m_path);
    markRestored();
    return true;
}

void FileLogSource::closeFile()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}

void FileLogSource::watchFolder()
{
    if (!m_watcher->directories().isEmpty())
        return;
    const QString folder = QFileInfo(m_path).absolutePath();
    if (QFileInfo::exists(folder))
        m_watcher->addPath(folder);
}
