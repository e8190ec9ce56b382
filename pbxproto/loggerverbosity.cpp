#include "loggerverbosity.h"

#include <array>

namespace {
constexpr int kFirstNamedLevel = -1;
const std::array<const char *, 6> kLevelNames = {"COMMAND", "ERROR", "WARNING", "NOTICE", "VERBOSE", "DEBUG"};

// Shared, so that every table cell naming a level holds the same string data.
const QString &levelName(int index)
{
    static const std::array<QString, 6> names = [] {
        std::array<QString, 6> n;
        for (size_t i = 0; i < n.size(); ++i)
            n[i] = QString::fromLatin1(kLevelNames[i]);
        return n;
    }();
    return names[size_t(index)];
}
}

namespace LOGGER {

QString verbosityIntToString(int level)
{
    // Range check before subtracting: level - kFirstNamedLevel overflows near INT_MAX.
    if (level >= kFirstNamedLevel && level < kFirstNamedLevel + int(kLevelNames.size()))
        return levelName(level - kFirstNamedLevel);
    return QString::number(level);
}

int verbosityStringToInt(const QString &name)
{
    for (size_t i = 0; i < kLevelNames.size(); ++i) {
        if (name == levelName(int(i)))
            return int(i) + kFirstNamedLevel;
    }
    bool ok = false;
    const int level = name.toInt(&ok);
    return ok ? level : 0;
}

}
