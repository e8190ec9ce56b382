#include "testsupport.h"
#include "windowsprocess.h"

namespace {

HANDLE WINAPI openDenied(DWORD, BOOL, DWORD)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

}

int main(int argc, char **)
{
    if (argc > 1)
        return 0; // the child that ends at once

    const long long self = WindowsProcess::currentId();
    CHECK(self == static_cast<long long>(::GetCurrentProcessId()));
    CHECK(WindowsProcess::isAlive(self));

    // Ids are multiples of four; this one is never handed out.
    CHECK(!WindowsProcess::isAlive(0xfffffffcLL));
    CHECK(::GetLastError() == ERROR_INVALID_PARAMETER);

    // Cut to 32 bits these would name this process or the idle process.
    for (const long long pid : {self + (1LL << 32), 0LL, -1LL, -self})
        CHECK(!WindowsProcess::isAlive(pid));

    // Our handle keeps the ended child's id from being reused and its process
    // object openable: only its state tells that it has ended.
    DWORD childId = 0;
    const HANDLE child = startSelf(L"exit", &childId);
    CHECK(waitForExit(child) == 0);
    CHECK(!WindowsProcess::isAlive(childId));
    ::CloseHandle(child);

    // wine grants SYNCHRONIZE on every process whatever its DACL, so the
    // access-denied answer comes from a stand-in for OpenProcess.
    CHECK(WindowsProcess::isAlive(0xfffffffcLL, openDenied));

    return testResult("tst_windowsprocess");
}
