#include "windowscrashhandler.h"

#include <dbghelp.h>

#include <atomic>

namespace {

// The program's file name without ".exe", as in the POSIX report's name.
const wchar_t kReportName[] = L"plogger4";

constexpr std::size_t kPathSize = 32768;

// Two buffers so that a change of directory never rewrites the one a crashing
// thread may be reading; -1 while there is no usable directory.
wchar_t s_dataDir[2][kPathSize];
std::atomic<int> s_dataDirIndex{-1};
std::atomic<WindowsCrashHandler::ReleaseCallback> s_release{nullptr};
std::atomic<DWORD> s_handlingThread{0};
std::atomic<bool> s_installed{false};

bool appendText(wchar_t *out, std::size_t outSize, std::size_t &len, const wchar_t *s)
{
    while (*s) {
        if (len + 1 >= outSize)
            return false;
        out[len++] = *s++;
    }
    out[len] = L'\0';
    return true;
}

bool appendNumber(wchar_t *out, std::size_t outSize, std::size_t &len, unsigned value, int width)
{
    wchar_t text[12];
    int n = 0;
    do {
        text[n++] = wchar_t(L'0' + value % 10);
        value /= 10;
    } while (value || n < width);
    wchar_t reversed[12];
    for (int i = 0; i < n; ++i)
        reversed[i] = text[n - 1 - i];
    reversed[n] = L'\0';
    return appendText(out, outSize, len, reversed);
}

void writeDump(EXCEPTION_POINTERS *exception)
{
    const int index = s_dataDirIndex.load(std::memory_order_acquire);
    if (index < 0)
        return;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    static wchar_t path[kPathSize + 64];
    if (!WindowsCrashHandler::formatReportPath(path, sizeof path / sizeof path[0], s_dataDir[index], now))
        return;

    // A dump from the same minute is replaced.
    HANDLE file = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    MINIDUMP_EXCEPTION_INFORMATION info;
    info.ThreadId = ::GetCurrentThreadId();
    info.ExceptionPointers = exception;
    info.ClientPointers = TRUE;
    ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, MiniDumpNormal,
                        exception ? &info : nullptr, nullptr, nullptr);
    ::CloseHandle(file);
}

}

namespace WindowsCrashHandler {

void install(ReleaseCallback release)
{
    s_release.store(release);
    if (!s_installed.exchange(true))
        ::SetUnhandledExceptionFilter(writeCrashDump);
}

void setDataDir(const wchar_t *dataDir)
{
    if (s_handlingThread.load() != 0)
        return;
    const int next = s_dataDirIndex.load(std::memory_order_relaxed) == 0 ? 1 : 0;
    std::size_t len = 0;
    const bool fits = appendText(s_dataDir[next], kPathSize, len, dataDir ? dataDir : L"");
    s_dataDirIndex.store(fits ? next : -1, std::memory_order_release);
}

LONG WINAPI writeCrashDump(EXCEPTION_POINTERS *exception)
{
    const DWORD threadId = ::GetCurrentThreadId();
    DWORD expected = 0;
    if (!s_handlingThread.compare_exchange_strong(expected, threadId)) {
        // Another thread is writing the dump and will end the process: give
        // it time, but never for ever. A fault inside the handler itself
        // (same thread) goes straight to the system.
        if (expected != threadId)
            ::Sleep(10 * 1000);
        return EXCEPTION_CONTINUE_SEARCH;
    }

    writeDump(exception);

    if (const ReleaseCallback release = s_release.exchange(nullptr))
        release();
    return EXCEPTION_CONTINUE_SEARCH;
}

bool formatReportPath(wchar_t *out, std::size_t outSize, const wchar_t *dataDir, const SYSTEMTIME &localTime)
{
    if (outSize == 0)
        return false;
    std::size_t len = 0;
    out[0] = L'\0';
    const bool ok = appendText(out, outSize, len, dataDir) && appendText(out, outSize, len, kReportName)
        && appendText(out, outSize, len, L"-") && appendNumber(out, outSize, len, localTime.wYear, 4)
        && appendText(out, outSize, len, L"_") && appendNumber(out, outSize, len, localTime.wMonth, 2)
        && appendText(out, outSize, len, L"_") && appendNumber(out, outSize, len, localTime.wDay, 2)
        && appendText(out, outSize, len, L"_") && appendNumber(out, outSize, len, localTime.wHour, 2)
        && appendText(out, outSize, len, L"_") && appendNumber(out, outSize, len, localTime.wMinute, 2)
        && appendText(out, outSize, len, L".dmp");
    if (!ok)
        out[0] = L'\0';
    return ok;
}

}
