#pragma once

#include "diagnosticmessage.h"

#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>

class KamailioLogParser;

// Where the agent reads Kamailio's log: the journal, a followed file or
// standard input. Records come in batches (what one read gave), not one
// signal per line, so that the server handles hundreds of thousands a second.
// Losing the source never ends it: it says so once, keeps trying, and says
// when it is back.
class LogSource : public QObject
{
    Q_OBJECT
public:
    ~LogSource() override;

    // The switch's text that made it, for the administrator's messages.
    QString name() const { return m_name; }
    // What two sources of the same thing would share and spoil for each
    // other ("the file /var/log/kamailio.log"); one source per thing.
    virtual QString sharedResource() const = 0;

    // See KamailioLogParser::setTenantPattern.
    void setTenantPattern(const QRegularExpression &pattern);

    virtual void start() = 0;
    // A source that can wait (a file) reads nothing while paused: the agent
    // holds it while its clients are far behind. One that cannot (a pipe
    // from Kamailio, the journal's reader) goes on.
    virtual void setPaused(bool paused) { Q_UNUSED(paused) }

signals:
    void recordsReady(const QVector<DiagnosticMessage> &records);
    // Emitted once when the source goes away and once when it is back.
    void sourceLost(const QString &reason);
    void sourceRestored();
    // Emitted once when a source that runs gives nothing for a while, and
    // once when it gives something again.
    void sourceSilent(const QString &reason);
    void sourceHeard();

protected:
    explicit LogSource(QObject *parent);

    KamailioLogParser *parser() const { return m_parser; }
    // Emits what the parser has completed, if anything.
    void deliver();
    void markLost(const QString &reason);
    void markRestored();
    bool isLost() const { return m_lost; }
    void markSilent(const QString &reason);
    void markHeard();

private:
    // Names the source after the switch that made it.
    friend class LogSourceFactory;

    KamailioLogParser *m_parser;
    QString m_name;
    bool m_lost = false;
    bool m_silent = false;
};
