#include "logsource.h"

#include "kamailiologparser.h"

#include <QDebug>

LogSource::LogSource(QObject *parent)
    : QObject(parent)
    , m_parser(new KamailioLogParser(this))
{
    qRegisterMetaType<DiagnosticMessage>("DiagnosticMessage");
    qRegisterMetaType<QVector<DiagnosticMessage>>("QVector<DiagnosticMessage>");
    connect(m_parser, &KamailioLogParser::recordsReady, this, &LogSource::deliver);
}

LogSource::~LogSource() = default;

void LogSource::setTenantPattern(const QRegularExpression &pattern)
{
    m_parser->setTenantPattern(pattern);
}

void LogSource::deliver()
{
    QVector<DiagnosticMessage> records = m_parser->takeRecords();
    if (!records.isEmpty())
        emit recordsReady(records);
}

void LogSource::markLost(const QString &reason)
{
    if (m_lost)
        return;
    m_lost = true;
    qWarning() << Q_FUNC_INFO << reason;
    emit sourceLost(reason);
}

void LogSource::markRestored()
{
    if (!m_lost)
        return;
    m_lost = false;
    qInfo() << Q_FUNC_INFO << "log source is back";
    emit sourceRestored();
}

void LogSource::markSilent(const QString &reason)
{
    if (m_silent)
        return;
    m_silent = true;
    emit sourceSilent(reason);
}

void LogSource::markHeard()
{
    if (!m_silent)
        return;
    m_silent = false;
    emit sourceHeard();
}
