#pragma once

#include <QString>
#include <QThread>

#include <functional>
#include <memory>

// A named thread that runs one function to its end. Deleting it asks the
// function to return (stop sets the flag it watches and wakes it), then
// waits for it.
using WorkerThread = std::unique_ptr<QThread, std::function<void(QThread *)>>;

inline WorkerThread startWorkerThread(const QString &name, std::function<void()> run, std::function<void()> stop)
{
    WorkerThread thread(QThread::create(std::move(run)), [stop = std::move(stop)](QThread *running) {
        stop();
        running->wait();
        delete running;
    });
    thread->setObjectName(name);
    thread->start();
    return thread;
}
