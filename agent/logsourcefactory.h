#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class LogSource;
class QObject;

// Makes the log sources the agent's switches name. Kept apart from LogSource
// so that the base class knows none of its kinds.
class LogSourceFactory
{
public:
    // The source a switch names: "journal:UNIT[,UNIT...]" (an item
    // "--file=PATH" or "--directory=DIR" reads a journal file or folder in
    // place of units), "file:PATH" or "stdin". The journal's cursor is kept
    // in stateDir. Null, with *error set, when the text names no source.
    static LogSource *create(const QString &sourceText, const QString &stateDir, QString *error,
                             QObject *parent = nullptr);
    // The sources all these switches name, read side by side. Empty, with
    // *error set, when one names no source or two would read the same thing.
    static QVector<LogSource *> createAll(const QStringList &sourceTexts, const QString &stateDir, QString *error,
                                          QObject *parent = nullptr);

private:
    static LogSource *createUnnamed(const QString &sourceText, const QString &stateDir, QString *error,
                                    QObject *parent);
};
