// Test helper: starts like the program does (crash handler, single-instance
// guard, application object, but no GUI), says "ready <pid>" and then obeys
// commands read from standard input: "quit" (or end of input) ends normally,
// "segv", "abort", "segv-thread", "double-free" (the C library aborts inside
// free) and "overflow-thread" (a worker thread runs out of stack) crash on
// purpose.
//
// Usage: singleton-probe <key> [gate-file]
// With a gate file the probe waits until that file exists before it takes the
// guard, so that a test can release many probes at the same moment.
// Exit codes: 0 after quit, 1 when another instance holds the key, 2 on
// bad usage.
//
// Usage: singleton-probe --plant <key-file|number> <pid> [lock-file]
// Plays another local user: makes a segment anybody may write, holding pid,
// under the System V key of the key file (made when missing) or the number,
// holds a lock on lock-file, says "ready <pid>" and keeps all that until
// standard input ends; then removes the segment.

#include "appinfo.h"
#include "crashhandler.h"
#include "processsingleton.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

namespace {

[[noreturn]] void faultAtSixteen()
{
    // A real fault at a known address, not a raised signal. The address goes
    // through a volatile so that the compiler cannot see the bad store coming.
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int *>(address) = 1;
    std::abort();
}

// Each frame keeps a buffer alive across the call, so that no frame can be
// folded away and the stack really runs out.
int overflowStack(volatile int depth)
{
    volatile char pad[1024];
    pad[0] = char(depth);
    if (depth >= 0)
        return overflowStack(depth + 1) + pad[0];
    return pad[0];
}

void doubleFree()
{
    void *volatile block = std::malloc(64);
    std::free(block);
    std::free(block);
}

int plant(int argc, char *argv[])
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s --plant <key-file|number> <pid> [lock-file]\n", argv[0]);
        return 2;
    }
    char *end = nullptr;
    const long number = std::strtol(argv[2], &end, 10);
    key_t key = key_t(number);
    if (*end) {
        const int fd = ::open(argv[2], O_RDWR | O_CREAT, 0666);
        if (fd >= 0)
            ::close(fd);
        key = ::ftok(argv[2], 'Q');
    }
    const int id = key == -1 ? -1 : ::shmget(key, ProcessSingleton::kSegmentSize, IPC_CREAT | IPC_EXCL | 0666);
    void *data = id == -1 ? nullptr : ::shmat(id, nullptr, 0);
    if (!data || data == reinterpret_cast<void *>(-1)) {
        std::perror("plant");
        return 2;
    }
    const long long pid = std::atoll(argv[3]);
    std::memcpy(data, &pid, sizeof pid); // little-endian hosts only, as the tests
    ::shmdt(data);
    const int lock = argc == 5 ? ::open(argv[4], O_RDWR | O_CREAT, 0666) : -1;
    if (argc == 5 && (lock < 0 || ::flock(lock, LOCK_EX) != 0)) {
        std::perror("plant lock");
        ::shmctl(id, IPC_RMID, nullptr);
        return 2;
    }
    std::printf("ready %lld\n", static_cast<long long>(::getpid()));
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    ::shmctl(id, IPC_RMID, nullptr);
    return 0;
}

}

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--plant") == 0)
        return plant(argc, argv);

    CrashHandler::install();

    // Crashes here are expected: no core files in the build tree.
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);

    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <key> [gate-file]\n", argv[0]);
        return 2;
    }
    if (argc == 3) {
        for (int i = 0; i < 30000 && ::access(argv[2], F_OK) != 0; ++i)
            ::usleep(1000);
    }

    // As the program: the guard's fallback folder lies in the data directory.
    QCoreApplication::setApplicationName(AppInfo::applicationName());
    try {
        ProcessSingleton::instancePointer() = new ProcessSingleton(QString::fromLocal8Bit(argv[1]));
    } catch (const ProcessSingletonAlreadyInUseException &) {
        return 1;
    }

    QCoreApplication app(argc, argv);
    QDir().mkpath(AppInfo::dataDir());

    std::printf("ready %lld\n", static_cast<long long>(::getpid()));
    std::fflush(stdout);

    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (std::strcmp(line, "segv") == 0)
            faultAtSixteen();
        if (std::strcmp(line, "abort") == 0)
            std::abort();
        if (std::strcmp(line, "segv-thread") == 0) {
            std::thread(faultAtSixteen).join();
        }
        if (std::strcmp(line, "double-free") == 0)
            doubleFree();
        if (std::strcmp(line, "overflow-thread") == 0) {
            std::thread([] {
                CrashHandler::installThreadStack();
                overflowStack(0);
            }).join();
        }
        if (std::strcmp(line, "quit") == 0)
            break;
    }

    ProcessSingleton::releaseInstance();
    return 0;
}
