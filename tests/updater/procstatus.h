#pragma once

#include <QtGlobal>

// Resident memory of this process from /proc/self/status, in KiB.
namespace ProcStatus {
qint64 residentKiB();
qint64 peakResidentKiB();
}
