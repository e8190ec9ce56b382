#pragma once

#include <QCoreApplication>
#include <QTimer>

// The main window ends the event loop when it is closed or destroyed. Outside
// exec() that request lingers and makes every later modal loop (menus,
// dialogs) return at once; running the application loop briefly clears it.
inline void clearQuitRequest()
{
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}
