// The directory stream and writing the archive back.
//
// The whole tree is one chained stream, the member file named "qel_dir", whose own entry is
// kept in the header. Its content is the root folder's stored form, depth first. Writing back
// is always in this order: the directory stream (which may take or free blocks), then the
// changed clusters of the table, then the header, which records the table's counters and the
// directory's entry. Nothing else reaches the disk.

#include "Archive.h"
#include "ArchiveInternal.h"
#include "Entry.h"
#include "File.h"

#include <QDataStream>

namespace Kest::Ar {

using Internal::raise;
using Internal::report;

void Archive::readDirectory()
{
    File stream(this, DirectoryName);
    if (!stream.open(QIODevice::ReadOnly))
        raise(QStringLiteral("readDirectory: cannot open directory"));
    QDataStream in(&stream);
    in >> *root_;
    if (in.status() != QDataStream::Ok)
        raise(QStringLiteral("readDirectory: I/O error"));
}

void Archive::writeDirectory()
{
    File stream(this, DirectoryName);
    if (!stream.open(QIODevice::WriteOnly))
        raise(QStringLiteral("writeDirectory: cannot open directory"));
    QDataStream out(&stream);
    out << *root_;
    if (out.status() != QDataStream::Ok)
        raise(QStringLiteral("writeDirectory: I/O error"));
    // Closing ends the stream's chain, records its entry and writes the table and header;
    // closed here rather than by the destructor so that a failure reaches the caller.
    stream.close();
}

bool Archive::isWritable() const
{
    const QIODevice::OpenMode mode = file_.openMode();
    return mode == QIODevice::WriteOnly || mode == QIODevice::ReadWrite;
}

void Archive::flush(bool withDirectory)
{
    if (isWritable()) {
        if (withDirectory)
            writeDirectory();
        writeBat();
        writeHeader();
    }
    flushFile();
}

bool Archive::writeBack()
{
    if (!isWritable()) {
        report(QStringLiteral("writeBack: %1 is not open for writing").arg(name()));
        return false;
    }
    try {
        flush(true);
        return true;
    } catch (const std::runtime_error& failure) {
        Internal::reportFailure(failure);
        return false;
    }
}

bool Archive::removeFile(const QString& path)
{
    const Target target = resolve(path);
    if (target.isRoot) {
        report(QStringLiteral("removeFile: %1 is not a file").arg(target.name));
        return false;
    }
    if (!target.folder) {
        report(QStringLiteral("removeFile: parent of %1 does not exist").arg(target.name));
        return false;
    }
    Entry* entry = target.folder->child(target.name);
    if (!entry) {
        report(QStringLiteral("removeFile: %1 does not exist").arg(target.name));
        return true;
    }
    if (entry->isFolder()) {
        report(QStringLiteral("removeFile: %1 is not a file").arg(target.name));
        return false;
    }
    auto* file = static_cast<FileEntry*>(entry);
    if (isOpenFile(file)) {
        report(QStringLiteral("removeFile: %1 is open").arg(target.name));
        return false;
    }
    if (!file->isUnallocated()) {
        // The whole chain joins the front of the free list in one step, whatever its length.
        if (isBlock(file->firstBlock()) && isBlock(file->lastBlock()))
            freeBlocks(file->firstBlock(), file->lastBlock());
        else
            report(QStringLiteral("removeFile: the chain of %1 is damaged; its blocks are not "
                                  "freed")
                       .arg(target.name));
    }
    target.folder->removeChild(file);
    flush(true);
    return true;
}

} // namespace Kest::Ar
