#pragma once

#include "pbxemulatorbackend.h"
#include "pbxemulatorconfig.h"

#include <QHostAddress>
#include <QObject>

class PbxServer;

// The demo exchange: the link's server with the demo's sessions and backend.
// Usable in-process (benchmarks) as well as from the pbx-emulator program.
class PbxEmulatorServer : public QObject
{
    Q_OBJECT

public:
    explicit PbxEmulatorServer(const PbxEmulatorConfig &config, QObject *parent = nullptr);
    ~PbxEmulatorServer() override;

    // Listens on config.listenAddress ("host:port" or "[v6]:port", port 0 = any).
    bool listen(QString *error);
    QHostAddress address() const;
    quint16 port() const;
    // "127.0.0.1:5039" or "[::1]:5039"
    QString addressText() const;

signals:
    void eventReported(const QString &line);

private:
    const PbxEmulatorConfig m_config;
    PbxEmulatorBackend m_backend;
    PbxServer *m_server;
};
