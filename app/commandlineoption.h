#pragma once

#include <QString>
#include <QVariant>

// One option the command-line parser knows, with what the last parse found.
struct CommandLineOption
{
    QString shortName;
    QVariant value;       // invalid unless the option takes a value and was given
    QString longName;
    bool takesValue = false;
    bool optional = true;
    bool parsed = false;

    bool matches(const QString &name) const;
    // "(s|skip-updates)"
    QString printable() const;
};
