#pragma once

#include "pbxserversettings.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QVector>

#include <functional>
#include <memory>

class LoginThrottle;
class PbxBackend;
class PbxServerSession;
class QSslSocket;
class TlsListener;
struct DiagnosticMessage;

// An exchange's side of the link: listens, gives each client a session, and
// hands the log frames it publishes to every client subscribed to their
// tenant. The backend answers for accounts, tenants and commands.
class PbxServer : public QObject
{
    Q_OBJECT

public:
    // Makes the session for a new connection; the default is a plain
    // PbxServerSession. A demo exchange makes one of its own.
    using SessionFactory = std::function<PbxServerSession *(QSslSocket *socket, int number, QObject *parent)>;

    PbxServer(const PbxServerSettings &settings, PbxBackend *backend, QObject *parent = nullptr);
    ~PbxServer() override;

    void setSessionFactory(SessionFactory factory);
    void setSettings(const PbxServerSettings &settings);  // for sessions that start from now on
    const PbxServerSettings &settings() const { return m_settings; }

    // "host:port" or "[v6]:port", port 0 = any. May be called for several addresses.
    bool listen(const QString &address, QString *error);
    QList<QHostAddress> addresses() const;
    quint16 port() const;  // of the first listener
    // "127.0.0.1:5039" or "[::1]:5039" for each listener
    QStringList addressTexts() const;

    // Sends a log record to every logged-in client subscribed to its tenant.
    void publish(const DiagnosticMessage &msg);
    // The same, already encoded with its line end; rowId is its id, if any.
    void publishFrame(const QString &tenant, const QByteArray &frame, qint64 rowId = 0);
    // A record for every logged-in client, whatever its subscription: news
    // of the exchange itself.
    void broadcast(const DiagnosticMessage &msg);
    // Ends the logged-in sessions of these accounts with a bye.
    void endSessionsOf(const QStringList &accounts, const QString &reason);
    // A broadcast that also reaches every client logging in later, until it
    // is withdrawn: news of a state that lasts (a log source that is lost).
    void setStandingNotice(const QString &key, const DiagnosticMessage &msg);
    void withdrawStandingNotice(const QString &key);
    // The backend's tenant list to every logged-in client, when it changed.
    void sendTenantsToAll();
    int sessionCount() const { return m_sessions.size(); }
    int loggedInCount() const;
    // The most any logged-in client has still to read.
    qint64 largestQueue() const;

signals:
    void eventReported(const QString &line);

private:
    void onNewConnection(TlsListener *listener);
    bool makeRoomBeforeLogin(const QHostAddress &peer);
    QString admission(const QString &account) const;

    PbxServerSettings m_settings;
    PbxBackend *const m_backend;
    SessionFactory m_factory;
    std::unique_ptr<LoginThrottle> m_throttle;
    QVector<TlsListener *> m_listeners;
    QVector<PbxServerSession *> m_sessions;
    QMap<QString, QByteArray> m_standingNotices;  // encoded frames
    int m_sessionCounter = 0;
};
