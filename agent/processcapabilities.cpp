#include "processcapabilities.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kWord = CAP_NET_RAW / 32;
constexpr __u32 kBit = 1u << (CAP_NET_RAW % 32);

bool readCapabilities(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

}

bool ProcessCapabilities::keepNetRawForFileCapabilitiesOnly(QString *error)
{
    __user_cap_data_struct data[2] = {};
    if (!readCapabilities(data)) {
        *error = QStringLiteral("cannot read the process's capabilities: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const __u32 held = data[kWord].effective | data[kWord].inheritable;
    if (!(held & kBit))
        return true;
    // Lowering the inheritable bit drops the ambient one with it.
    data[kWord].effective &= ~kBit;
    data[kWord].inheritable &= ~kBit;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    if (::syscall(SYS_capset, &header, data) != 0) {
        *error = QStringLiteral("cannot narrow CAP_NET_RAW to the programs that need it: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_NET_RAW, 0, 0) == 1) {
        *error = QStringLiteral("CAP_NET_RAW stays in the ambient set");
        return false;
    }
    return true;
}

bool ProcessCapabilities::hasEffectiveNetRaw()
{
    __user_cap_data_struct data[2] = {};
    return readCapabilities(data) && (data[kWord].effective & kBit);
}
