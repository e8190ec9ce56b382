#pragma once

#include <QtGlobal>

// Tells whether a process id names a running process; one implementation per
// platform.
class OsalProcessLivenessImplIface
{
public:
    virtual ~OsalProcessLivenessImplIface() = default;
    virtual bool isAlive(qint64 pid) = 0;
};
