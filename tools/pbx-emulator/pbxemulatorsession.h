#pragma once

#include "callgenerator.h"
#include "framereplay.h"
#include "pbxemulatorconfig.h"
#include "pbxserversession.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>

// One client of the demo exchange: the link's session, with a synthetic or
// recorded log stream of its own, and the misbehaviours the client's tests
// ask for.
class PbxEmulatorSession : public PbxServerSession
{
    Q_OBJECT

public:
    PbxEmulatorSession(QSslSocket *socket, const PbxEmulatorConfig &config, PbxBackend *backend, int number,
                       QObject *parent = nullptr);
    ~PbxEmulatorSession() override;

protected:
    void beginHandshake() override;
    QSslCertificate localCertificate() const override;
    QSslKey localKey() const override;
    void greet() override;
    void writeBytes(const QByteArray &bytes) override;
    QString loginRefusal() const override { return m_config.refuseLoginReason; }
    QByteArray loginSignature(const Scram::Verifier &verifier, const QByteArray &authMessage) const override;
    bool keepsAlive() const override { return !silent(); }
    void loggedIn() override;
    void subscribed(const QString &tenant) override;

private:
    void onStreamTick();
    bool streamOne();
    void sendJunk();
    bool silent() const;

    const PbxEmulatorConfig m_config;
    CallGenerator m_generator;
    std::unique_ptr<FrameReplay> m_replay;
    QTimer m_streamTimer;
    QTimer m_trickleTimer;
    QByteArray m_trickle;  // bytes still to go out one at a time
    QElapsedTimer m_streamClock;
    int m_junkIndex = 0;
    bool m_waitingForRoom = false;  // the stream waits for the client to read
};
