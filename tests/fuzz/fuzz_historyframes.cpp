// The history frames both ends read: the exchange's reader of a client's
// "history-calls" and "history-rows", and the client's reader of the calls
// in an answer. Bytes through the frame codec first, as they arrive.
#include "fuzzsupport.h"
#include "historycall.h"
#include "historyrequest.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"

#include <QJsonArray>

namespace {

void checkRequest(const QJsonObject &frame)
{
    HistoryRequest request;
    QString error;
    QString id;
    if (!HistoryRequest::fromJson(frame, &request, &error, &id)) {
        FUZZ_CHECK(!error.isEmpty());
        // A refusal names the request only by an id the client sent as text.
        FUZZ_CHECK(id.isEmpty() || id == frame.value(QLatin1String("id")).toString());
        return;
    }
    FUZZ_CHECK(error.isEmpty() && id == request.id);
    FUZZ_CHECK(!request.id.isEmpty() && request.id.size() <= HistoryRequest::MaxIdLength);
    FUZZ_CHECK(request.limit >= 1 && request.limit <= HistoryRequest::MaxLimit);
    FUZZ_CHECK(request.query.size() <= HistoryRequest::MaxQueryLength);
    FUZZ_CHECK(request.from.isEmpty() || HistoryRequest::isTimeText(request.from));
    FUZZ_CHECK(request.to.isEmpty() || HistoryRequest::isTimeText(request.to));
    FUZZ_CHECK(request.kind != HistoryRequest::Kind::Rows
               || (!request.callId.isEmpty() && request.callId.size() <= HistoryRequest::MaxCallIdLength));
    // What the client writes, the exchange reads the same.
    HistoryRequest again;
    FUZZ_CHECK(HistoryRequest::fromJson(request.toJson(), &again, &error));
    FUZZ_CHECK(again.kind == request.kind && again.id == request.id && again.query == request.query
               && again.from == request.from && again.to == request.to && again.tenant == request.tenant
               && again.anyTenant == request.anyTenant && again.limit == request.limit
               && again.callId == request.callId);
}

void checkCalls(const QJsonObject &frame)
{
    const QJsonArray calls = frame.value(QLatin1String("calls")).toArray();
    for (const QJsonValue &value : calls) {
        HistoryCall call;
        if (!HistoryCall::fromJson(value.toObject(), &call))
            continue;
        for (const QString *text : {&call.callId, &call.start, &call.end, &call.from, &call.to, &call.tenant})
            FUZZ_CHECK(text->size() <= PbxProtocol::MaxLogMemberLength + 3);
        FUZZ_CHECK(call.rows >= 0);
        HistoryCall again;
        FUZZ_CHECK(HistoryCall::fromJson(call.toJson(), &again));
        FUZZ_CHECK(again.callId == call.callId && again.start == call.start && again.end == call.end
                   && again.from == call.from && again.to == call.to && again.code == call.code
                   && again.tenant == call.tenant && again.rows == call.rows);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const QVector<int> cuts = FuzzSupport::takeCuts(fdp);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    PbxFrameCodec codec;
    for (const QByteArray &piece : FuzzSupport::splitAt(QByteArray(rest.data(), int(rest.size())), cuts)) {
        if (!codec.feed(piece))
            return 0;
        QJsonObject frame;
        QString error;
        PbxFrameCodec::Result result;
        while ((result = codec.next(&frame, &error)) != PbxFrameCodec::Result::NeedMore) {
            if (result == PbxFrameCodec::Result::Overflow)
                return 0;
            if (result != PbxFrameCodec::Result::Frame)
                continue;
            checkRequest(frame);
            checkCalls(frame);
        }
    }
    return 0;
}
