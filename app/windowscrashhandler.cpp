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

// The dump and the release run on a thread made at install: after a stack
// overflow the faulting thread has no room left for them, and a thread
// started mid-crash may wait for a loader lock the faulting thread holds.
constexpr DWORD kWriterTimeoutMs = 30 * 1000;
EXCEPTION_POINTERS *s_requestException = nullptr;
DWORD s_requestThread = 0;
HANDLE s_requestReady = nullptr;
HANDLE s_requestDone = nullptr;
DWORD s_writerThread = 0;

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

void writeDump(EXCEPTION_POINTERS *exception, DWORD threadId)
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
    info.ThreadId = threadId;
    info.ExceptionPointers = exception;
    info.ClientPointers = TRUE;
    ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, MiniDumpNormal,
                        exception ? &info : nullptr, nullptr, nullptr);
    ::CloseHandle(file);
}

void handleCrash(EXCEPTION_POINTERS *exception, DWORD threadId)
{
    writeDump(exception, threadId);
    if (const WindowsCrashHandler::ReleaseCallback release = s_release.exchange(nullptr))
        release();
}

// Lives as long as the process and handles at most one crash.
DWORD WINAPI crashWriter(void *)
{
    if (::WaitForSingleObject(s_requestReady, INFINITE) != WAIT_OBJECT_0)
        return 0;
    handleCrash(s_requestException, s_requestThread);
    // A thread that overflowed its stack has no room left for the system's
    // own handling, which then ends the process with another code or not
    // at all: end it here.
    const EXCEPTION_RECORD *record = s_requestException ? s_requestException->ExceptionRecord : nullptr;
    if (record && record->ExceptionCode == EXCEPTION_STACK_OVERFLOW)
        ::TerminateProcess(::GetCurrentProcess(), EXCEPTION_STACK_OVERFLOW);
    ::SetEvent(s_requestDone);
    return 0;
}

void startCrashWriter()
{
    s_requestReady = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s_requestDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!s_requestReady || !s_requestDone)
        return;
    if (HANDLE thread = ::CreateThread(nullptr, 0, crashWriter, nullptr, 0, &s_writerThread))
        ::CloseHandle(thread);
}

}

namespace WindowsCrashHandler {

void install(ReleaseCallback release)
{
    s_release.store(release);
    if (!s_installed.exchange(true)) {
        startCrashWriter();
        ::SetUnhandledExceptionFilter(writeCrashDump);
    }
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
        // Another thread crashed first and its handling will end the
        // process: give it time, but never for ever. A fault inside the
        // handling itself goes straight to the system.
        if (expected != threadId && threadId != s_writerThread)
            ::Sleep(kWriterTimeoutMs);
        return EXCEPTION_CONTINUE_SEARCH;
    }

    if (s_writerThread) {
        s_requestException = exception;
        s_requestThread = threadId;
        ::SetEvent(s_requestReady);
        ::WaitForSingleObject(s_requestDone, kWriterTimeoutMs);
    } else {
        handleCrash(exception, threadId);
    }
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
