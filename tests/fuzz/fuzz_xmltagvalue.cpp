// Element values read out of an update server document.
#include "fuzzsupport.h"
#include "simplexmlparser.h"
#include "zufwxmltags.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QStringList tags = {
        ZUFW_XML::ZTUPFW,  ZUFW_XML::FileInfoRoot, ZUFW_XML::FileName, ZUFW_XML::FileSize,
        ZUFW_XML::FileIsZipped, ZUFW_XML::AppVersion, ZUFW_XML::URL, ZUFW_XML::MD5,
        ZUFW_XML::SHA1, ZUFW_XML::AppExecutable, ZUFW_XML::API, QStringLiteral("<URL>"),
    };
    FuzzedDataProvider fdp(data, size);
    // The program asks only for fixed names; a fuzzed name is kept to name
    // characters, since the name becomes part of a pattern by design.
    QString tag;
    if (fdp.ConsumeBool()) {
        tag = tags.at(fdp.ConsumeIntegralInRange<int>(0, tags.size() - 1));
    } else {
        const std::string raw = fdp.ConsumeRandomLengthString(12);
        for (const char c : raw) {
            if (QChar::isLetterOrNumber(uchar(c)) || c == '_' || c == '-' || c == '.' || c == ':')
                tag += QLatin1Char(c);
        }
    }
    const int from = fdp.ConsumeIntegralInRange<int>(-2, 4096);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QString xml = QString::fromUtf8(rest.data(), int(rest.size()));

    int openPos = -2;
    int endPos = -2;
    QString name = tag;
    name.remove(QLatin1Char('<')).remove(QLatin1Char('>'));
    const bool selfClosing = SimpleXmlParser::findTag(xml, name, from, &openPos, &endPos);
    FUZZ_CHECK(openPos == -1 || (openPos >= qMax(0, from) && openPos < xml.size()));
    FUZZ_CHECK(endPos == -1 || (openPos >= 0 && endPos > openPos && endPos < xml.size()));
    FUZZ_CHECK(!selfClosing || endPos >= 0);

    const QString value = SimpleXmlParser::getTagValue(xml, tag, from);
    if (!value.isEmpty()) {
        FUZZ_CHECK(openPos >= 0 && !selfClosing);
        FUZZ_CHECK(xml.midRef(endPos + 1).startsWith(value));
        FUZZ_CHECK(xml.midRef(endPos + 1 + value.size()).startsWith(QLatin1String("</") + name + QLatin1Char('>')));
        FUZZ_CHECK(!value.contains(QLatin1String("</") + name + QLatin1Char('>')));
    }
    return 0;
}
