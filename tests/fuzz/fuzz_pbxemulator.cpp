// The demo exchange's side of the link: client bytes through the frame codec,
// the login and command readers, and the canned command runner. Every answer
// it writes must be one the client reads back unchanged.
#include "fuzzsupport.h"
#include "pbxemulatorbackend.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "scram.h"

namespace {

void readLogin(const QJsonObject &frame)
{
    bool ok = true;
    PbxProtocol::optString(frame, QStringLiteral("domain"), &ok);
    PbxProtocol::optInt(frame, QStringLiteral("mode"), 0, &ok);
    frame.value(QLatin1String("client")).toObject().value(QLatin1String("name")).toString();
    const QByteArray message = PbxProtocol::optString(frame, QStringLiteral("scram"), &ok).toUtf8();
    Scram::Attributes attributes;
    if (!Scram::parseAttributes(message.mid(3), &attributes))
        return;
    FUZZ_CHECK(!attributes.isEmpty() && attributes.size() <= Scram::MaxMessageLength / 2);
    // A user name read from the wire writes back as it came.
    QByteArray name;
    QString user;
    if (Scram::attributeAt(attributes, 0, 'n', &name) && Scram::unescapeName(name, &user)
        && QString::fromUtf8(name).toUtf8() == name)
        FUZZ_CHECK(Scram::escapeName(user) == name);
    const QByteArray expected = Scram::hmac(QByteArrayLiteral("key"), name);
    FUZZ_CHECK(Scram::equal(name, expected) == (name == expected));
}

void runCommand(const QJsonObject &frame)
{
    ServerCommand command;
    if (!PbxProtocol::serverCommandFromJson(frame, &command))
        return;
    // What the client sends reads back as sent.
    ServerCommand again;
    FUZZ_CHECK(PbxProtocol::serverCommandFromJson(PbxProtocol::serverCommandToJson(command), &again));
    FUZZ_CHECK(again.id == command.id && again.command == command.command && again.params == command.params);

    ServerCommandResponse response;
    response.commandId = command.id;
    response.command = command.command;
    PbxEmulatorBackend::answer(command.command, command.params, &response.executed, &response.code,
                                   &response.detail, &response.output);
    FUZZ_CHECK(response.executed == (response.code != 127));

    const QByteArray line = PbxFrameCodec::encode(PbxProtocol::commandResponseToJson(response));
    FUZZ_CHECK(!line.isEmpty());
    PbxFrameCodec client;
    FUZZ_CHECK(client.feed(line));
    QJsonObject answer;
    FUZZ_CHECK(client.next(&answer) == PbxFrameCodec::Result::Frame);
    ServerCommandResponse read;
    FUZZ_CHECK(PbxProtocol::commandResponseFromJson(answer, &read));
    FUZZ_CHECK(read.commandId == response.commandId && read.command == response.command
               && read.executed == response.executed && read.code == response.code
               && read.detail == response.detail && read.output == response.output);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (FuzzSupport::silenceQtMessages(), true);
    Q_UNUSED(silenced)

    FuzzedDataProvider fdp(data, size);
    const QVector<int> cuts = FuzzSupport::takeCuts(fdp);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray bytes(rest.data(), int(rest.size()));

    PbxFrameCodec codec;
    for (const QByteArray &piece : FuzzSupport::splitAt(bytes, cuts)) {
        FUZZ_CHECK(codec.feed(piece));
        for (;;) {
            QJsonObject frame;
            const PbxFrameCodec::Result result = codec.next(&frame);
            if (result == PbxFrameCodec::Result::NeedMore)
                break;
            FUZZ_CHECK(result != PbxFrameCodec::Result::Overflow);
            if (result != PbxFrameCodec::Result::Frame)
                continue;
            const QString type = PbxProtocol::frameType(frame);
            if (type == PbxProtocol::TypeLogin)
                readLogin(frame);
            else if (type == PbxProtocol::TypeCommand)
                runCommand(frame);
            else if (type == PbxProtocol::TypeSubscribe) {
                bool ok = true;
                PbxProtocol::optString(frame, QStringLiteral("tenant"), &ok);
            }
        }
    }
    return 0;
}
