#pragma once

#include <QtGlobal>

// Tells the id of the current process; one implementation per platform.
class OsalPidImplIface
{
public:
    virtual ~OsalPidImplIface() = default;
    virtual qint64 getPid() = 0;
};
