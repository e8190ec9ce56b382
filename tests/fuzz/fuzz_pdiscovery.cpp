// Discovery replies: the tag readers on their own, and whole datagrams sent
// over loopback to a real PDiscovery, which reads them as from the network.
#include "fuzzsupport.h"
#include "pdiscovery.h"

#include <QSet>
#include <QThread>
#include <QUdpSocket>

#include <memory>

namespace {

struct Loopback
{
    QUdpSocket sink;    // where the requests go
    QUdpSocket sender;  // where the replies come from
    std::unique_ptr<PDiscovery> discovery;
    QUdpSocket *discoverySocket = nullptr;
    int used = 0;

    Loopback()
    {
        FUZZ_CHECK(sink.bind(QHostAddress(QHostAddress::LocalHost), 0));
        FUZZ_CHECK(sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
        renew();
    }

    // A fresh object now and then, so that a full result set does not end
    // the exploration of the reply path.
    void renew()
    {
        discovery.reset(new PDiscovery(nullptr, QHostAddress(QHostAddress::LocalHost), sink.localPort()));
        discoverySocket = discovery->findChild<QUdpSocket *>();
        FUZZ_CHECK(discoverySocket && discoverySocket->state() == QAbstractSocket::BoundState);
        used = 0;
    }

    void drainSink()
    {
        while (sink.hasPendingDatagrams())
            sink.readDatagram(nullptr, 0);
    }
};

void checkInfo(const DiscoveryInfo &info)
{
    QSet<QString> seen;
    for (const QString &ip : info.ips) {
        FUZZ_CHECK(!ip.isEmpty());
        FUZZ_CHECK(!seen.contains(ip));
        seen.insert(ip);
    }
}

}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::startQuietApplication("fuzz_pdiscovery");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList tags = {QStringLiteral("<CMDID>"), QStringLiteral("<PN>"), QStringLiteral("<SN>"),
                                     QStringLiteral("<FW>"),    QStringLiteral("<BL>"), QStringLiteral("<IP>")};
    static Loopback loopback;

    FuzzedDataProvider fdp(data, size);
    const QString tag = fdp.ConsumeBool() ? tags.at(fdp.ConsumeIntegralInRange<int>(0, tags.size() - 1))
                                          : QString::fromUtf8(fdp.ConsumeRandomLengthString(8).c_str());
    const int from = fdp.ConsumeIntegralInRange<int>(-2, 1024);
    const int requests = fdp.ConsumeIntegralInRange<int>(0, 3);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray datagram(rest.data(), int(qMin<size_t>(rest.size(), 60000)));
    const QString text = QString::fromUtf8(datagram);

    const QString value = PDiscovery::tagValue(text, tag, from);
    FUZZ_CHECK(value.isEmpty() || text.contains(value));
    const QStringList values = PDiscovery::tagValues(text, tag);
    if (tag.startsWith(QLatin1Char('<')) && tag.count(QLatin1Char('<')) == 1 && !tag.contains(QLatin1Char('>')))
        FUZZ_CHECK(values.size() == text.count(tag));
    for (const QString &v : values)
        FUZZ_CHECK(!v.contains(tag));

    if (++loopback.used > 500)
        loopback.renew();
    PDiscovery &discovery = *loopback.discovery;
    for (int i = 0; i < requests; ++i)
        discovery.startBroadcasting();
    loopback.drainSink();

    FUZZ_CHECK(loopback.sender.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost),
                                              loopback.discoverySocket->localPort())
               == datagram.size());
    // Loopback delivery is immediate, but allow the kernel a moment. No
    // waitForReadyRead(): its readyRead would run parseResult() itself.
    for (int i = 0; i < 1000 && !loopback.discoverySocket->hasPendingDatagrams(); ++i)
        QThread::usleep(100);
    FUZZ_CHECK(loopback.discoverySocket->hasPendingDatagrams());
    FUZZ_CHECK(QMetaObject::invokeMethod(&discovery, "parseResult", Qt::DirectConnection));
    FUZZ_CHECK(!loopback.discoverySocket->hasPendingDatagrams());

    const QList<DiscoveryInfo> results = discovery.getResultSet();
    FUZZ_CHECK(results.size() <= PDiscovery::MaxResults);
    if (!results.isEmpty())
        checkInfo(results.constLast());
    return 0;
}
