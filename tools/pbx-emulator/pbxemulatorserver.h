#pragma once

#include "pbxemulatorconfig.h"

#include <QHostAddress>
#include <QObject>

class TlsListener;

// The demo exchange: accepts clients and gives each its own session.
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

    static bool parseListenAddress(const QString &text, QHostAddress *host, quint16 *port);

signals:
    void eventReported(const QString &line);

private:
    void onNewConnection();

    PbxEmulatorConfig m_config;
    TlsListener *m_server;
    int m_sessionCounter = 0;
};
