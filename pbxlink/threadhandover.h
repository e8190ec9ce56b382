#pragma once

// Tells ThreadSanitizer about the hand-overs between threads that Qt makes
// through its own locks. Qt 5 as shipped is not instrumented and its mutexes
// are futex-based, so the sanitizer cannot see that a queued call or a
// finished QThread::wait() orders memory. Does nothing in other builds.
class ThreadHandover
{
public:
    // What this thread did so far happens before whatever another thread
    // does after acquire() of the same key.
    static void release(const void *key);
    static void acquire(const void *key);

    // Call before emitting a signal that receivers on other threads get
    // queued: their delivery is ordered after this point, as Qt's posted-
    // event queue orders it. Needs watchQueuedCalls().
    static void releaseToQueuedCalls();
    // Makes every queued call, on any thread, acquire what
    // releaseToQueuedCalls() released. Call once before starting threads.
    static void watchQueuedCalls();
};
