#include "windowsprocesslivenessimpl.h"

#include <windows.h>

bool WindowsProcessLivenessImpl::isAlive(qint64 pid)
{
    const DWORD id = DWORD(quint64(pid) & 0xffffffffu);
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process) {
        ::CloseHandle(process);
        return true;
    }
    return ::GetLastError() == ERROR_ACCESS_DENIED;
}
