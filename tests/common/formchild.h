#pragma once

#include <QObject>

// A widget of the window's form by object name; a missing one ends the test
// run at once, since every later check would be meaningless.
template<typename T>
T *formChild(const QObject *window, const char *name)
{
    T *widget = window->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no child %s", name);
    return widget;
}
