#include "mycloseapplication.h"

#include <QDebug>
#include <QSessionManager>

bool MyCloseApplication::s_bailoutRequested = false;

MyCloseApplication::MyCloseApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    s_bailoutRequested = false;
    connect(this, &QGuiApplication::commitDataRequest, this, &MyCloseApplication::bailout);
}

bool MyCloseApplication::bailoutRequested()
{
    return s_bailoutRequested;
}

void MyCloseApplication::bailout(QSessionManager &manager)
{
    qDebug() << Q_FUNC_INFO;
    s_bailoutRequested = true;
    // Never hold up the logout.
    manager.release();
}
