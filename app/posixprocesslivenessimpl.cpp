#include "posixprocesslivenessimpl.h"

#include <cerrno>
#include <limits>
#include <signal.h>
#include <sys/types.h>

bool PosixProcessLivenessImpl::isAlive(qint64 pid)
{
    // Zero and negative ids would address process groups, and a value that
    // does not fit would be truncated into somebody else's id.
    if (pid <= 0 || pid > qint64(std::numeric_limits<pid_t>::max()))
        return false;
    if (::kill(pid_t(pid), 0) == 0)
        return true;
    return errno == EPERM;
}
