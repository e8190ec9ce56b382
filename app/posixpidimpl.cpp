#include "posixpidimpl.h"

#include <unistd.h>

qint64 PosixPidImpl::getPid()
{
    return qint64(::getpid());
}
