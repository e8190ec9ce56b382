// HEP packets as they arrive over UDP, or as one TCP stream: a packet is
// never read past its end, a record comes from each SIP or log packet that is
// well-formed and keeps within its bounds, and every other packet is counted.
#include "fuzzsupport.h"
#include "hepdecoder.h"
#include "hepreceiver.h"
#include "pbxprotocol.h"

namespace {

void checkRecord(const DiagnosticMessage &m)
{
    bool ok = false;
    const int level = m.verbosity.toInt(&ok);
    FUZZ_CHECK(ok && level >= 0 && level <= 4);
    FUZZ_CHECK(m.timestamp.size() == 23);
    // The first line names the endpoints; the rest is bounded in bytes.
    FUZZ_CHECK(m.message.size() <= HepRecordMaker::MaxMessageBytes + 200);
    for (const QString *member : {&m.linkedId, &m.uniqueId, &m.tenantUuid})
        FUZZ_CHECK(member->size() <= PbxProtocol::MaxLogMemberLength + 3);
    if (!m.uniqueId.isEmpty() && m.uniqueId.size() <= PbxProtocol::MaxLogMemberLength)
        FUZZ_CHECK(m.uniqueId.startsWith(m.linkedId));
}

}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::startQuietApplication("fuzz_hepdecoder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const bool withPassword = fdp.ConsumeBool();
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray bytes(rest.data(), int(rest.size()));

    const QByteArray password = withPassword ? QByteArray("secret") : QByteArray();
    HepPacket packet;
    const HepDecoder::Error error = HepDecoder::decode(bytes.constData(), bytes.size(), &packet, password);
    if (error == HepDecoder::NoError) {
        FUZZ_CHECK(HepDecoder::frameLength(bytes.constData(), bytes.size()) == bytes.size());
        FUZZ_CHECK(packet.payload.size() <= qMax(bytes.size(), int(HepDecoder::MaxInflatedBytes)));
    }

    HepReceiver receiver;
    receiver.setPassword(password);
    receiver.setTenantDomains({{QStringLiteral("alpha.test"), QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21")}});
    QVector<DiagnosticMessage> records;
    QObject::connect(&receiver, &HepReceiver::recordsReady, [&](const QVector<DiagnosticMessage> &batch) { records += batch; });
    receiver.receive(bytes.constData(), bytes.size());
    receiver.flush();
    const HepCounters &c = receiver.counters();
    FUZZ_CHECK(c.sip + c.log + c.other + c.dropped + c.unauthenticated == 1);
    FUZZ_CHECK(records.size() == int(c.sip + c.log));
    FUZZ_CHECK((error == HepDecoder::Unauthenticated) == (c.unauthenticated == 1));
    FUZZ_CHECK((error != HepDecoder::NoError && error != HepDecoder::Unauthenticated) == (c.dropped == 1));
    for (const DiagnosticMessage &m : records)
        checkRecord(m);
    return 0;
}
