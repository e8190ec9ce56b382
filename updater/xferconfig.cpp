#include "xferconfig.h"

XferConfig::XferConfig(const DownloadableFileInfo &info)
    : info(info)
    , tmpFileName(info.fileName + QLatin1String(".tmp"))
{
}

QString XferConfig::dirPrefix() const
{
    return destDir.isEmpty() ? QString() : destDir + QLatin1Char('/');
}

QString XferConfig::tmpFilePath() const
{
    return dirPrefix() + tmpFileName;
}

QString XferConfig::finalFilePath() const
{
    return dirPrefix() + info.fileName;
}
