#pragma once

#include "osalprocesslivenessimpliface.h"

// A process counts as alive when it can be signalled, or when it exists but
// belongs to someone we may not signal.
class PosixProcessLivenessImpl : public OsalProcessLivenessImplIface
{
public:
    bool isAlive(qint64 pid) override;
};
