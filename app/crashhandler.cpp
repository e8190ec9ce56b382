#include "crashhandler.h"

#include "appinfo.h"
#include "processsingleton.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The name the program ships under, whatever the process was started as.
const char kExecutableFileName[] = "plogger4.exe";

constexpr std::size_t kAltStackSize = 256 * 1024;
// A handler that still hangs (a lock held by the code that crashed) is ended
// by the alarm's default action after this long.
constexpr unsigned kBackstopSeconds = 5;
constexpr std::size_t kPathSize = 4096;
constexpr int kMaxFrames = 128;
const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Two buffers so that a refresh never rewrites the one a crashing thread may
// be reading.
char s_prefix[2][kPathSize];
std::atomic<int> s_prefixIndex{0};
std::atomic<long> s_utcOffsetSeconds{0};
char s_version[64];
std::atomic<long> s_handlingThread{0};
bool s_installed = false;

void writeAll(int fd, const char *data, std::size_t len)
{
    while (len > 0) {
        const ssize_t written = ::write(fd, data, len);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        len -= std::size_t(written);
    }
}

// Collects a line in a fixed buffer: no allocation inside the handler.
class ReportLine
{
public:
    explicit ReportLine(int fd) : m_fd(fd) {}
    ~ReportLine() { flush(); }

    ReportLine &text(const char *s)
    {
        while (*s)
            put(*s++);
        return *this;
    }

    ReportLine &dec(long long value)
    {
        char digits[24];
        int n = 0;
        unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
        do {
            digits[n++] = char('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (value < 0)
            put('-');
        while (n)
            put(digits[--n]);
        return *this;
    }

    ReportLine &hex(unsigned long long value)
    {
        char digits[16];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value);
        text("0x");
        while (n)
            put(digits[--n]);
        return *this;
    }

private:
    void put(char c)
    {
        if (m_len == sizeof m_buf)
            flush();
        m_buf[m_len++] = c;
    }

    void flush()
    {
        writeAll(m_fd, m_buf, m_len);
        m_len = 0;
    }

    int m_fd;
    char m_buf[256];
    std::size_t m_len = 0;
};

const char *signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

// Days since 1970-01-01 to a civil date, proleptic Gregorian, no library calls.
void civilFromDays(long long days, long long &year, int &month, int &day)
{
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
    month = int(mp < 10 ? mp + 3 : mp - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

bool appendText(char *out, std::size_t outSize, std::size_t &len, const char *s)
{
    while (*s) {
        if (len + 1 >= outSize)
            return false;
        out[len++] = *s++;
    }
    out[len] = '\0';
    return true;
}

bool appendNumber(char *out, std::size_t outSize, std::size_t &len, long long value, int width)
{
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude || n < width);
    if (negative && !appendText(out, outSize, len, "-"))
        return false;
    char text[25];
    int i = 0;
    while (n)
        text[i++] = digits[--n];
    text[i] = '\0';
    return appendText(out, outSize, len, text);
}

void copyString(char *out, std::size_t outSize, const char *in)
{
    std::size_t i = 0;
    for (; in[i] && i + 1 < outSize; ++i)
        out[i] = in[i];
    out[i] = '\0';
}

long currentThreadId()
{
    return long(::syscall(SYS_gettid));
}

void restoreDefaultAction(int signalNumber)
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signalNumber, &action, nullptr);
}

void resetAndRaise(int signalNumber)
{
    restoreDefaultAction(signalNumber);
    // Still blocked while the handler runs: it is delivered, with the default
    // action, as soon as the handler returns.
    ::raise(signalNumber);
}

void writeReport(int signalNumber, const siginfo_t *info, long threadId)
{
    char prefix[kPathSize];
    copyString(prefix, sizeof prefix, s_prefix[s_prefixIndex.load(std::memory_order_acquire)]);

    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long localSeconds = (long long)now.tv_sec + s_utcOffsetSeconds.load(std::memory_order_relaxed);

    char path[kPathSize];
    if (!CrashHandler::formatReportPath(path, sizeof path, prefix, localSeconds))
        return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;

    {
        ReportLine line(fd);
        line.text("plogger4 crash report\n");
        line.text("version: ").text(s_version).text("\n");
        line.text("signal: ").dec(signalNumber).text(" (").text(signalName(signalNumber)).text(")\n");
        if (info) {
            line.text("code: ").dec(info->si_code).text("\n");
            // si_addr means something only for a fault the kernel raised;
            // a signal sent by a process carries the sender instead.
            if (info->si_code > 0 && signalNumber != SIGABRT)
                line.text("address: ").hex((unsigned long long)(quintptr)info->si_addr).text("\n");
            else
                line.text("sender: ").dec(info->si_pid).text("\n");
        }
        line.text("pid: ").dec(::getpid()).text("\n");
        line.text("thread: ").dec(threadId).text("\n");
        line.text("time: ").dec((long long)now.tv_sec).text(" (seconds since 1970, UTC)\n");
        line.text("\nbacktrace:\n");
    }

    void *frames[kMaxFrames];
    const int frameCount = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, frameCount, fd);

    writeAll(fd, "\nmaps:\n", 7);
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps >= 0) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(maps, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            writeAll(fd, buffer, std::size_t(n));
        }
        ::close(maps);
    }
    ::close(fd);
}

