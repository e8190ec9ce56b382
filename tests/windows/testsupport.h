#pragma once

// Checks and a child-process helper for the Windows tests: a plain main that
// counts failed checks and returns non-zero when there was one.

#include <windows.h>

#include <cstdio>
#include <string>

inline int &failedChecks()
{
    static int count = 0;
    return count;
}

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #condition);               \
            ++failedChecks();                                                              \
        }                                                                                  \
    } while (0)

// Ends main: prints the verdict and gives the exit code.
inline int testResult(const char *name)
{
    std::printf("%s: %s\n", name, failedChecks() ? "FAILED" : "passed");
    return failedChecks() ? 1 : 0;
}

// Starts this executable again with the given arguments. Returns the process
// handle (the caller closes it) and puts the id in processId; null on failure.
inline HANDLE startSelf(const std::wstring &arguments, DWORD *processId = nullptr)
{
    wchar_t exe[MAX_PATH];
    if (!::GetModuleFileNameW(nullptr, exe, MAX_PATH))
        return nullptr;
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(exe, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    if (processId)
        *processId = info.dwProcessId;
    return info.hProcess;
}

// Waits for a child from startSelf, at most 60 s; its exit code, or ~0 when it
// did not end in time.
inline DWORD waitForExit(HANDLE process)
{
    DWORD code = ~DWORD(0);
    if (process && ::WaitForSingleObject(process, 60 * 1000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(process, &code);
    return code;
}
