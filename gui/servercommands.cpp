#include "servercommands.h"

namespace ServerCommands {

const QStringList &pbxCommands()
{
    static const QStringList commands = {QStringLiteral("sip show peers"), QStringLiteral("sip show registry"),
                                         QStringLiteral("core show hints")};
    return commands;
}

const QStringList &networkCommands()
{
    static const QStringList commands = {QStringLiteral("ping"), QStringLiteral("traceroute"),
                                         QStringLiteral("host")};
    return commands;
}

QString stripFraming(QString output)
{
    for (const char *line : {"Response: Follows\n", "Privilege: Command\n", "\n--END COMMAND--"})
        output.remove(QLatin1String(line), Qt::CaseSensitive);
    return output;
}

}
