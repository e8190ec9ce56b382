#include "windowsprocesslivenessimpl.h"

#include "windowsprocess.h"

bool WindowsProcessLivenessImpl::isAlive(qint64 pid)
{
    return WindowsProcess::isAlive(pid);
}
