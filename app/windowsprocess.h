#pragma once

#include <windows.h>

// The process queries behind the Windows guard implementations, in plain
// C++ and Win32 so that they build and run without Qt.
namespace WindowsProcess {

using OpenProcessFunction = HANDLE(WINAPI *)(DWORD access, BOOL inherit, DWORD processId);

// The current process id, widened with a zero upper half.
long long currentId();

// A process counts as alive while it runs, and when it exists but may not be
// opened (ERROR_ACCESS_DENIED). Ids outside 1..0xffffffff are never alive:
// cutting them to 32 bits would name some other process. When the process
// cannot be opened, the open's error stays the thread's last error.
// openProcess replaces OpenProcess in tests.
bool isAlive(long long pid, OpenProcessFunction openProcess = ::OpenProcess);

}
