#include "pbxemulatorserver.h"

#include "pbxemulatorsession.h"
#include "pbxserver.h"

PbxEmulatorServer::PbxEmulatorServer(const PbxEmulatorConfig &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_backend(config)
    , m_server(new PbxServer(config.serverSettings(), &m_backend, this))
{
    m_server->setSessionFactory([this](QSslSocket *socket, int number, QObject *owner) -> PbxServerSession * {
        return new PbxEmulatorSession(socket, m_config, &m_backend, number, owner);
    });
    connect(m_server, &PbxServer::eventReported, this, &PbxEmulatorServer::eventReported);
}

PbxEmulatorServer::~PbxEmulatorServer() = default;

bool PbxEmulatorServer::listen(QString *error)
{
    return m_server->listen(m_config.listenAddress, error);
}

QHostAddress PbxEmulatorServer::address() const
{
    return m_server->addresses().value(0);
}

quint16 PbxEmulatorServer::port() const
{
    return m_server->port();
}

QString PbxEmulatorServer::addressText() const
{
    return m_server->addressTexts().value(0);
}
