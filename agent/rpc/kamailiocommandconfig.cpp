#include "kamailiocommandconfig.h"

#include <QProcess>
#include <QRegularExpression>

const QString KamailioCommandConfig::HostPlaceholder = QStringLiteral("{host}");

bool KamailioCommandConfig::Action::takesHost() const
{
    if (program.contains(HostPlaceholder))
        return true;
    for (const QJsonValue &v : rpcParams) {
        if (v.toString() == HostPlaceholder)
            return true;
    }
    return false;
}

KamailioCommandConfig KamailioCommandConfig::defaults()
{
    KamailioCommandConfig config;
    auto rpc = [](const QString &method) {
        Action a;
        a.rpcMethod = method;
        return a;
    };
    auto run = [](const QStringList &argv) {
        Action a;
        a.program = argv;
        return a;
    };
    config.commands.insert(QStringLiteral("sip show peers"), rpc(QStringLiteral("ul.dump")));
    config.commands.insert(QStringLiteral("sip show registry"), rpc(QStringLiteral("uac.reg_dump")));
    config.commands.insert(QStringLiteral("core show hints"), rpc(QStringLiteral("dlg.list")));
    // Bounded so that they end well within the command's time limit.
    config.commands.insert(QStringLiteral("ping"),
                           run({QStringLiteral("ping"), QStringLiteral("-c"), QStringLiteral("4"), QStringLiteral("-W"),
                                QStringLiteral("2"), HostPlaceholder}));
    config.commands.insert(QStringLiteral("traceroute"),
                           run({QStringLiteral("traceroute"), QStringLiteral("-q"), QStringLiteral("1"),
                                QStringLiteral("-w"), QStringLiteral("1"), QStringLiteral("-m"), QStringLiteral("20"),
                                HostPlaceholder}));
    config.commands.insert(QStringLiteral("host"),
                           run({QStringLiteral("host"), QStringLiteral("-W"), QStringLiteral("3"), HostPlaceholder}));
    return config;
}

bool KamailioCommandConfig::parseAction(const QString &text, Action *action, QString *error)
{
    const QString trimmed = text.trimmed();
    Action a;
    if (trimmed.startsWith(QLatin1String("rpc:"))) {
        const QStringList words = trimmed.mid(4).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        static const QRegularExpression method(QStringLiteral("^[A-Za-z0-9_]+(\\.[A-Za-z0-9_]+)*$"));
        if (words.isEmpty() || !method.match(words.first()).hasMatch()) {
            *error = QStringLiteral("\"rpc:\" needs a method name such as ul.dump");
            return false;
        }
        a.rpcMethod = words.first();
        for (const QString &word : words.mid(1)) {
            bool isNumber = false;
            const qlonglong n = word.toLongLong(&isNumber);
            a.rpcParams.append(isNumber ? QJsonValue(double(n)) : QJsonValue(word));
        }
    } else {
        a.program = QProcess::splitCommand(trimmed);
        if (a.program.isEmpty()) {
            *error = QStringLiteral("neither \"rpc:METHOD\" nor a program");
            return false;
        }
    }
    *action = a;
    return true;
}
