#pragma once

#include "logmessagemodel.h"

#include <QObject>

// Puts the rows a window has gathered into its table now, instead of waiting
// for the batch timer, which a loaded machine may delay.
inline void flushRows(const QObject *window)
{
    const auto models = window->findChildren<LogMessageModel *>();
    for (LogMessageModel *model : models)
        model->flushPending();
}
