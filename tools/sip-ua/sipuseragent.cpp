#include "sipuseragent.h"

#include "sipendpoint.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <unistd.h>

SipUserAgent::SipUserAgent(const QHostAddress &proxy, quint16 proxyPort, QObject *parent)
    : QObject(parent), m_proxy(proxy), m_proxyPort(proxyPort)
{
}

SipEndpoint *SipUserAgent::endpoint(const QString &aor)
{
    auto *e = new SipEndpoint(aor, m_proxy, m_proxyPort, this);
    e->userAgent = userAgent;
    QString error;
    if (!e->bind(&error)) {
        fail(QStringLiteral("cannot bind a UDP port: %1").arg(error));
        return nullptr;
    }
    connect(e, &SipEndpoint::failed, this, &SipUserAgent::fail);
    m_endpoints.append(e);
    return e;
}

void SipUserAgent::fail(const QString &reason)
{
    emit line(QStringLiteral("failed %1").arg(reason));
    emit finished(1);
}

void SipUserAgent::registerOne(SipEndpoint *e, const std::function<void()> &done)
{
    const QString callId = SipEndpoint::randomToken() + QStringLiteral("@127.0.0.1");
    SipMessage m = e->newRequest(QStringLiteral("REGISTER"), QStringLiteral("sip:") + e->domain(), callId, 1,
                                 SipEndpoint::randomToken(), QStringLiteral("<sip:%1>").arg(e->aor()));
    m.addHeader(QStringLiteral("Contact"), QStringLiteral("<%1>").arg(e->contact()));
    m.addHeader(QStringLiteral("Expires"), QString::number(expires));
    auto *guard = new QObject(this);
    connect(e, &SipEndpoint::responseReceived, guard, [this, e, callId, done, guard](const SipMessage &r) {
        if (r.header(QStringLiteral("Call-ID")) != callId || r.status() < 200)
            return;
        guard->deleteLater();
        if (r.status() >= 300) {
            fail(QStringLiteral("REGISTER %1: %2 %3").arg(e->aor()).arg(r.status()).arg(r.reason()));
            return;
        }
        emit line(QStringLiteral("registered %1 %2").arg(e->aor(), e->contact()));
        done();
    });
    e->send(m);
}

void SipUserAgent::registerUsers(const QStringList &aors, bool stay)
{
    auto remaining = std::make_shared<int>(aors.size());
    for (const QString &aor : aors) {
        SipEndpoint *e = endpoint(aor);
        if (!e)
            return;
        registerOne(e, [this, remaining, stay] {
            if (--*remaining > 0)
                return;
            if (stay)
                afterStdin([this] { emit finished(0); });
            else
                emit finished(0);
        });
    }
}

void SipUserAgent::options()
{
    SipEndpoint *e = endpoint(QStringLiteral("probe@127.0.0.1"));
    if (!e)
        return;
    const QString uri = QStringLiteral("sip:%1:%2").arg(m_proxy.toString()).arg(m_proxyPort);
    const QString callId = SipEndpoint::randomToken() + QStringLiteral("@127.0.0.1");
    connect(e, &SipEndpoint::responseReceived, this, [this, callId](const SipMessage &r) {
        if (r.header(QStringLiteral("Call-ID")) != callId || r.status() < 200)
            return;
        emit line(QStringLiteral("status %1 %2").arg(r.status()).arg(r.reason()));
        emit finished(r.status() < 300 ? 0 : 1);
    });
    e->send(e->newRequest(QStringLiteral("OPTIONS"), uri, callId, 1, SipEndpoint::randomToken()));
}

void SipUserAgent::call(const QString &caller, const QString &callee, const CallOptions &options)
{
    m_options = options;
    m_callee = callee;
    m_caller = endpoint(caller);
    if (!m_caller)
        return;
    connect(m_caller, &SipEndpoint::responseReceived, this, &SipUserAgent::onCallerResponse);
    if (options.calleeUnregistered) {
        invite();
        return;
    }
    SipEndpoint *answering = endpoint(callee);
    if (!answering)
        return;
    answering->ringMs = options.ringMs;
    registerOne(answering, [this] { invite(); });
}

