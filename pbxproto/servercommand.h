#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// A diagnostic command for the exchange to run.
struct ServerCommand
{
    QString id;
    QString command;
    QStringList params;
};

Q_DECLARE_METATYPE(ServerCommand)
