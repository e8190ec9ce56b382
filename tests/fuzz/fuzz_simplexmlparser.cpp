// The update server's answer arrives in reads of any size: the parser must
// cut the same documents out of it however it is split, and never crash.
#include "fuzzsupport.h"
#include "simplexmlparser.h"

#include <QStringList>

namespace {

struct Outcome
{
    QStringList queued;
    QStringList delivered;
    int malformed = 0;
    int overflows = 0;
};

// reentrant: the next piece is fed from inside the last notification of a
// document, as a slot that reads on may do. (From an earlier one, the later
// signals of that document would come after those of the documents it cut.)
Outcome run(const QString &root, int maxBufferSize, SimpleXmlParser::NotifyModeEnumType mode,
            const QVector<QString> &pieces, bool reentrant = false)
{
    SimpleXmlParser parser;
    parser.setRootTag(root);
    parser.setMaxBufferSize(maxBufferSize);
    parser.setNotifyMode(mode);
    Outcome out;
    int next = 0;
    auto feedFromSlot = [&] {
        if (reentrant && next < pieces.size())
            parser.parse(pieces.at(next++));
    };
    QObject::connect(&parser, &SimpleXmlParser::parsedMessage, [&](const QString &msg) {
        out.delivered << msg;
        feedFromSlot();
    });
    if (mode == SimpleXmlParser::QueueAndNotify)
        QObject::connect(&parser, &SimpleXmlParser::messageCompleted, feedFromSlot);
    QObject::connect(&parser, &SimpleXmlParser::parseErrorFound, [&out](SimpleXmlParser::ParseErrorEnumType e) {
        if (e == SimpleXmlParser::BufferOverflow)
            ++out.overflows;
        else
            ++out.malformed;
    });
    while (next < pieces.size()) {
        parser.parse(pieces.at(next++));
        while (parser.hasMessages())
            out.queued << parser.takeMessage();
    }
    FUZZ_CHECK(parser.takeMessage().isNull());
    return out;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (FuzzSupport::silenceQtMessages(), true);
    Q_UNUSED(silenced)

    FuzzedDataProvider fdp(data, size);
    const int rootChoice = fdp.ConsumeIntegralInRange<int>(0, 3);
    const bool limited = fdp.ConsumeBool();
    const int maxBufferSize = limited ? fdp.ConsumeIntegralInRange<int>(1, 512) : 0;
    const auto mode = SimpleXmlParser::NotifyModeEnumType(fdp.ConsumeIntegralInRange<int>(0, 3));
    const bool reentrant = fdp.ConsumeBool();
    const QVector<int> cuts = FuzzSupport::takeCuts(fdp);
    QString root;
    switch (rootChoice) {
    case 0: root = QStringLiteral("ZTUPFW"); break;
    case 1: root = QStringLiteral("r"); break;
    case 2: root = QString(); break;
    default: root = QString::fromUtf8(fdp.ConsumeRandomLengthString(8).c_str()); break;
    }
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QString text = QString::fromUtf8(rest.data(), int(rest.size()));

    const QVector<QString> pieces = FuzzSupport::splitAt(text, cuts);
    const Outcome split = run(root, maxBufferSize, mode, pieces, reentrant);

    const QString openTag = QLatin1Char('<') + root + QLatin1Char('>');
    const QString closeTag = QLatin1String("</") + root + QLatin1Char('>');
    const QStringList &documents = mode == SimpleXmlParser::DeliverOnly ? split.delivered : split.queued;
    for (const QString &doc : documents) {
        FUZZ_CHECK(doc.startsWith(openTag));
        FUZZ_CHECK(doc.endsWith(closeTag));
        FUZZ_CHECK(doc.size() >= openTag.size() + closeTag.size());
        FUZZ_CHECK(text.contains(doc));
    }
    if (mode == SimpleXmlParser::QueueAndNotify)
        FUZZ_CHECK(split.delivered.isEmpty());
    if (mode == SimpleXmlParser::DeliverOnly)
        FUZZ_CHECK(split.queued.isEmpty());
    if (mode == SimpleXmlParser::QueueAndDeliver || mode == SimpleXmlParser::QueueNotifyAndDeliver)
        FUZZ_CHECK(split.queued == split.delivered);

    // Without a size limit the way the text was cut must not matter.
    if (!limited) {
        FUZZ_CHECK(split.overflows == 0);
        const Outcome whole = run(root, 0, mode, {text});
        FUZZ_CHECK(whole.queued == split.queued);
        FUZZ_CHECK(whole.delivered == split.delivered);
    }
    return 0;
}
