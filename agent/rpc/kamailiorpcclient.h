#pragma once

#include "kamailiorpcreply.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QObject>
#include <QQueue>
#include <QString>

#include <functional>

class QSocketNotifier;
class QTimer;

// JSON-RPC 2.0 to Kamailio over its unix datagram socket (jsonrpcs,
// kamailio_rpc.sock). Replies come back to a datagram socket of our own,
// bound in the runtime folder under a unique name, mode 0660: Kamailio
// running as another user can answer when the file's group is its group:
// the socket takes the group of Kamailio's socket when the agent's user is
// a member of it (or the folder is set-group-ID and owned by that group).
//
// Calls go out one at a time, in order (Kamailio answers them in order
// anyway), so that every datagram belongs to the call in flight. Each call
// ends in exactly one callback: Kamailio's answer, or a failure saying why
// (socket missing, Kamailio stopped, no answer within the time limit, a
// reply over 1 MiB or not JSON-RPC). Callbacks never run inside call().
// Pending callbacks are dropped, not run, when the client is destroyed
// (from inside a callback: with deleteLater()).
class KamailioRpcClient : public QObject
{
    Q_OBJECT

public:
    using Callback = std::function<void(const KamailioRpcReply &reply)>;

    static const int DefaultTimeoutMs = 10000;

    // kamailioSocket: Kamailio's kamailio_rpc.sock; runtimeDir: an existing
    // folder for the reply socket, bound at the first call.
    KamailioRpcClient(const QString &kamailioSocket, const QString &runtimeDir, QObject *parent = nullptr);
    ~KamailioRpcClient() override;  // removes the reply socket

    QString kamailioSocket() const { return m_kamailioSocket; }
    // The reply socket's path; "" until bound.
    QString replySocket() const { return m_bound ? m_replyPath : QString(); }
    // Time from call() to its answer, also while it waits its turn.
    void setTimeout(int ms) { m_timeoutMs = ms; }
    int timeout() const { return m_timeoutMs; }

    // Returns the request id.
    quint64 call(const QString &method, const QJsonArray &params, Callback callback);

private:
    struct Call
    {
        quint64 id = 0;
        QByteArray request;
        Callback callback;
        QElapsedTimer since;
        int timeoutMs = DefaultTimeoutMs;
        bool sent = false;
    };

    bool ensureBound(QString *error);
    void sendNext();
    void finishFront(const KamailioRpcReply &reply);
    void readReplies();
    void onDeadline();
    void armDeadline();
    QString sendError(int error) const;

    QString m_kamailioSocket;
    QString m_runtimeDir;
    QString m_replyPath;
    int m_fd = -1;
    bool m_bound = false;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_deadline;
    QQueue<Call> m_calls;  // the front one is in flight once sent
    quint64 m_nextId = 1;
    int m_timeoutMs = DefaultTimeoutMs;
    QByteArray m_buffer;
};
