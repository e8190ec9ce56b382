#pragma once

#include "linesplitter.h"
#include "logsource.h"

#include <QByteArray>
#include <QStringList>
#include <QTimer>

class QProcess;

// Follows the systemd journal through "journalctl --follow --output=json" run
// as a child (the journal's own reader; no library to link). A child that
// ends is started again after 1 s, doubling to 30 s.
//
// The cursor of the last delivered entry is kept in a file of our own, and a
// new child starts after it: after a restart of the child or of the agent
// nothing is repeated and nothing is lost. (journalctl's --cursor-file is
// not used: it writes the file only when it ends by itself, never when it is
// stopped, and it skips what was written meanwhile when --lines=0 is given.)
// Without a cursor the child starts at the journal's end.
class JournalLogSource : public LogSource
{
    Q_OBJECT
public:
    // A longer line from journalctl is skipped whole.
    static constexpr int MaxLineBytes = 1024 * 1024;

    // selection: the journalctl arguments that choose the entries, such as
    // "--unit=kamailio.service", or "--file=/abs/path.journal" for a journal
    // file (journalctl follows it only by an absolute path).
    JournalLogSource(const QStringList &selection, const QString &cursorPath, QObject *parent = nullptr);
    // Keeps the cursor of what was delivered.
    ~JournalLogSource() override;

    void start() override;
    // No entry for this long after the start makes the source silent.
    void setSilenceLimit(int ms) { m_silenceTimer.setInterval(ms); }
    // Two would overwrite each other's cursor; one names several units.
    QString sharedResource() const override;

private:
    void launch();
    QStringList arguments() const;
    void readOutput();
    void readErrors();
    void handleLine(const char *data, int size);
    void childIsUp();
    void childEnded(const QString &reason);
    void saveCursor();
    void onSilence();

    const QStringList m_selection;
    const QString m_cursorPath;
    QProcess *m_process = nullptr;
    QTimer m_restartTimer;
    QTimer m_stableTimer;
    QTimer m_saveTimer;
    QTimer m_silenceTimer;
    int m_backoffMs;
    bool m_startedWithCursor = false;
    QString m_cursor;
    QString m_savedCursor;
    LineSplitter m_lines{MaxLineBytes};
    QByteArray m_lastError;
    int m_loggedErrorLines = 0;
};
