#pragma once

#include <QMetaType>
#include <QString>

// The exchange's answer to a ServerCommand.
struct ServerCommandResponse
{
    QString commandId;
    QString command;
    bool executed = false;  // false: the exchange could not run it
    int code = 0;           // exit code when executed, error code otherwise
    QString detail;
    QString output;
    QString timestamp;
};

Q_DECLARE_METATYPE(ServerCommandResponse)