void onApplicationCreated()
{
    QCoreApplication *app = QCoreApplication::instance();
    CrashHandler::refreshReportLocation();
    QObject::connect(app, &QCoreApplication::applicationNameChanged, app, &CrashHandler::refreshReportLocation);
    QObject::connect(app, &QCoreApplication::organizationNameChanged, app, &CrashHandler::refreshReportLocation);
    // Keeps the UTC offset current across daylight-saving changes.
    auto *clock = new QTimer(app);
    clock->setObjectName(QStringLiteral("crashReportClock"));
    QObject::connect(clock, &QTimer::timeout, app, &CrashHandler::refreshReportLocation);
    clock->start(60 * 1000);
}

}

namespace CrashHandler {

void install()
{
    if (s_installed)
        return;
    s_installed = true;

    // The first backtrace() loads the unwinder, which allocates: do it now.
    void *frames[4];
    ::backtrace(frames, 4);

    copyString(s_version, sizeof s_version, AppInfo::version().toLatin1().constData());
    refreshReportLocation();
    qAddPreRoutine(onApplicationCreated);

    installThreadStack();

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = writeCrashDump;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (int signalNumber : kFatalSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

void installThreadStack()
{
    // Lives as long as its thread: the stack is given back when it ends.
    struct ThreadStack {
        void *base = MAP_FAILED;
        ~ThreadStack()
        {
            if (base == MAP_FAILED)
                return;
            stack_t off;
            std::memset(&off, 0, sizeof off);
            off.ss_flags = SS_DISABLE;
            ::sigaltstack(&off, nullptr);
            ::munmap(base, kAltStackSize);
        }
    };
    static thread_local ThreadStack stack;
    if (stack.base != MAP_FAILED)
        return;
    stack.base = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack.base == MAP_FAILED)
        return;
    stack_t altStack;
    altStack.ss_sp = stack.base;
    altStack.ss_size = kAltStackSize;
    altStack.ss_flags = 0;
    ::sigaltstack(&altStack, nullptr);
}

void refreshReportLocation()
{
    if (s_handlingThread.load() != 0)
        return;
    const QByteArray prefix = reportPathPrefix(AppInfo::dataDir());
    const int next = 1 - s_prefixIndex.load(std::memory_order_relaxed);
    // A prefix too long for the buffer is dropped rather than cut, so that
    // no report lands under a wrong name.
    if (prefix.size() < int(kPathSize) - 32)
        copyString(s_prefix[next], kPathSize, prefix.constData());
    else
        s_prefix[next][0] = '\0';
    s_prefixIndex.store(next, std::memory_order_release);
    s_utcOffsetSeconds.store(QDateTime::currentDateTime().offsetFromUtc(), std::memory_order_relaxed);
}

QByteArray reportPathPrefix(const QString &dataDir)
{
    QString name = QString::fromLatin1(kExecutableFileName);
    name.remove(QStringLiteral(".exe"), Qt::CaseSensitive);
    return QFile::encodeName(dataDir + name);
}

bool formatReportPath(char *out, std::size_t outSize, const char *prefix, long long localSeconds)
{
    if (outSize == 0)
        return false;
    out[0] = '\0';
    if (!prefix[0])
        return false;

    long long days = localSeconds / 86400;
    long long secondsOfDay = localSeconds % 86400;
    if (secondsOfDay < 0) {
        secondsOfDay += 86400;
        --days;
    }
    long long year;
    int month;
    int day;
    civilFromDays(days, year, month, day);

    std::size_t len = 0;
    const bool ok = appendText(out, outSize, len, prefix)
        && appendText(out, outSize, len, "-") && appendNumber(out, outSize, len, year, 4)
        && appendText(out, outSize, len, "_") && appendNumber(out, outSize, len, month, 2)
        && appendText(out, outSize, len, "_") && appendNumber(out, outSize, len, day, 2)
        && appendText(out, outSize, len, "_") && appendNumber(out, outSize, len, secondsOfDay / 3600, 2)
        && appendText(out, outSize, len, "_") && appendNumber(out, outSize, len, secondsOfDay / 60 % 60, 2)
        && appendText(out, outSize, len, ".dmp");
    if (!ok)
        out[0] = '\0';
    return ok;
}

void writeCrashDump(int signalNumber, siginfo_t *info, void *context)
{
    Q_UNUSED(context)
    const int savedErrno = errno;
    const long threadId = currentThreadId();
    long expected = 0;
    if (!s_handlingThread.compare_exchange_strong(expected, threadId)) {
        if (expected != threadId) {
            // Another thread is writing the report and will end the process;
            // wait for it, but never for ever.
            struct timespec pause = {0, 100 * 1000 * 1000};
            for (int i = 0; i < 100; ++i)
                ::nanosleep(&pause, nullptr);
        }
        // A fault inside the handler itself ends the process at once.
        resetAndRaise(signalNumber);
        errno = savedErrno;
        return;
    }

    restoreDefaultAction(SIGALRM);
    ::alarm(kBackstopSeconds);

    // First, and with system calls only: a crash inside malloc or a Qt lock
    // must not keep the guard, and with it every next start, hostage.
    ProcessSingleton::releaseInstanceAfterCrash();

    writeReport(signalNumber, info, threadId);

    resetAndRaise(signalNumber);
    errno = savedErrno;
}

}
