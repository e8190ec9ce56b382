#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "historyrequest.h"
#include "logindetails.h"
#include "pbxlinkglobal.h"
#include "servercommand.h"
#include "servercommandresponse.h"

#include <QMap>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>
#include <mutex>

class PbxLinkSession;
class QTimer;

// Client side of the link to the exchange.
//
// The link runs its own thread: the socket lives there, every call made from
// the GUI thread is handed over to it, and every signal is emitted from it,
// so receivers on the GUI thread get them queued, in emission order.
// Each connectToServer() is an attempt that ends in exactly one
// unloggedFromServer(), after its loggedToServer() when the login succeeded;
// a new attempt first ends the one it replaces ("UserRequest"). The
// outcomes arrive in the order of the attempts, so a receiver that counts
// the attempts it made and the ends it got knows which attempt a signal is
// about. Call shutdown() before deleting a link; deleting one that is still
// connected is safe too.
class PbxLink : public QThread
{
    Q_OBJECT

public:
    PbxLink(const QString &platform, const QString &osVersion, const QString &appShortName,
            const QString &appVersion, const QString &dataDir, QObject *parent = nullptr);
    ~PbxLink() override;

    void init();
    void setServerAddress(const QString &hostAndPort);
    void connectToServer(const QString &user, const QString &password, const QString &domain,
                         PBXLINK::AppMode mode);
    void disconnectFromServer();
    void shutdown();

    void getTenantList();
    // since: a row id of this exchange (feature HISTORY): its stored rows
    // after that one come first, then the live ones.
    void subscribeTenantEvents(const QString &tenantUuid, const QString &since = QString());
    // Answered by sigHistoryCalls, sigHistoryRows or sigHistoryError.
    void sendHistoryRequest(const HistoryRequest &request);
    QString getServerApiVersion() const;
    void sendServerCommand(const ServerCommand &command);
    // Answers sigUnknownExchange with the address and fingerprint it carried.
    void answerUnknownExchange(const QString &address, const QString &fingerprint, bool trust);
    // Takes back messages a receiver is done with, to free them on the link's
    // thread, which made them: freed on the receiver's thread, every string
    // would wait for the allocator lock of the link's busy thread.
    void releaseMessages(QVector<DiagnosticMessage> done);

    // Log messages sent but not yet delivered to the receivers on this
    // object's thread, by their approximate memory. Past the bound the link
    // stops reading until delivery has caught up, so a fast exchange is
    // slowed by TCP instead of filling the memory; nothing is dropped.
    static constexpr qint64 MaxUndeliveredBytes = 32 * 1024 * 1024;
    qint64 undeliveredBytes() const;
    bool isReadingPaused() const;

signals:
    void loggedToServer(LoginDetails details);
    void unloggedFromServer(QString reason);
    void disconnectedFromServer();
    void sigFeaturesChanged(QStringList features);
    void sigTenantListReceived(QMap<QString, QString> tenants);
    void sigDiagnosticMessageReceived(DiagnosticMessage msg);
    void sigServerCommandResponse(ServerCommandResponse response);
    void sigHistoryCalls(QString id, QVector<HistoryCall> calls, bool truncated);
    void sigHistoryRows(QString id, QVector<DiagnosticMessage> rows, bool truncated);
    void sigHistoryError(QString id, QString reason);
    // The exchange's certificate has no pin yet (fingerprint: SHA-256 as
    // hex pairs joined by ':'): the attempt waits until the receiver calls
    // answerUnknownExchange(). "Trust" pins it in the data directory.
    void sigUnknownExchange(QString address, QString fingerprint);
    // The certificate differs from the pinned one; the attempt then ends with
    // PBXLINK::ReasonIdentityChanged before anything is sent.
    void sigExchangeIdentityChanged(QString address, QString knownFingerprint, QString presentedFingerprint);

protected:
    void run() override;

private:
    Q_DISABLE_COPY(PbxLink)

    using SessionCall = std::function<void(PbxLinkSession *)>;
    // Runs the call on the link's thread, in the order of the calls; they
    // wait in m_pending until that thread takes them.
    void dispatch(SessionCall call);
    void runPendingCalls(PbxLinkSession *session);
    void sendDiagnosticMessage(PbxLinkSession *session, const DiagnosticMessage &msg);
    void postDeliveryMark();
    void onMessagesDelivered(qint64 bytes);
    template <typename... Args>
    void forward(PbxLinkSession *session, void (PbxLinkSession::*from)(Args...), void (PbxLink::*to)(Args...));

    const QString m_platform;
    const QString m_osVersion;
    const QString m_appShortName;
    const QString m_appVersion;
    const QString m_dataDir;
    const int m_keepAliveMs;
    bool m_attemptOpen = false;  // used on the link's thread only
    qint64 m_unmarkedBytes = 0;  // link's thread only: sent since the last delivery mark
    std::atomic<qint64> m_undeliveredBytes{0};
    std::atomic<bool> m_readingPaused{false};

    // A standard mutex, unlike QMutex, is one ThreadSanitizer can see.
    mutable std::mutex m_mutex;  // guards the members below
    QVector<SessionCall> m_pending;
    QTimer *m_pendingCallsTimer = nullptr;  // set while the link's thread takes calls
    bool m_stopped = false;
    QString m_apiVersion;
};
