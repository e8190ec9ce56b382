#include "pdiscovery.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSet>
#include <QUdpSocket>

#include <limits>

namespace {

// Replies are read in slices so that a flood cannot hold up the event loop;
// the socket reports the rest on the next turn.
constexpr int MaxDatagramsPerRead = 256;

// Room for a few hundred replies arriving at once.
constexpr int ReceiveBufferSize = 1 << 20;

QString closingTag(const QString &openTag)
{
    const int lt = openTag.indexOf(QLatin1Char('<'));
    if (lt < 0)
        return QString();
    QString close = openTag;
    close.insert(lt + 1, QLatin1Char('/'));
    return close;
}

PDiscovery::Target targetFromEnvironment()
{
    if (qEnvironmentVariableIsSet("PLOGGER_DISCOVERY_TARGET"))
        return PDiscovery::targetFromSetting(QString::fromLocal8Bit(qgetenv("PLOGGER_DISCOVERY_TARGET")));
    PDiscovery::Target target;
    target.address = QHostAddress(QHostAddress::Broadcast);
    return target;
}

}

PDiscovery::PDiscovery(QObject *parent)
    : PDiscovery(parent, defaultTarget())
{
}

PDiscovery::PDiscovery(QObject *parent, const QHostAddress &target, quint16 port)
    : PDiscovery(parent, Target{target, port, QString()})
{
}

PDiscovery::PDiscovery(QObject *parent, const Target &target)
    : QObject(parent)
    , dest(target)
{
    DiscoveryInfo::registerMetaTypes();

    socket = new QUdpSocket(this);
    // Aimed at this host only, the socket need not be reachable from outside.
    QHostAddress local;
    const bool v6 = dest.address.protocol() == QAbstractSocket::IPv6Protocol;
    if (dest.address.isLoopback() || !dest.unusable.isEmpty())
        local = v6 ? QHostAddress(QHostAddress::LocalHostIPv6) : QHostAddress(QHostAddress::LocalHost);
    else
        local = v6 ? QHostAddress(QHostAddress::AnyIPv6) : QHostAddress(QHostAddress::AnyIPv4);
    if (socket->bind(local, 0))
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, ReceiveBufferSize);
    else
        qWarning() << Q_FUNC_INFO << "cannot bind the discovery socket:" << socket->errorString();

    if (!connect(socket, SIGNAL(readyRead()), this, SLOT(parseResult())))
        qCritical() << Q_FUNC_INFO << "signal-slot connection failed!";
}

PDiscovery::Target PDiscovery::defaultTarget()
{
    return targetFromEnvironment();
}

PDiscovery::Target PDiscovery::targetFromSetting(const QString &value)
{
    Target target;
    if (value.trimmed().isEmpty())
        target.unusable = QStringLiteral("PLOGGER_DISCOVERY_TARGET is set but empty");
    else if (!parseTarget(value, &target))
        target.unusable = QStringLiteral("PLOGGER_DISCOVERY_TARGET is not host:port with a port from 1 to 65535: \"%1\"")
                              .arg(value.left(100));
    return target;
}

