#pragma once

#include "pbxserver.h"
#include "serveridentity.h"

#include <QDebug>
#include <QStringList>

#include <utility>

// An exchange's side for a test: a PbxServer with the test's identity on
// a port of its own on loopback, and every line its log says.
class LoopbackExchange
{
public:
    LoopbackExchange(const ServerIdentity &identity, PbxBackend *backend, PbxServerSettings settings)
        : server(withIdentity(std::move(settings), identity), backend)
    {
        QObject::connect(&server, &PbxServer::eventReported, &server, [this](const QString &e) { events << e; });
    }

    bool listen()
    {
        QString error;
        if (server.listen(QStringLiteral("127.0.0.1:0"), &error))
            return true;
        qWarning() << error;
        return false;
    }

    PbxServer server;
    QStringList events;

private:
    static PbxServerSettings withIdentity(PbxServerSettings settings, const ServerIdentity &identity)
    {
        settings.certificate = identity.certificate;
        settings.privateKey = identity.key;
        return settings;
    }
};
