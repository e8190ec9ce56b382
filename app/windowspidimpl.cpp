#include "windowspidimpl.h"

#include "windowsprocess.h"

qint64 WindowsPidImpl::getPid()
{
    return WindowsProcess::currentId();
}
