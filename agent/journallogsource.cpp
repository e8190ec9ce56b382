#include "journallogsource.h"

#include "kamailiologparser.h"
#include "pbxprotocol.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QProcess>
#include <QSaveFile>

#include <cstring>

namespace {
constexpr int kFirstBackoffMs = 1000;
constexpr int kMaxBackoffMs = 30000;
// A child that runs this long (or delivers) counts as up again.
constexpr int kStableMs = 2000;
// The cursor file is written at most this often: it is synced to disk, and
// the worst after a crash is this much of the log again.
constexpr int kSaveIntervalMs = 250;
constexpr int kSilenceMs = 30 * 1000;
constexpr int kMaxCursorLength = 1024;
constexpr int kMaxErrorBytes = 4096;
// journalctl's own lines logged per run of the child.
constexpr int kMaxLoggedErrorLines = 20;

bool isPlausibleCursor(const QString &cursor)
{
    if (!cursor.startsWith(QLatin1String("s=")) || cursor.size() > kMaxCursorLength)
        return false;
    for (const QChar c : cursor) {
        if (c.unicode() <= ' ' || c.unicode() >= 127)
            return false;
    }
    return true;
}

QString lastLine(const QByteArray &text)
{
    const QList<QByteArray> lines = text.trimmed().split('\n');
    return PbxProtocol::boundedReason(QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last().trimmed()));
}
}

JournalLogSource::JournalLogSource(const QStringList &selection, const QString &cursorPath, QObject *parent)
    : LogSource(parent)
    , m_selection(selection)
    , m_cursorPath(cursorPath)
    , m_backoffMs(kFirstBackoffMs)
{
    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, &JournalLogSource::launch);
    m_stableTimer.setSingleShot(true);
    m_stableTimer.setInterval(kStableMs);
    connect(&m_stableTimer, &QTimer::timeout, this, &JournalLogSource::childIsUp);
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveIntervalMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &JournalLogSource::saveCursor);
    m_silenceTimer.setSingleShot(true);
    m_silenceTimer.setInterval(kSilenceMs);
    connect(&m_silenceTimer, &QTimer::timeout, this, &JournalLogSource::onSilence);
}

JournalLogSource::~JournalLogSource()
{
    if (m_process) {
        disconnect(m_process, nullptr, this, nullptr);
        m_process->kill();
        m_process->waitForFinished(1000);
    }
    saveCursor();
}

QString JournalLogSource::sharedResource() const
{
    return QStringLiteral("the journal's cursor %1 (one source names several units: journal:A,B)").arg(m_cursorPath);
}

void JournalLogSource::start()
{
    if (m_process || m_restartTimer.isActive())
        return;
    QFile file(m_cursorPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString cursor = QString::fromUtf8(file.read(kMaxCursorLength + 1)).trimmed();
        if (isPlausibleCursor(cursor))
            m_cursor = m_savedCursor = cursor;
        else
            qWarning() << Q_FUNC_INFO << "ignoring the unreadable cursor in" << m_cursorPath;
    }
    m_silenceTimer.start();
    launch();
}

// An empty window is the usual first sight of a wrong source: say what it may be.
void JournalLogSource::onSilence()
{
    QString reason = QStringLiteral("no entry from journalctl %1 in %2 s since the start; likely no such unit in the "
                                    "journal, Kamailio logging to syslog files (source = file:/var/log/syslog) or "
                                    "stderr instead, or the agent's user not in the group systemd-journal")
                         .arg(m_selection.join(QLatin1Char(' ')))
                         .arg(m_silenceTimer.interval() / 1000.0);
    if (!m_lastError.isEmpty())
        reason += QStringLiteral(" (journalctl said: %1)").arg(QString::fromUtf8(m_lastError.left(300)).simplified());
    markSilent(reason);
}

QStringList JournalLogSource::arguments() const
{
    // Not --quiet: its notes (such as "not seeing messages from other users")
    // are what tells the administrator why nothing comes.
    QStringList args{QStringLiteral("--follow"), QStringLiteral("--output=json"),
                     // Without --all, fields over 4 KiB come as null.
                     QStringLiteral("--all"), QStringLiteral("--output-fields=MESSAGE,PRIORITY,_PID")};
    if (m_cursor.isEmpty())
        args << QStringLiteral("--lines=0");
    else
        // --follow alone would show only the last ten entries after it.
        args << QStringLiteral("--after-cursor=") + m_cursor << QStringLiteral("--no-tail");
    return args + m_selection;
}

