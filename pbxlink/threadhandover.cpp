#include "threadhandover.h"

#if defined(__SANITIZE_THREAD__)
#define PLOGGER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLOGGER_TSAN 1
#endif
#endif

#ifdef PLOGGER_TSAN

#include <QEvent>
#include <QtGlobal>

#include <sanitizer/tsan_interface.h>

namespace {

// Stands for the lock of Qt's posted-event queues.
char queuedCallKey;

bool acquireOnQueuedCall(void **data)
{
    // data: receiver, event, result; false lets the event through.
    if (static_cast<const QEvent *>(data[1])->type() == QEvent::MetaCall)
        __tsan_acquire(&queuedCallKey);
    return false;
}

}

void ThreadHandover::release(const void *key)
{
    __tsan_release(const_cast<void *>(key));
}

void ThreadHandover::acquire(const void *key)
{
    __tsan_acquire(const_cast<void *>(key));
}

void ThreadHandover::releaseToQueuedCalls()
{
    __tsan_release(&queuedCallKey);
}

void ThreadHandover::watchQueuedCalls()
{
    // Qt reads its callback table unlocked, hence once and early.
    static const bool registered = QInternal::registerCallback(QInternal::EventNotifyCallback, acquireOnQueuedCall);
    Q_UNUSED(registered)
}

#else

void ThreadHandover::release(const void *) {}
void ThreadHandover::acquire(const void *) {}
void ThreadHandover::releaseToQueuedCalls() {}
void ThreadHandover::watchQueuedCalls() {}

#endif
