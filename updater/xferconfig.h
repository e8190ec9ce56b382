#pragma once

#include "downloadablefileinfo.h"

#include <QMetaType>
#include <QString>

// One download job: what to fetch, where to put it, how to check it.
class XferConfig
{
public:
    XferConfig() = default;
    explicit XferConfig(const DownloadableFileInfo &info);

    QString dirPrefix() const;
    QString tmpFilePath() const;
    QString finalFilePath() const;

    DownloadableFileInfo info;
    QString destDir;
    QString tmpFileName;
    bool verifyHashes = true;
};

Q_DECLARE_METATYPE(XferConfig)
