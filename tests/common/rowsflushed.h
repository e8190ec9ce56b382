#pragma once

#include "logmessagemodel.h"

#include <QtTest>

// Waits until the window's table holds every message handed to it: the
// model gathers them and inserts them on a timer, later under sanitizers.
inline bool waitForRowsFlushed(const QObject *window)
{
    const auto *model = window->findChild<const LogMessageModel *>();
    return model && QTest::qWaitFor([model] { return model->pendingCount() == 0; });
}
