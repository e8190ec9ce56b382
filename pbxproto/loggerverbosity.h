#pragma once

#include <QString>

// Names of the exchange's log levels.
//
//  -1 "COMMAND"  results of diagnostic commands
//   0 "ERROR"
//   1 "WARNING"
//   2 "NOTICE"
//   3 "VERBOSE"
//   4 "DEBUG"
//
// Any other level is named by its decimal text, so that
// verbosityStringToInt(verbosityIntToString(n)) == n for every int n.
// A text that is neither a known name nor a decimal integer reads as
// level 0 ("ERROR"): a row of unknown level is never hidden by a threshold.
namespace LOGGER {
QString verbosityIntToString(int level);
int verbosityStringToInt(const QString &name);
}
