#include "commandlineoption.h"

bool CommandLineOption::matches(const QString &name) const
{
    return !name.isEmpty() && (name == shortName || name == longName);
}

QString CommandLineOption::printable() const
{
    return QLatin1Char('(') + shortName + QLatin1Char('|') + longName + QLatin1Char(')');
}
