#include "tlslistener.h"

#include <QSslSocket>

#include <unistd.h>

void TlsListener::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));  // not taken: still ours to close
        return;
    }
    addPendingConnection(socket);
}
