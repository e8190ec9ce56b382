#include "filelogsource.h"

#include "kamailiologparser.h"
#include "wiretimestamp.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QDateTime>
#include <QSaveFile>

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
// The position is written at most this often while lines come.
constexpr int kSaveMs = 1000;
constexpr qint64 kMaxPositionFileBytes = 256;
}

FileLogSource::FileLogSource(const QString &path, const QString &positionPath, QObject *parent)
    : LogSource(parent)
    , m_path(path)
    , m_watcher(new QFileSystemWatcher(this))
    , m_positionPath(positionPath)
{
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &FileLogSource::scheduleCheck);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &FileLogSource::scheduleCheck);
    connect(&m_pollTimer, &QTimer::timeout, this, &FileLogSource::check);
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &FileLogSource::savePosition);
    connect(this, &LogSource::recordsReady, this, &FileLogSource::noteDelivered);
}

FileLogSource::~FileLogSource()
{
    savePosition();
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
    if (resume()) {
        // Goes on where the last run stopped.
    } else if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        m_startAtEnd = true;
        openFile(m_path, -1);
    } else {
        markLost(QStringLiteral("log file %1 does not exist; likely Kamailio logs elsewhere (the journal: source = "
                                "journal:kamailio; rsyslog: source = file:/var/log/syslog) or the path is mistyped")
                     .arg(m_path));
    }
    m_pollTimer.start(kPollMs);
    // What was written while the agent was stopped is read at once.
    scheduleCheck();
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
        if (exists && openFile(m_path, m_startAtEnd ? -1 : 0) && !drain())
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
        if (openFile(m_path, 0) && !drain())
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

bool FileLogSource::openFile(const QString &path, qint64 offset)
{
    // Non-blocking: a named pipe given as the file must not stop the agent.
    // Never through a link: whoever may write the log's folder could put one
    // there to the agent's own key, and every client would be sent it; nor a
    // device, which has no end.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
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
        markLost(QStringLiteral("cannot open log file %1: %2").arg(path, why));
        return false;
    }
    m_fd = fd;
    m_startAtEnd = false;
    m_device = quint64(st.st_dev);
    m_inode = quint64(st.st_ino);
    m_position = qMax<qint64>(0, ::lseek(fd, offset < 0 ? 0 : offset, offset < 0 ? SEEK_END : SEEK_SET));
    m_missingSince.invalidate();
    // The old watch followed the renamed file.
    m_watcher->removePath(m_path);
    m_watcher->addPath(m_path);
    markRestored();
    noteDelivered();
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

// The saved position names the file read before: the same file goes on at
// the offset, a rotated one (PATH.1) is read to its end before the new one.
// True when the position decided where to start.
bool FileLogSource::resume()
{
    if (m_positionPath.isEmpty())
        return false;
    QFile file(m_positionPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;  // the first start
    const QList<QByteArray> parts = file.read(kMaxPositionFileBytes).trimmed().split(' ');
    const QDateTime savedAt = QFileInfo(file).lastModified();
    bool ok = parts.size() == 3;
    const quint64 device = ok ? parts.at(0).toULongLong(&ok) : 0;
    const quint64 inode = ok ? parts.at(1).toULongLong(&ok) : 0;
    qint64 offset = ok ? parts.at(2).toLongLong(&ok) : -1;
    if (!ok || offset < 0) {
        qWarning() << Q_FUNC_INFO << "ignoring the unreadable position in" << m_positionPath;
        return false;
    }
    const QString rotated = m_path + QStringLiteral(".1");
    for (const QString &path : {m_path, rotated}) {
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) != 0 || quint64(st.st_dev) != device
            || quint64(st.st_ino) != inode)
            continue;
        if (st.st_size < offset) {
            notice(QStringLiteral("plogger4-agent: %1 was cut shorter while the agent was stopped; it is read from its "
                                  "start, and lines written to it after %2 may be missing")
                       .arg(path, savedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
            offset = 0;
        }
        openFile(path, offset);
        return true;
    }
    notice(QStringLiteral("plogger4-agent: neither %1 nor %2 is the file read before the agent stopped; lines written "
                          "between %3 and the start may be missing")
               .arg(m_path, rotated, savedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
    struct stat st;
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0)
        openFile(m_path, 0);
    else
        markLost(QStringLiteral("log file %1 does not exist").arg(m_path));
    return true;
}

void FileLogSource::notice(const QString &text)
{
    DiagnosticMessage record;
    record.verbosity = QStringLiteral("2");
    record.timestamp = WireTimestamp::now();
    record.message = text;
    emit recordsReady({record});
}

// Only a position before which every record went out is kept: an
// unfinished line is read again next time.
void FileLogSource::noteDelivered()
{
    const int held = parser()->heldBytes();
    if (m_positionPath.isEmpty() || m_fd < 0 || held < 0)
        return;
    m_resumeText = QByteArray::number(m_device) + ' ' + QByteArray::number(m_inode) + ' '
        + QByteArray::number(m_position - held);
    if (m_resumeText != m_savedText && !m_saveTimer.isActive())
        m_saveTimer.start();
}

void FileLogSource::savePosition()
{
    m_saveTimer.stop();
    if (m_resumeText.isEmpty() || m_resumeText == m_savedText)
        return;
    QSaveFile file(m_positionPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(m_resumeText + '\n') < 0 || !file.commit()) {
        qWarning() << Q_FUNC_INFO << "cannot write" << m_positionPath << file.errorString();
        return;
    }
    m_savedText = m_resumeText;
}
