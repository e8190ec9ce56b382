#pragma once

#include <QApplication>

class QSessionManager;

// The application object: remembers when the session manager asks the
// program to save its state, so that the main window knows it is being shut
// down by a logout rather than by the user.
class MyCloseApplication : public QApplication
{
    Q_OBJECT

public:
    MyCloseApplication(int &argc, char **argv);

    static bool bailoutRequested();

private slots:
    void bailout(QSessionManager &manager);

private:
    static bool s_bailoutRequested;
};
