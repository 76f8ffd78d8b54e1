// The archive object, its header and its versions.
//
// The header stands at offset 0 and is written through a QDataStream (big-endian):
//   signature, format version, application version (major, minor, patch; absent in format
//   version 1), block size, block count, blocks per cluster, free-list head, and the file
//   entry of the directory stream (name, size, first block, last block).
// Block 0 begins right after the header area: 256 bytes for format version 4, 64 bytes for
// versions 1 to 3. An archive read in an old version is written back as version 3, which
// keeps the 64-byte area that its blocks follow and says "8-byte sizes".

#include "Archive.h"
#include "ArchiveInternal.h"
#include "Entry.h"

#include <QDataStream>
#include <QFile>
#include <QStringList>

namespace Kest::Ar {

using Internal::raise;
using Internal::report;

const QString Archive::DirectoryName = QStringLiteral("qel_dir");
const QString Archive::RootName = QStringLiteral("qel_root");

// ---- Version and Position -----------------------------------------------------------------

Archive::Version::Version(int major, int minor, int patch)
    : major(major), minor(minor), patch(patch)
{
}

// "1.2.3" gives 1.2.3, "1.2" gives 1.2.0, "7" gives 7.0.0; four or more parts give 0.0.0.
// A part that is not a number gives 0 for its own field only.
Archive::Version::Version(const QString& text) : major(0), minor(0), patch(0)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 3)
        return;
    int* fields[] = {&major, &minor, &patch};
    for (int i = 0; i < parts.size(); ++i)
        *fields[i] = parts[i].toInt(nullptr, 10);
}

Archive::Position::Position() : block(0), offset(0)
{
}

Archive::Position::Position(int block, qint64 offset) : block(block), offset(offset)
{
}

// ---- Construction and accessors -----------------------------------------------------------

Archive::Archive(const QString& name, unsigned int blockSize)
    : file_(name), version_(CurrentVersion), blockSize_(blockSize), headerSize_(DefaultHeaderSize),
      nBlocks_(0), nBlocksPerCluster_(int(blockSize >> 2)), firstFreeBlock_(-1),
      current_(-1, blockSize), directory_(new FileEntry(DirectoryName)),
      root_(new FolderEntry(RootName)), currentFolder_(root_), constructedBlockSize_(blockSize)
{
}

unsigned int Archive::blockSize() const
{
    return blockSize_;
}

Archive::Version Archive::applicationVersion() const
{
    return applicationVersion_;
}

void Archive::setApplicationVersion(const Version& v)
{
    applicationVersion_ = v;
}

int Archive::mode() const
{
    return int(file_.openMode());
}

QString Archive::name() const
{
    return file_.fileName();
}

QFile& Archive::getFile()
{
    return file_;
}

void Archive::setFile(const QString& name)
{
    file_.setFileName(name);
}

int Archive::formatVersion() const
{
    return version_;
}

bool Archive::isValidBlockSize(quint64 blockSize)
{
    return blockSize >= MinBlockSize && blockSize <= MaxBlockSize;
}

bool Archive::isArchive(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        report(QStringLiteral("Cannot open %1").arg(path));
        return false;
    }
    qint32 signature = 0;
    QDataStream(&file) >> signature;
    return signature == ArchiveSignature;
}

// ---- Header -------------------------------------------------------------------------------

void Archive::readHeader()
{
    file_.seek(0);
    QDataStream in(&file_);
    qint32 signature = 0;
    in >> signature;
    if (signature != ArchiveSignature)
        raise(QStringLiteral("readHeader: not a QEL Archive"));
    in >> version_;
    if (version_ >= 2)
        in >> applicationVersion_.major >> applicationVersion_.minor >> applicationVersion_.patch;
    quint32 storedBlockSize = 0;
    in >> storedBlockSize >> nBlocks_ >> nBlocksPerCluster_ >> firstFreeBlock_;
    blockSize_ = storedBlockSize;
    FileEntry::setSizeWidth(version_ <= 2 ? 4 : 8);
    directory_->read(in);
    if (version_ <= 3)
        headerSize_ = LegacyHeaderSize;
    if (in.status() != QDataStream::Ok)
        raise(QStringLiteral("readHeader: I/O error"));
    checkHeaderFields();
}

// The rest of the library relies on these fields: a damaged header is refused here rather
// than met later as an out-of-range index or an allocation of absurd size.
void Archive::checkHeaderFields() const
{
    if (!isValidBlockSize(blockSize_))
        raise(QStringLiteral("readHeader: block size %1 is out of range").arg(blockSize_));
    if (nBlocksPerCluster_ != int(blockSize_ / 4))
        raise(QStringLiteral("readHeader: %1 blocks per cluster do not match blocks of %2 bytes")
                  .arg(nBlocksPerCluster_)
                  .arg(blockSize_));
    if (nBlocks_ < 0)
        raise(QStringLiteral("readHeader: negative block count %1").arg(nBlocks_));
    if (firstFreeBlock_ != -1 && !isBlock(firstFreeBlock_))
        raise(QStringLiteral("readHeader: free-list head %1 is not a block of the archive")
                  .arg(firstFreeBlock_));
    for (int block : {directory_->firstBlock(), directory_->lastBlock()}) {
        if (block != -1 && !isBlock(block))
            raise(QStringLiteral("readHeader: directory block %1 is not a block of the archive")
                      .arg(block));
    }
    if (directory_->size() < 0)
        raise(QStringLiteral("readHeader: negative directory size %1").arg(directory_->size()));
}

// The version written always agrees with the header area that the blocks follow.
int Archive::storedFormatVersion() const
{
    return headerSize_ == LegacyHeaderSize ? 3 : CurrentVersion;
}

void Archive::writeHeader()
{
    QByteArray bytes(int(headerSize_), '\0');
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint32(ArchiveSignature) << qint32(storedFormatVersion())
        << qint32(applicationVersion_.major) << qint32(applicationVersion_.minor)
        << qint32(applicationVersion_.patch) << quint32(blockSize_) << qint32(nBlocks_)
        << qint32(nBlocksPerCluster_) << qint32(firstFreeBlock_);
    directory_->write(out);
    moveFile(0);
    if (writeFile(bytes.constData(), bytes.size()) == -1)
        raise(QStringLiteral("writeHeader: I/O error"));
}

} // namespace Kest::Ar
