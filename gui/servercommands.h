#pragma once

#include <QStringList>

// The diagnostic commands the window offers.
namespace ServerCommands {
// Run by the exchange itself; their output comes framed.
const QStringList &pbxCommands();
// Network tools run on the exchange with one parameter.
const QStringList &networkCommands();
// Drops the exchange's framing lines from an exchange command's output.
QString stripFraming(QString output);
}
