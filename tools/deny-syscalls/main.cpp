// deny-syscalls [--allow CALL]... -- PROGRAM [ARGS...]
//
// Runs PROGRAM with the system calls the agent's unit denies
// (SystemCallFilter=~@privileged @resources) failing with EPERM, as
// SystemCallErrorNumber=EPERM makes them fail under systemd; --allow names
// one the unit allows again. Tests use it
// where no systemd runs the unit: a program that needs one of these calls
// fails here as it would in the service.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
#error "deny-syscalls knows no audit architecture for this machine"
#endif

struct Call
{
    const char *name;
    long number;
};

#define CALL(name) {#name, SYS_##name}

// What systemd 252 puts in @privileged and @resources, as far as this
// architecture has them.
const Call kDenied[] = {
    // @privileged
    CALL(acct), CALL(bpf), CALL(capset), CALL(chroot), CALL(fanotify_init), CALL(fanotify_mark), CALL(open_by_handle_at),
    CALL(pivot_root), CALL(quotactl), CALL(setdomainname), CALL(setfsuid), CALL(setgroups), CALL(sethostname),
    CALL(setresuid), CALL(setreuid), CALL(setuid), CALL(vhangup), CALL(chown), CALL(fchown), CALL(fchownat), CALL(lchown),
    CALL(adjtimex), CALL(clock_adjtime), CALL(clock_settime), CALL(settimeofday), CALL(delete_module), CALL(finit_module),
    CALL(init_module), CALL(reboot), CALL(kexec_load), CALL(swapoff), CALL(swapon),
#if defined(__x86_64__)
    CALL(ioperm), CALL(iopl), CALL(kexec_file_load),
#endif
    // @resources
    CALL(ioprio_set), CALL(mbind), CALL(migrate_pages), CALL(move_pages), CALL(sched_setaffinity), CALL(sched_setattr),
    CALL(sched_setparam), CALL(sched_setscheduler), CALL(set_mempolicy), CALL(setpriority), CALL(setrlimit),
};


bool allowed(const char *name, const std::vector<std::string> &allow)
{
    for (const std::string &a : allow) {
        if (a == name)
            return true;
    }
    return false;
}

}

int main(int argc, char *argv[])
{
    // What the unit allows again after denying its groups.
    std::vector<std::string> allow;
    int i = 1;
    for (; i + 1 < argc && std::strcmp(argv[i], "--allow") == 0; i += 2)
        allow.emplace_back(argv[i + 1]);
    if (i + 1 >= argc || std::strcmp(argv[i], "--") != 0) {
        std::fprintf(stderr, "usage: deny-syscalls [--allow CALL]... -- PROGRAM [ARGS...]\n");
        return 2;
    }
    for (const std::string &name : allow) {
        bool known = false;
        for (const Call &call : kDenied)
            known = known || name == call.name;
        if (!known) {
            std::fprintf(stderr, "deny-syscalls: %s is not among the denied calls\n", name.c_str());
            return 2;
        }
    }
    std::vector<sock_filter> program;
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    // Another architecture's numbers mean other calls: refuse them all.
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    for (const Call &call : kDenied) {
        if (allowed(call.name, allow))
            continue;
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call.number), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};

    // Without privileges a filter needs no_new_privs; the unit sets it too.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0) {
        std::fprintf(stderr, "deny-syscalls: cannot install the filter: %s\n", std::strerror(errno));
        return 1;
    }
    ::execvp(argv[i + 1], argv + i + 1);
    std::fprintf(stderr, "deny-syscalls: cannot run %s: %s\n", argv[i + 1], std::strerror(errno));
    return 127;
}
