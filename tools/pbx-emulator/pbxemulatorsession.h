#pragma once

#include "callgenerator.h"
#include "framereplay.h"
#include "pbxemulatorconfig.h"
#include "pbxframecodec.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <memory>

class QSslSocket;

// One client of the demo exchange: greeting, login check, the log stream,
// tenants, commands and keep-alive answers.
class PbxEmulatorSession : public QObject
{
    Q_OBJECT

public:
    PbxEmulatorSession(QSslSocket *socket, const PbxEmulatorConfig &config, int number,
                       QObject *parent = nullptr);
    ~PbxEmulatorSession() override;

    void start();
    qint64 sentMessages() const { return m_sent; }

    // Canned output of a diagnostic command; also used by tests of the emulator itself.
    static void runCommand(const QString &command, const QStringList &params, bool *executed, int *code,
                           QString *detail, QString *output);

signals:
    void eventReported(const QString &line);
    void finished();

private:
    enum class State { AwaitingLogin, AwaitingProof, LoggedIn, Closed };

    void greet();
    void onReadyRead();
    void onStreamTick();
    void handleFrame(const QJsonObject &frame);
    void handleLogin(const QJsonObject &frame);
    void handleProof(const QJsonObject &frame);
    void refuseLogin(const QString &reason);
    void handleCommand(const QJsonObject &frame);
    void send(const QJsonObject &frame);
    void sendRaw(const QByteArray &bytes);
    void sendError(const QString &reason);
    bool streamOne();
    void sendJunk();
    void close(const QString &why, const QString &byeReason = QString());
    void abortConnection(const QString &why);
    void emitSentTotal();
    bool silent() const;

    QSslSocket *m_socket;
    const PbxEmulatorConfig m_config;
    const int m_number;
    State m_state = State::AwaitingLogin;
    PbxFrameCodec m_codec;
    // The login under way: who, and what the proof must be checked against.
    QString m_user;
    QString m_domain;
    int m_mode = 0;
    QJsonObject m_client;
    Scram::Verifier m_verifier;
    QByteArray m_combinedNonce;
    QByteArray m_authMessagePrefix;  // client-first-bare "," server-first
    QString m_subscription;
    CallGenerator m_generator;
    std::unique_ptr<FrameReplay> m_replay;
    QTimer m_streamTimer;
    QTimer m_idleTimer;
    QTimer m_trickleTimer;
    QByteArray m_trickle;  // bytes still to go out one at a time
    QElapsedTimer m_streamClock;
    qint64 m_sent = 0;
    int m_junkIndex = 0;
};
