#pragma once

#include <QMetaType>
#include <QString>

// The description of one downloadable update file, as the server gives it.
class DownloadableFileInfo
{
public:
    static DownloadableFileInfo fromXml(const QString &xml);

    QString toString() const;
    void print() const;

    // Both the name and the address are needed to fetch a file.
    bool hasRequiredFields() const;
    // fileName and exe2Start become paths under the download directory:
    // they must be plain names that stay inside it.
    bool hasSafeNames() const;
    static bool isPlainFileName(const QString &name);

    bool valid = false;
    QString fileName;
    QString url;
    QString md5;
    QString sha1;
    qint64 size = 0;
    bool zipped = false;
    QString appVersion;
    QString exe2Start;
};

Q_DECLARE_METATYPE(DownloadableFileInfo)
