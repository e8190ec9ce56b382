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
    // fileName must be a plain name, exe2Start may name a subfolder but must
    // stay inside it.
    bool hasSafeNames() const;
    // The file is fetched over the web and nothing else: a file: or ftp:
    // address would read local files or reach other services.
    bool hasWebUrl() const;
    static bool isPlainFileName(const QString &name);
    // A relative path with no way out of the directory it is resolved in: no
    // leading separator or drive, no ".." component. Either separator counts.
    static bool isContainedRelativePath(const QString &path);

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
