// The update server's answer, from raw bytes to the file description the
// updater acts on, the way the updater reads it.
#include "downloadablefileinfo.h"
#include "fuzzsupport.h"
#include "simplexmlparser.h"
#include "zufwxmltags.h"

#include <QDir>
#include <QTextCodec>
#include <QTextDecoder>

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (FuzzSupport::silenceQtMessages(), true);
    Q_UNUSED(silenced)

    FuzzedDataProvider fdp(data, size);
    const QVector<int> cuts = FuzzSupport::takeCuts(fdp);
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray answer(rest.data(), int(rest.size()));

    std::unique_ptr<QTextDecoder> decoder(QTextCodec::codecForName("UTF-8")->makeDecoder());
    SimpleXmlParser parser;
    parser.setRootTag(ZUFW_XML::ZTUPFW);
    for (const QByteArray &piece : FuzzSupport::splitAt(answer, cuts)) {
        parser.parse(decoder->toUnicode(piece));
        while (parser.hasMessages()) {
            const QString document = parser.takeMessage();
            if (!document.contains(ZUFW_XML::FileInfoRoot))
                continue;
            DownloadableFileInfo info = DownloadableFileInfo::fromXml(document);
            info.valid = info.hasRequiredFields() && info.hasSafeNames();
            FUZZ_CHECK(!info.toString().isEmpty());
            if (!info.valid)
                continue;
            // A name the updater accepts stays inside the download directory.
            const QString dir = QStringLiteral("/tmp/PLOGGER4Updates");
            const auto inside = [&dir](const QString &name) {
                const QString path = QDir::cleanPath(dir + QLatin1Char('/') + name);
                FUZZ_CHECK(path.startsWith(dir + QLatin1Char('/')));
                return path.mid(dir.size() + 1);
            };
            // The package itself is a plain name; its second stage may sit in a subfolder.
            if (!info.fileName.isEmpty())
                FUZZ_CHECK(!inside(info.fileName).contains(QLatin1Char('/')));
            if (!info.exe2Start.isEmpty())
                inside(info.exe2Start);
        }
    }
    return 0;
}
