#include "windowspidimpl.h"

#include <windows.h>

qint64 WindowsPidImpl::getPid()
{
    return qint64(quint64(::GetCurrentProcessId()));
}
