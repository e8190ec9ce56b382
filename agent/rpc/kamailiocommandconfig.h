#pragma once

#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QStringList>

// How the agent runs the command bar's commands. defaults() gives the
// stock mapping; the agent's configuration may replace any entry (or add
// one) with parseAction's form:
//   sip show peers = rpc:ul.dump
//   core show hints = rpc:dlg.briefing ftcSs
//   ping = /usr/bin/ping -c 2 -W 1 {host}
// "{host}" stands for the command's one parameter, checked to be a host
// name or an IP address; programs run without a shell.
struct KamailioCommandConfig
{
    struct Action
    {
        QString rpcMethod;       // non-empty: a JSON-RPC call to Kamailio
        QJsonArray rpcParams;    // its parameters (numbers as numbers)
        QStringList program;     // otherwise: the program and its arguments
        bool takesHost() const;  // "{host}" appears in the parameters or arguments
    };

    static const QString HostPlaceholder;

    QHash<QString, Action> commands;  // by command name, as the window sends it
    int timeoutMs = 10000;            // per command; a program is killed after it
    int maxOutputBytes = 1 << 20;     // longer output is cut and marked

    static KamailioCommandConfig defaults();
    // "rpc:METHOD [PARAM...]" or a program's command line (quotes as a shell's,
    // nothing else of a shell). false with the reason when it is neither.
    static bool parseAction(const QString &text, Action *action, QString *error);
};