bool PDiscovery::parseTarget(const QString &text, Target *target)
{
    static const QRegularExpression form(QStringLiteral("^(?:\\[([^\\]]+)\\]|([^:\\[\\]]+)):(\\d{1,5})$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const uint port = m.captured(3).toUInt();
    if (port == 0 || port > 65535)
        return false;
    const QString host = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
    QHostAddress address;
    if (host == QLatin1String("localhost"))
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(host))
        return false;
    if (target) {
        target->address = address;
        target->port = quint16(port);
    }
    return true;
}

QByteArray PDiscovery::requestPayload(qint32 cmdId)
{
    return QByteArrayLiteral("<PDiscovery><API>4.0</API><CMDID>") + QByteArray::number(cmdId)
           + QByteArrayLiteral("</CMDID></PDiscovery>");
}

QString PDiscovery::tagValue(const QString &text, const QString &openTag, int from)
{
    const QString close = closingTag(openTag);
    if (close.isEmpty())
        return QString();
    const int start = text.indexOf(openTag, qMax(0, from));
    if (start < 0)
        return QString();
    const int valueStart = start + openTag.size();
    const int end = text.indexOf(close, start);
    if (end < valueStart)
        return QString();
    return text.mid(valueStart, end - valueStart);
}

QStringList PDiscovery::tagValues(const QString &text, const QString &openTag)
{
    QStringList values;
    const QString close = closingTag(openTag);
    if (close.isEmpty())
        return values;

    // An element whose closing tag comes only after the next opening tag is
    // unclosed: its value would swallow the elements after it, and a reply
    // full of such tags would cost time and memory quadratic in its size.
    int end = -2;   // first closing tag at or after the current element; -1: none left
    int pos = text.indexOf(openTag);
    while (pos >= 0) {
        const int next = text.indexOf(openTag, pos + 1);
        if (end != -1 && end < pos)
            end = text.indexOf(close, pos);
        const int valueStart = pos + openTag.size();
        if (end >= valueStart && (next < 0 || end < next))
            values.append(text.mid(valueStart, end - valueStart));
        else
            values.append(QString());
        pos = next;
    }
    return values;
}

QList<DiscoveryInfo> PDiscovery::getResultSet()
{
    return resultSet;
}

void PDiscovery::startBroadcasting()
{
    if (!dest.unusable.isEmpty()) {
        if (!unusableReported)
            qWarning() << Q_FUNC_INFO << "no discovery request sent:" << dest.unusable;
        unusableReported = true;
        return;
    }
    const qint32 n = cmdCounter;
    if (cmdCounter < std::numeric_limits<qint32>::max())
        ++cmdCounter;
    if (socket->writeDatagram(requestPayload(n), dest.address, dest.port) < 0)
        qWarning() << Q_FUNC_INFO << "request" << n << "not sent:" << socket->errorString();
}

void PDiscovery::parseResult()
{
    for (int i = 0; i < MaxDatagramsPerRead && socket->hasPendingDatagrams(); ++i) {
        const qint64 size = socket->pendingDatagramSize();
        QByteArray datagram(int(qBound<qint64>(0, size, 1 << 20)), Qt::Uninitialized);
        const qint64 got = socket->readDatagram(datagram.data(), datagram.size());
        if (got < 0)
            break;
        datagram.truncate(int(got));
        takeReply(datagram);
    }
}

void PDiscovery::takeReply(const QByteArray &datagram)
{
    const int nul = datagram.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? datagram : datagram.left(nul));
    if (QLoggingCategory::defaultCategory()->isDebugEnabled())
        qDebug() << "Received datagram:" << text;

    bool ok = false;
    qint32 cmd = tagValue(text, QStringLiteral("<CMDID>"), 0).toInt(&ok);
    if (!ok)
        cmd = 0;
    // Only the id of a request actually sent starts a new set: a stray reply
    // with a huge id would otherwise keep every later request from clearing it.
    if (cmd > lastCmdId && cmd < cmdCounter) {
        resultSet.clear();
        overflowReported = false;
        emit newResultSet();
        lastCmdId = cmd;
    }

    if (resultSet.size() >= MaxResults) {
        if (!overflowReported)
            qWarning() << Q_FUNC_INFO << "more than" << MaxResults << "replies, further ones dropped";
        overflowReported = true;
        return;
    }

    DiscoveryInfo info;
    info.pn = tagValue(text, QStringLiteral("<PN>"), 0);
    info.sn = tagValue(text, QStringLiteral("<SN>"), 0);
    info.fw = tagValue(text, QStringLiteral("<FW>"), 0);
    info.bl = tagValue(text, QStringLiteral("<BL>"), 0);
    QSet<QString> seen;
    const QStringList ips = tagValues(text, QStringLiteral("<IP>"));
    for (const QString &ip : ips) {
        // An empty element names no address anyone could connect to.
        if (ip.isEmpty() || seen.contains(ip))
            continue;
        seen.insert(ip);
        info.ips.append(ip);
    }
    resultSet.append(info);
    emit newResultSet();
}
