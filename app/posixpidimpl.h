#pragma once

#include "osalpidimpliface.h"

class PosixPidImpl : public OsalPidImplIface
{
public:
    qint64 getPid() override;
};
