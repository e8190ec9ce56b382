#pragma once

#include "osalpidimpliface.h"

class WindowsPidImpl : public OsalPidImplIface
{
public:
    qint64 getPid() override;
};
