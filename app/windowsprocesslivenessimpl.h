#pragma once

#include "osalprocesslivenessimpliface.h"

// A process counts as alive while it runs, or when it exists but belongs to
// someone who may not open it.
class WindowsProcessLivenessImpl : public OsalProcessLivenessImplIface
{
public:
    bool isAlive(qint64 pid) override;
};
