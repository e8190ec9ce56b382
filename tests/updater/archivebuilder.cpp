#include "archivebuilder.h"

#include <QFile>

#include <archive.h>
#include <archive_entry.h>

void ArchiveBuilder::addFile(const QByteArray &path, const QByteArray &data, int mode)
{
    entries.append({Entry::File, path, QByteArray(), data, mode});
}

void ArchiveBuilder::addDirectory(const QByteArray &path)
{
    entries.append({Entry::Directory, path, QByteArray(), QByteArray(), 0755});
}

void ArchiveBuilder::addSymlink(const QByteArray &path, const QByteArray &target)
{
    entries.append({Entry::Symlink, path, target, QByteArray(), 0777});
}

void ArchiveBuilder::addHardlink(const QByteArray &path, const QByteArray &target, const QByteArray &data)
{
    entries.append({Entry::Hardlink, path, target, data, 0644});
}

bool ArchiveBuilder::write(const QString &fileName) const
{
    struct archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_pax_restricted(a);
    bool ok = archive_write_open_filename(a, QFile::encodeName(fileName).constData()) == ARCHIVE_OK;
    for (const Entry &e : entries) {
        if (!ok)
            break;
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.constData());
        archive_entry_set_perm(entry, mode_t(e.mode));
        archive_entry_set_mtime(entry, 1700000000, 0);
        switch (e.kind) {
        case Entry::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, e.data.size());
            break;
        case Entry::Directory:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case Entry::Symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.target.constData());
            break;
        case Entry::Hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.target.constData());
            archive_entry_set_size(entry, e.data.size());
            break;
        }
        ok = archive_write_header(a, entry) == ARCHIVE_OK;
        // Some formats store no data for a hard link; the writer then takes none.
        if (ok && !e.data.isEmpty()) {
            const la_ssize_t n = archive_write_data(a, e.data.constData(), size_t(e.data.size()));
            ok = e.kind == Entry::Hardlink ? n >= 0 : n == e.data.size();
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok;
}
