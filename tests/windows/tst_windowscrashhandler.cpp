#include "testsupport.h"
#include "windowscrashhandler.h"

#include <dbghelp.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr DWORD kRaisedCode = 0xe0000042;

std::wstring s_markerPath;

// Stands in for the release of the instance guard: one line per call.
void appendMarker()
{
    HANDLE file = ::CreateFileW(s_markerPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, "released\n", 9, &written, nullptr);
    ::CloseHandle(file);
}

std::string readFile(const std::wstring &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::wstring reportPath(const std::wstring &dir, const SYSTEMTIME &time)
{
    wchar_t path[MAX_PATH];
    return WindowsCrashHandler::formatReportPath(path, MAX_PATH, dir.c_str(), time) ? path : L"";
}

volatile int s_depthLimit = -1;

// Runs out of stack long before the limit: each call needs the next one's
// result.
int recurse(int depth)
{
    volatile char frame[4096];
    frame[0] = char(depth);
    if (depth == s_depthLimit)
        return 0;
    return recurse(depth + 1) + frame[0];
}

// The child: installs the handler for dir and crashes as told.
int crash(const wchar_t *how, const std::wstring &dirArgument)
{
    const std::wstring dir = dirArgument + L"\\";
    s_markerPath = dir + L"released.txt";
    WindowsCrashHandler::setDataDir(dir.c_str());
    WindowsCrashHandler::install(appendMarker);
    if (std::wstring(how) == L"raise")
        ::RaiseException(kRaisedCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    if (std::wstring(how) == L"overflow")
        return recurse(0);
    int *volatile target = nullptr;
    *target = 1;
    return 0;
}

// A directory of its own, so that nothing from an earlier run counts.
std::wstring freshDir(const std::wstring &base)
{
    for (unsigned n = 0;; ++n) {
        const std::wstring dir = base + std::to_wstring(n) + L"\\";
        if (::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() != ERROR_ALREADY_EXISTS)
            return dir;
    }
}

void checkCrash(const wchar_t *how, DWORD expectedCode)
{
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = freshDir(std::wstring(temp) + L"plogger4-crash-" + how + L"-");
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    // Without the final separator, which would escape the closing quote.
    const HANDLE child = startSelf(std::wstring(how) + L" \"" + dir.substr(0, dir.size() - 1) + L"\"");
    CHECK(waitForExit(child) == expectedCode);
    ::CloseHandle(child);
    SYSTEMTIME after;
    ::GetLocalTime(&after);

    // The minute may turn while the child runs.
    std::wstring dumpPath = reportPath(dir, before);
    if (::GetFileAttributesW(dumpPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        dumpPath = reportPath(dir, after);
    const std::string dump = readFile(dumpPath);
    CHECK(dump.compare(0, 4, "MDMP") == 0);
    const std::wstring markerPath = dir + L"released.txt";
    CHECK(readFile(markerPath) == "released\n");
    ::DeleteFileW(dumpPath.c_str());
    ::DeleteFileW(markerPath.c_str());
    ::RemoveDirectoryW(dir.c_str());

    if (dump.size() < sizeof(MINIDUMP_HEADER))
        return;
    std::vector<char> image(dump.begin(), dump.end());
    ULONG size = 0;
    void *stream = nullptr;
    CHECK(::MiniDumpReadDumpStream(image.data(), ThreadListStream, nullptr, &stream, &size) && size > 0);
    CHECK(::MiniDumpReadDumpStream(image.data(), ModuleListStream, nullptr, &stream, &size) && size > 0);
    const bool hasException = ::MiniDumpReadDumpStream(image.data(), ExceptionStream, nullptr, &stream, &size);
    CHECK(hasException);
    if (hasException)
        CHECK(static_cast<MINIDUMP_EXCEPTION_STREAM *>(stream)->ExceptionRecord.ExceptionCode == expectedCode);
}

}

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argc == 3)
        return crash(argv[1], argv[2]);

    const SYSTEMTIME time = {2026, 12, 0, 6, 13, 20, 5, 0};
    CHECK(reportPath(L"C:\\data\\", time) == L"C:\\data\\plogger4-2026_12_06_13_20.dmp");
    CHECK(reportPath(L"", time) == L"plogger4-2026_12_06_13_20.dmp");
    wchar_t tooSmall[20] = L"x";
    CHECK(!WindowsCrashHandler::formatReportPath(tooSmall, 20, L"C:\\", time) && tooSmall[0] == L'\0');

    checkCrash(L"null", EXCEPTION_ACCESS_VIOLATION);
    checkCrash(L"raise", kRaisedCode);
    checkCrash(L"overflow", EXCEPTION_STACK_OVERFLOW);

    return testResult("tst_windowscrashhandler");
}
