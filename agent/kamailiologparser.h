#pragma once

#include "diagnosticmessage.h"
#include "linesplitter.h"
#include "wiretimestamp.h"

#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringView>
#include <QTimer>
#include <QVector>

// Turns what Kamailio logs into log records for the link:
//  - its stderr lines, " 1(1264) INFO: {1 224 INVITE <Call-ID> t=<uuid>} <script>: ...";
//  - the same without "idx(pid) ", as syslog and the journal carry them, also
//    after a syslog file's "... kamailio[1264]: " header;
//  - its JSON lines (--log-engine=json), also those whose unescaped Call-ID
//    breaks the JSON.
// The level word gives the level; the "{...}" prefix gives the call
// (linkedId = Call-ID), the transaction (uniqueId = "<Call-ID>;<CSeq> <METHOD>")
// and the tenant ("t=<uuid>"). The message is the text as logged, so idx(pid),
// module and file:line stay readable. Nothing is dropped: a line that is not
// placed becomes a record of its own; only the bounds below cut text.
// Parsed by hand: the agent must keep up with several hundred thousand lines
// a second.
class KamailioLogParser : public QObject
{
    Q_OBJECT
public:
    // One runaway line or entry must not fill the agent's memory; cut text
    // is marked with "...".
    static constexpr int MaxLineBytes = 64 * 1024;
    static constexpr int MaxEntryChars = 1024 * 1024;
    // Kamailio writes an entry with its continuation lines at once; after
    // this long without input the entry held for them is complete, so no
    // record waits for the next line.
    static constexpr int QuietMs = 20;

    explicit KamailioLogParser(QObject *parent = nullptr);

    // For logs whose prefix names no tenant: the first capture group of a
    // match in an entry's first line is its tenant UUID. An invalid or empty
    // pattern turns this off.
    void setTenantPattern(const QRegularExpression &pattern);

    // Bytes of a text stream (stderr, a file), cut anywhere: a partial last
    // line waits for its line feed. Lines are stamped with the time they are
    // read, as they carry none.
    void addData(const char *data, qint64 size);
    // The stream ended (a file rotated away, input closed): a last line
    // without line feed counts as a line.
    void endOfStream();
    // One journal entry, complete by itself. Its time (microseconds since the
    // epoch; 0 for none) and syslog priority (-1 for none) are used when the
    // message carries no time and no level word; a pid above 0 is shown as
    // "(pid) " in front, where stderr shows idx(pid).
    void addJournalEntry(const QString &message, qint64 realtimeUs, int priority, qint64 pid);
    // Completes the entry held for continuation lines now.
    void flush();

    // The bytes given last that are in no record yet (an unfinished line),
    // or -1 while an entry waits for its continuation lines.
    int heldBytes() const { return m_hasPending ? -1 : m_lines.partialBytes(); }
    // The records completed since the last call, in order.
    QVector<DiagnosticMessage> takeRecords();

signals:
    // The quiet time completed a held entry; takeRecords() has it.
    void recordsReady();

private:
    struct Head
    {
        int level = -1;
        QString linkedId;
        QString uniqueId;
        QString tenantUuid;
    };

    void processLine(const char *data, int size, bool cut);
    bool readJsonLine(const char *data, int size, Head *head, QString *text) const;
    void beginEntry(const Head &head, const QString &text, const QString &timestamp);
    void appendContinuation(const QString &text);
    void completePending();
    void finishRecord(DiagnosticMessage *record);
    void applyTenantPattern(const QString &text, QString *tenantUuid) const;
    QString stampNow();

    // stderrForm: whether the head carries Kamailio's "<idx>(<pid>) ".
    static bool readTextHead(QStringView line, Head *head, bool paddedAllowed = false, bool *stderrForm = nullptr);
    static bool readPrefix(QStringView text, Head *head);
    static int levelWordAt(QStringView text, int pos, int *end);
    static int findLevelWord(QStringView text);

    QRegularExpression m_tenantPattern;
    QTimer m_quietTimer;
    LineSplitter m_lines{MaxLineBytes};
    bool m_hasPending = false;
    bool m_pendingCut = false;
    DiagnosticMessage m_pending;
    // What the last entry was about, for continuation lines that come after
    // the quiet time completed it: they stay with that call and tenant.
    DiagnosticMessage m_context;
    qint64 m_contextUntilMs = 0;
    qint64 m_lastReadMs = 0;
    QVector<DiagnosticMessage> m_records;
    WireTimestamp m_stamp;
    // Whether the stream writes Kamailio's standard-error form, which pads a
    // one-digit process index with a blank; learnt from its first entry.
    enum class Form { Unknown, Stderr, Other };
    Form m_form = Form::Unknown;
};
