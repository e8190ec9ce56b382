#include "windowsprocess.h"

namespace WindowsProcess {

long long currentId()
{
    return static_cast<long long>(::GetCurrentProcessId());
}

bool isAlive(long long pid, OpenProcessFunction openProcess)
{
    if (pid <= 0 || pid > 0xffffffffLL)
        return false;
    HANDLE process = openProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    // An ended process stays openable while anyone still holds a handle to
    // it; only a process that has not ended counts.
    const bool running = ::WaitForSingleObject(process, 0) != WAIT_OBJECT_0;
    ::CloseHandle(process);
    return running;
}

}
