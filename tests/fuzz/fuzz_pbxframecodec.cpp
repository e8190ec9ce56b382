// The client's side of the link: bytes from the exchange, cut into reads of
// any size, through the frame codec and the record readers the session uses.
#include "fuzzsupport.h"
#include "loggerverbosity.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"

#include <QJsonArray>
#include <QList>

namespace {

using Result = PbxFrameCodec::Result;

struct Step
{
    Result result;
    QJsonObject frame;
    bool operator==(const Step &o) const { return result == o.result && frame == o.frame; }
};

QList<Step> decodeAll(const QVector<QByteArray> &pieces, int maxFrameSize, bool *overflowed)
{
    PbxFrameCodec codec(maxFrameSize);
    QList<Step> steps;
    *overflowed = false;
    for (const QByteArray &piece : pieces) {
        if (!codec.feed(piece)) {
            *overflowed = true;
            FUZZ_CHECK(codec.hasOverflowed());
            FUZZ_CHECK(codec.bufferedBytes() == 0);
            return steps;
        }
        for (;;) {
            Step step{Result::NeedMore, {}};
            QString error;
            step.result = codec.next(&step.frame, &error);
            if (step.result == Result::NeedMore)
                break;
            FUZZ_CHECK((step.result == Result::Frame) == error.isEmpty());
            if (step.result == Result::Overflow) {
                *overflowed = true;
                return steps;
            }
            steps.append(step);
        }
        FUZZ_CHECK(codec.bufferedBytes() <= maxFrameSize);
    }
    return steps;
}

// Whatever a record reader accepts, the writer of the other end writes back
// to a frame that reads the same.
void checkDiagnosticMessage(const QJsonObject &frame)
{
    DiagnosticMessage m;
    if (!PbxProtocol::diagnosticMessageFromJson(frame, &m))
        return;
    DiagnosticMessage again;
    FUZZ_CHECK(PbxProtocol::diagnosticMessageFromJson(PbxProtocol::diagnosticMessageToJson(m), &again));
    FUZZ_CHECK(again.tenantUuid == m.tenantUuid && again.linkedId == m.linkedId && again.uniqueId == m.uniqueId
               && again.messageId == m.messageId && again.timestamp == m.timestamp
               && again.verbosity == m.verbosity && again.message == m.message
               && again.extraFields == m.extraFields);
    // The exchange's direct writer says the same as the JSON object's way.
    PbxFrameCodec direct;
    QJsonObject written;
    FUZZ_CHECK(direct.feed(PbxProtocol::encodeLogFrame(m)) && direct.next(&written) == PbxFrameCodec::Result::Frame);
    FUZZ_CHECK(written == PbxProtocol::diagnosticMessageToJson(m));
    // The window shows the level by name and filters by the number read back;
    // an exchange's is always one a threshold can show.
    const int level = m.verbosity.toInt();
    FUZZ_CHECK(level >= 0 && level <= 4);
    FUZZ_CHECK(LOGGER::verbosityStringToInt(LOGGER::verbosityIntToString(level)) == level);
    LOGGER::verbosityStringToInt(m.message);
}

void checkCommandResponse(const QJsonObject &frame)
{
    ServerCommandResponse r;
    if (!PbxProtocol::commandResponseFromJson(frame, &r))
        return;
    ServerCommandResponse again;
    FUZZ_CHECK(PbxProtocol::commandResponseFromJson(PbxProtocol::commandResponseToJson(r), &again));
    FUZZ_CHECK(again.commandId == r.commandId && again.command == r.command && again.executed == r.executed
               && again.code == r.code && again.detail == r.detail && again.output == r.output
               && again.timestamp == r.timestamp);
}

void checkLoginDetails(const QJsonObject &frame)
{
    LoginDetails d;
    if (!PbxProtocol::loginDetailsFromJson(frame, &d))
        return;
    LoginDetails again;
    FUZZ_CHECK(PbxProtocol::loginDetailsFromJson(PbxProtocol::loginDetailsToJson(d), &again));
    FUZZ_CHECK(again.user == d.user && again.domain == d.domain && again.serverName == d.serverName
               && again.serverVersion == d.serverVersion && again.apiVersion == d.apiVersion
               && again.sessionId == d.sessionId && again.clientAddress == d.clientAddress
               && again.loginTime == d.loginTime && again.features == d.features
               && again.extension == d.extension && again.displayName == d.displayName
               && again.language == d.language && again.timezone == d.timezone);
}

// The readers the session applies to greetings, tenant lists and features.
void readOtherFields(const QJsonObject &frame)
{
    bool ok = true;
    PbxProtocol::optString(frame, QStringLiteral("nonce"), &ok);
    PbxProtocol::optInt(frame, QStringLiteral("protocol"), PbxProtocol::ProtocolVersion, &ok);
    PbxProtocol::optString(frame, QStringLiteral("reason"), &ok);
    PbxProtocol::optStringList(frame, QStringLiteral("features"), &ok);
    const QJsonArray tenants = frame.value(QLatin1String("tenants")).toArray();
    for (const QJsonValue &entry : tenants) {
        const QJsonObject o = entry.toObject();
        bool entryOk = true;
        PbxProtocol::optString(o, QStringLiteral("uuid"), &entryOk);
        PbxProtocol::optString(o, QStringLiteral("name"), &entryOk);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const int maxFrameSize = fdp.ConsumeBool() ? PbxFrameCodec::DefaultMaxFrameSize
                                               : fdp.ConsumeIntegralInRange<int>(1, 300);
    const QVector<int> cuts = FuzzSupport::takeCuts(fdp);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray bytes(rest.data(), int(rest.size()));

    bool splitOverflow = false;
    const QList<Step> steps = decodeAll(FuzzSupport::splitAt(bytes, cuts), maxFrameSize, &splitOverflow);
    for (const Step &step : steps) {
        if (step.result != Result::Frame)
            continue;
        const QJsonObject &frame = step.frame;
        PbxProtocol::frameType(frame);
        checkDiagnosticMessage(frame);
        checkCommandResponse(frame);
        checkLoginDetails(frame);
        readOtherFields(frame);

        // A frame the codec read, written again, reads back as a frame that
        // is written the same. (Not compared as objects: Qt keeps integers
        // beyond 2^53 exactly but writes them as doubles.)
        const QByteArray line = PbxFrameCodec::encode(frame, maxFrameSize);
        if (line.isEmpty())
            continue;
        FUZZ_CHECK(line.endsWith('\n') && line.count('\n') == 1);
        PbxFrameCodec codec(maxFrameSize);
        FUZZ_CHECK(codec.feed(line));
        QJsonObject again;
        FUZZ_CHECK(codec.next(&again) == Result::Frame);
        FUZZ_CHECK(PbxFrameCodec::encode(again, maxFrameSize) == line);
    }

    // Short of the size limit, how the bytes were cut must not matter.
    bool wholeOverflow = false;
    const QList<Step> whole = decodeAll({bytes}, maxFrameSize, &wholeOverflow);
    if (!splitOverflow && !wholeOverflow)
        FUZZ_CHECK(whole == steps);
    return 0;
}
