#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Writes gzip-compressed tar archives with libarchive, including entries a
// well-behaved packer would never write.
class ArchiveBuilder
{
public:
    void addFile(const QByteArray &path, const QByteArray &data, int mode = 0644);
    void addDirectory(const QByteArray &path);
    void addSymlink(const QByteArray &path, const QByteArray &target);
    void addHardlink(const QByteArray &path, const QByteArray &target, const QByteArray &data = QByteArray());

    bool write(const QString &fileName) const;

private:
    struct Entry {
        enum Kind { File, Directory, Symlink, Hardlink } kind;
        QByteArray path;
        QByteArray target;
        QByteArray data;
        int mode;
    };
    QList<Entry> entries;
};