void SipUserAgent::invite()
{
    m_callId = SipEndpoint::randomToken() + QStringLiteral("@127.0.0.1");
    m_fromTag = SipEndpoint::randomToken();
    m_inviteBranch = SipEndpoint::randomToken();
    const QString uri = QStringLiteral("sip:") + m_callee;
    SipMessage m = m_caller->newRequest(QStringLiteral("INVITE"), uri, m_callId, 1, m_fromTag, QString(),
                                        m_inviteBranch);
    m.addHeader(QStringLiteral("Contact"), QStringLiteral("<%1>").arg(m_caller->contact()));
    m.setBody(QByteArrayLiteral("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                "m=audio 4000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"),
              QStringLiteral("application/sdp"));
    emit line(QStringLiteral("call-id %1").arg(m_callId));
    m_caller->send(m);
}

void SipUserAgent::onCallerResponse(const SipMessage &r)
{
    if (r.header(QStringLiteral("Call-ID")) != m_callId)
        return;
    const QString method = r.cseqMethod();
    if (method == QLatin1String("BYE")) {
        if (r.status() < 200)
            return;
        emit line(QStringLiteral("ended %1").arg(r.status()));
        emit finished(r.status() < 300 ? 0 : 1);
        return;
    }
    if (method != QLatin1String("INVITE"))
        return;
    if (r.status() < 200) {
        if (r.status() > 100)
            emit line(QStringLiteral("progress %1 %2").arg(r.status()).arg(r.reason()));
        return;
    }
    m_toValue = r.header(QStringLiteral("To"));
    if (r.status() >= 300) {
        // The ACK of a failure belongs to the INVITE's transaction.
        SipMessage ack = m_caller->newRequest(QStringLiteral("ACK"), QStringLiteral("sip:") + m_callee, m_callId, 1,
                                              m_fromTag, m_toValue, m_inviteBranch);
        m_caller->send(ack);
        emit line(QStringLiteral("status %1 %2").arg(r.status()).arg(r.reason()));
        emit finished(r.status() == m_options.expectStatus ? 0 : 1);
        return;
    }
    const bool first = !m_up;
    if (first) {
        m_up = true;
        m_remoteTarget = SipMessage::uriOf(r.header(QStringLiteral("Contact")));
        m_routeSet = r.headerValues(QStringLiteral("Record-Route"));
        std::reverse(m_routeSet.begin(), m_routeSet.end());
    }
    // Every 200 (retransmissions too) gets an ACK with the INVITE's number.
    SipMessage ack = m_caller->newRequest(QStringLiteral("ACK"), m_remoteTarget, m_callId, 1, m_fromTag, m_toValue);
    for (const QString &route : qAsConst(m_routeSet))
        ack.addHeader(QStringLiteral("Route"), route);
    m_caller->send(ack);
    if (!first)
        return;
    emit line(QStringLiteral("up %1").arg(m_callId));
    if (m_options.expectStatus != 200) {
        fail(QStringLiteral("answered, not %1").arg(m_options.expectStatus));
        return;
    }
    if (m_options.holdUntilStdin)
        afterStdin([this] { hangUp(); });
    else
        QTimer::singleShot(m_options.holdMs, this, &SipUserAgent::hangUp);
}

void SipUserAgent::hangUp()
{
    if (m_hungUp)
        return;
    m_hungUp = true;
    SipMessage bye = m_caller->newRequest(QStringLiteral("BYE"), m_remoteTarget, m_callId, 2, m_fromTag, m_toValue);
    for (const QString &route : qAsConst(m_routeSet))
        bye.addHeader(QStringLiteral("Route"), route);
    m_caller->send(bye);
}

void SipUserAgent::afterStdin(const std::function<void()> &then)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [notifier, then] {
        // A line or the end of input: either way it is time.
        char buffer[256];
        (void)::read(STDIN_FILENO, buffer, sizeof buffer);
        notifier->setEnabled(false);
        notifier->deleteLater();
        then();
    });
}
