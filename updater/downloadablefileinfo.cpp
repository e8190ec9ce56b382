#include "downloadablefileinfo.h"

#include "simplexmlparser.h"
#include "zufwxmltags.h"

#include <QDebug>
#include <QRegularExpression>
#include <QUrl>

DownloadableFileInfo DownloadableFileInfo::fromXml(const QString &xml)
{
    using namespace ZUFW_XML;
    DownloadableFileInfo info;
    info.fileName = SimpleXmlParser::getTagValue(xml, FileName, 0);
    const QString sizeText = SimpleXmlParser::getTagValue(xml, FileSize, 0);
    const QString zippedText = SimpleXmlParser::getTagValue(xml, FileIsZipped, 0);
    info.appVersion = SimpleXmlParser::getTagValue(xml, AppVersion, 0);
    info.url = SimpleXmlParser::getTagValue(xml, URL, 0);
    info.md5 = SimpleXmlParser::getTagValue(xml, MD5, 0);
    info.sha1 = SimpleXmlParser::getTagValue(xml, SHA1, 0);
    info.exe2Start = SimpleXmlParser::getTagValue(xml, AppExecutable, 0);

    info.size = sizeText.toInt();
    info.zipped = zippedText.toLower().trimmed() == QLatin1String("true");
    return info;
}

QString DownloadableFileInfo::toString() const
{
    const auto flag = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };
    QString s;
    s += QLatin1String("Filename:") + fileName + QLatin1Char('\n');
    s += QLatin1String("Zipped:") + flag(zipped) + QLatin1Char('\n');
    s += QLatin1String("Valid:") + flag(valid) + QLatin1Char('\n');
    s += QLatin1String("APP v.:") + appVersion + QLatin1Char('\n');
    s += QLatin1String("URL:") + url + QLatin1Char('\n');
    s += QLatin1String("MD5:") + md5 + QLatin1Char('\n');
    s += QLatin1String("SHA1:") + sha1 + QLatin1Char('\n');
    s += QLatin1String("Size:") + QString::number(size) + QLatin1Char('\n');
    s += QLatin1String("Exe2Start:") + exe2Start + QLatin1Char('\n');
    return s;
}

void DownloadableFileInfo::print() const
{
    qDebug().noquote() << toString();
}

bool DownloadableFileInfo::hasRequiredFields() const
{
    return !fileName.isEmpty() && !url.isEmpty();
}

bool DownloadableFileInfo::hasSafeNames() const
{
    if (!isPlainFileName(fileName))
        return false;
    if (exe2Start.isEmpty())
        return true;
    // Contained, and naming a file: "." or "./" is the folder itself.
    static const QRegularExpression folderItself(QStringLiteral("^[./\\\\]*$"));
    return isContainedRelativePath(exe2Start) && !folderItself.match(exe2Start).hasMatch();
}

bool DownloadableFileInfo::hasWebUrl() const
{
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString scheme = parsed.scheme().toLower();
    return parsed.isValid() && !parsed.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool DownloadableFileInfo::isContainedRelativePath(const QString &path)
{
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (path.isEmpty() || path.contains(QChar(0)) || drive.match(path).hasMatch())
        return false;
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        return false;
    const QStringList parts = path.split(separators);
    return !parts.contains(QStringLiteral(".."));
}

bool DownloadableFileInfo::isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    // Either separator counts, whatever the platform: the name must never
    // reach another directory, nor be cut short by a NUL.
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QChar(0))
            return false;
    }
    return true;
}
