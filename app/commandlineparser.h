#pragma once

#include "commandlineoption.h"

#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QVariant>

// A minimal parser: every argument is "-name" or "--name" (short or long
// name alike), an option that takes a value takes the next argument as it
// stands, and there are no positional arguments.
//
// Copies share their options: register options on the copy that parses.
class CommandLineParser
{
public:
    static CommandLineParser &instance();

    void addOption(const QString &shortName, const QString &longName, bool takesValue, bool optional);
    bool parse(int argc, const char *const argv[]);
    bool isSet(const QString &name) const;
    QVariant value(const QString &name) const;
    QString errorString() const;

private:
    using OptionRef = QSharedPointer<CommandLineOption>;
    OptionRef find(const QList<OptionRef> &options, const QString &name) const;
    bool fail(const QString &message);

    QString m_shortPrefix = QStringLiteral("-");
    QString m_longPrefix = QStringLiteral("--");
    QString m_errorString;
    QList<OptionRef> m_parsedOptions;
    QList<OptionRef> m_allOptions;
    QList<OptionRef> m_mandatoryOptions;
};
