#pragma once

#include "sipmessage.h"

#include <QHostAddress>
#include <QList>
#include <QObject>

#include <functional>

class SipEndpoint;

// Scenarios of a test user agent against one proxy on loopback: each user is
// an endpoint of its own; progress goes out as lines, the end as an exit code.
class SipUserAgent : public QObject
{
    Q_OBJECT

public:
    struct CallOptions
    {
        int holdMs = 0;                // how long the call stays up before the BYE
        bool holdUntilStdin = false;   // or until a line or the end of standard input
        bool calleeUnregistered = false;
        int expectStatus = 200;        // the INVITE's final status that counts as success
        int ringMs = 0;
    };

    SipUserAgent(const QHostAddress &proxy, quint16 proxyPort, QObject *parent = nullptr);

    QString userAgent = QStringLiteral("plogger4-sip-ua/1.0");
    int expires = 600;

    // Registers each address of record from its own port; with stay, keeps
    // answering calls to them until standard input ends.
    void registerUsers(const QStringList &aors, bool stay);
    void options();
    // Registers the callee (unless told not to), then calls it from caller.
    void call(const QString &caller, const QString &callee, const CallOptions &options);

signals:
    void line(const QString &text);
    void finished(int exitCode);

private:
    SipEndpoint *endpoint(const QString &aor);
    void registerOne(SipEndpoint *e, const std::function<void()> &done);
    void invite();
    void onCallerResponse(const SipMessage &response);
    void hangUp();
    void afterStdin(const std::function<void()> &then);
    void fail(const QString &reason);

    QHostAddress m_proxy;
    quint16 m_proxyPort;
    QList<SipEndpoint *> m_endpoints;

    // The call under way, from the caller's side.
    SipEndpoint *m_caller = nullptr;
    QString m_callee;
    CallOptions m_options;
    QString m_callId;
    QString m_fromTag;
    QString m_toValue;
    QString m_remoteTarget;
    QStringList m_routeSet;
    QString m_inviteBranch;
    bool m_up = false;
    bool m_hungUp = false;
};