void JournalLogSource::launch()
{
    m_lines.reset();
    m_lastError.clear();
    m_loggedErrorLines = 0;
    m_startedWithCursor = !m_cursor.isEmpty();

    auto *process = new QProcess(this);
    m_process = process;
    process->setProgram(QStringLiteral("journalctl"));
    process->setArguments(arguments());
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardOutput, this, &JournalLogSource::readOutput);
    connect(process, &QProcess::readyReadStandardError, this, &JournalLogSource::readErrors);
    connect(process, &QProcess::started, &m_stableTimer, QOverload<>::of(&QTimer::start));
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, process](int code, QProcess::ExitStatus status) {
                if (process != m_process)
                    return;
                const QString words = lastLine(m_lastError);
                QString reason = status == QProcess::CrashExit
                                     ? QStringLiteral("journalctl ended by a signal")
                                     : QStringLiteral("journalctl ended with exit code %1").arg(code);
                if (!words.isEmpty())
                    reason += QStringLiteral(": ") + words;
                childEnded(reason);
            });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (process == m_process && error == QProcess::FailedToStart)
            childEnded(QStringLiteral("journalctl could not be started: ") + process->errorString());
    });
    process->start(QIODevice::ReadOnly);
}

void JournalLogSource::readOutput()
{
    if (!m_process)
        return;
    const QByteArray data = m_process->readAllStandardOutput();
    // A cut entry is no JSON: skipped whole.
    m_lines.add(data.constData(), data.size(), [this](const char *line, int size, bool cut) {
        if (cut)
            qWarning() << Q_FUNC_INFO << "skipped a journal entry of more than" << MaxLineBytes << "bytes";
        else
            handleLine(line, size);
    });
    deliver();
    if (!data.isEmpty())
        childIsUp();
    if (m_cursor != m_savedCursor && !m_saveTimer.isActive())
        m_saveTimer.start();
}

void JournalLogSource::readErrors()
{
    if (!m_process)
        return;
    const QByteArray text = m_process->readAllStandardError();
    for (const QByteArray &line : text.split('\n')) {
        if (line.trimmed().isEmpty() || m_loggedErrorLines >= kMaxLoggedErrorLines)
            continue;
        ++m_loggedErrorLines;
        qWarning() << Q_FUNC_INFO << "journalctl:" << PbxProtocol::boundedReason(QString::fromUtf8(line.trimmed()));
    }
    m_lastError += text;
    if (m_lastError.size() > kMaxErrorBytes)
        m_lastError = m_lastError.right(kMaxErrorBytes);
}

// One entry: {"__CURSOR":"...","__REALTIME_TIMESTAMP":"<us>","PRIORITY":"6","_PID":"1264","MESSAGE":"..."};
// MESSAGE is an array of bytes when it is not valid UTF-8.
void JournalLogSource::handleLine(const char *data, int size)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromRawData(data, size), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qWarning() << Q_FUNC_INFO << "skipped a line journalctl wrote that is no entry:" << error.errorString();
        return;
    }
    const QJsonObject o = doc.object();
    const QString cursor = o.value(QLatin1String("__CURSOR")).toString();
    if (isPlausibleCursor(cursor))
        m_cursor = cursor;

    const QJsonValue value = o.value(QLatin1String("MESSAGE"));
    QString message;
    if (value.isString()) {
        message = value.toString();
    } else if (value.isArray()) {
        const QJsonArray bytes = value.toArray();
        QByteArray raw;
        raw.reserve(bytes.size());
        for (const QJsonValue &b : bytes)
            raw.append(char(b.toInt()));
        message = QString::fromUtf8(raw);
    } else {
        return;  // an entry without text is no log line
    }
    bool ok = false;
    int priority = o.value(QLatin1String("PRIORITY")).toString().toInt(&ok);
    if (!ok || priority < 0 || priority > 7)
        priority = -1;
    const qint64 realtimeUs = o.value(QLatin1String("__REALTIME_TIMESTAMP")).toString().toLongLong();
    const qint64 pid = o.value(QLatin1String("_PID")).toString().toLongLong();
    parser()->addJournalEntry(message, realtimeUs, priority, pid);
    m_silenceTimer.stop();
    markHeard();
}

void JournalLogSource::childIsUp()
{
    m_stableTimer.stop();
    m_backoffMs = kFirstBackoffMs;
    markRestored();
}

void JournalLogSource::childEnded(const QString &reason)
{
    readOutput();
    readErrors();
    if (m_startedWithCursor && m_lastError.contains("cursor")) {
        // A cursor the journal no longer knows would stop every restart.
        qWarning() << Q_FUNC_INFO << "journalctl refused the saved cursor; following from the journal's end";
        m_cursor.clear();
        m_savedCursor.clear();
        QFile::remove(m_cursorPath);
    }
    m_process->deleteLater();
    m_process = nullptr;
    m_stableTimer.stop();
    markLost(reason);
    m_restartTimer.start(m_backoffMs);
    m_backoffMs = qMin(m_backoffMs * 2, kMaxBackoffMs);
}

void JournalLogSource::saveCursor()
{
    m_saveTimer.stop();
    if (m_cursor.isEmpty() || m_cursor == m_savedCursor)
        return;
    QDir().mkpath(QFileInfo(m_cursorPath).absolutePath());
    QSaveFile file(m_cursorPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(m_cursor.toUtf8()) < 0 || !file.commit()) {
        qWarning() << Q_FUNC_INFO << "cannot write" << m_cursorPath << file.errorString();
        return;
    }
    m_savedCursor = m_cursor;
}
