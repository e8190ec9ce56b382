#include "commandlineparser.h"

CommandLineParser &CommandLineParser::instance()
{
    static CommandLineParser defaultParser;
    return defaultParser;
}

void CommandLineParser::addOption(const QString &shortName, const QString &longName, bool takesValue,
                                  bool optional)
{
    OptionRef option(new CommandLineOption);
    option->shortName = shortName;
    option->longName = longName;
    option->takesValue = takesValue;
    option->optional = optional;
    m_allOptions.append(option);
    if (!optional)
        m_mandatoryOptions.append(option);
}

bool CommandLineParser::parse(int argc, const char *const argv[])
{
    m_parsedOptions.clear();
    for (const OptionRef &option : qAsConst(m_allOptions)) {
        option->value = QVariant();
        option->parsed = false;
    }

    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromUtf8(argv[i] ? argv[i] : "");
        QString name;
        if (argument.startsWith(m_longPrefix))
            name = argument.mid(m_longPrefix.size());
        else if (argument.startsWith(m_shortPrefix))
            name = argument.mid(m_shortPrefix.size());
        else
            return fail(QStringLiteral("Unknown Token on cmdline: ") + argument);

        const OptionRef option = find(m_allOptions, name);
        if (!option)
            return fail(QStringLiteral("Unknown Parameter: ") + name);
        if (option->parsed)
            return fail(QStringLiteral("Parameter already parsed: ") + name);
        if (option->takesValue) {
            ++i;
            // The next argument is the value even when it looks like an option.
            option->value = i < argc ? QString::fromUtf8(argv[i] ? argv[i] : "") : QString(QLatin1String(""));
        }
        m_parsedOptions.append(option);
        option->parsed = true;
    }

    for (const OptionRef &option : qAsConst(m_mandatoryOptions)) {
        if (!m_parsedOptions.contains(option))
            return fail(QStringLiteral("Missing mandatory parameter: ") + option->printable());
    }
    return true;
}

bool CommandLineParser::isSet(const QString &name) const
{
    return !find(m_parsedOptions, name).isNull();
}

QVariant CommandLineParser::value(const QString &name) const
{
    const OptionRef option = find(m_parsedOptions, name);
    return option ? option->value : QVariant();
}

QString CommandLineParser::errorString() const
{
    return m_errorString;
}

CommandLineParser::OptionRef CommandLineParser::find(const QList<OptionRef> &options, const QString &name) const
{
    for (const OptionRef &option : options) {
        if (option->matches(name))
            return option;
    }
    return {};
}

bool CommandLineParser::fail(const QString &message)
{
    m_errorString = message;
    return false;
}
