#pragma once

#include "diagnosticmessage.h"

#include <QString>
#include <QVector>

// A call's ladder, worked out from its rows: one column per address:port in
// order of first appearance, one arrow per SIP message and one line per other
// row, all in time order. A SIP row is known by its sip.* extra fields; a row
// whose fields are missing or malformed is drawn as a line. Every text handed
// out is plain: control characters gone, bounded in length.
class CallFlowModel
{
public:
    static constexpr int MaxLabelLength = 60;
    static constexpr int MaxLineLength = 160;

    struct Column
    {
        QString address;  // "ADDR:PORT"
        QString role;     // empty unless known
    };

    struct Event
    {
        int row = -1;         // in rows()
        qint64 timeUs = 0;    // since the epoch
        int level = 0;
        bool message = false; // an arrow, else a line
        int from = -1;        // columns of an arrow
        int to = -1;
        QString label;        // method, code and reason, or the line's text
        QString cseq;
        QString branch;
        int transaction = -1; // same number: same branch and CSeq
        bool retransmission = false;
    };

    CallFlowModel() = default;
    CallFlowModel(const QVector<DiagnosticMessage> &rows, const QString &serverRole = QString());

    void append(const DiagnosticMessage &row);
    void append(const QVector<DiagnosticMessage> &rows);

    const QVector<DiagnosticMessage> &rows() const { return m_rows; }
    const QVector<Column> &columns() const { return m_columns; }
    const QVector<Event> &events() const { return m_events; }
    int messageCount() const { return m_messageCount; }
    int transactionCount() const { return m_transactionCount; }
    // Of the first arrow, else of the first line; times are shown from it.
    qint64 startUs() const { return m_startUs; }

    // One line of plain text: line ends and tabs become spaces, other
    // control and format characters go, the rest is cut with "...".
    static QString plainLine(const QString &text, int maxLength);
    // The same, keeping line ends and tabs: for a whole message.
    static QString plainText(const QString &text);
    // "2024-05-14 10:31:07.123" in local time; 0 when it is not one.
    static qint64 parseTimestampUs(const QString &timestamp);
    // "+1.234567" from the start.
    QString relativeTime(qint64 timeUs) const;
    static QString absoluteTime(qint64 timeUs);

private:
    void rebuild();
    Event eventOf(int row, qint64 *lastTimeUs) const;

    QVector<DiagnosticMessage> m_rows;
    QVector<Column> m_columns;
    QVector<Event> m_events;
    QString m_serverRole;
    int m_messageCount = 0;
    int m_transactionCount = 0;
    qint64 m_startUs = 0;
};
