// The header stands at offset 0 and is written through a QDataStream (big-endian):
//   signature, format version, application version (major, minor, patch; absent in format
//   version 1), block size, block count, blocks per cluster, free-list head, and the entry of
//   the directory stream (name "qel_dir", size, first block, last block).

#include "Header.h"

#include "Directory.h"
#include "Entry.h"
#include "Failure.h"

#include <QDataStream>

namespace Kest::Ar {

namespace {

bool isValidBlockSize(quint64 blockSize)
{
    return blockSize >= Archive::MinBlockSize && blockSize <= Archive::MaxBlockSize;
}

} // namespace

bool Header::hasSignature(const QByteArray& bytes)
{
    QDataStream in(bytes);
    qint32 signature = 0;
    in >> signature;
    return in.status() == QDataStream::Ok && signature == Signature;
}

Header Header::decode(const QByteArray& bytes)
{
    if (!hasSignature(bytes))
        fail(Archive::Error::Corrupt, QStringLiteral("readHeader: not a QEL Archive"));
    QDataStream in(bytes);
    in.skipRawData(4);
    Header header;
    in >> header.formatVersion;
    if (header.formatVersion >= 2) {
        Archive::Version& v = header.applicationVersion;
        in >> v.major >> v.minor >> v.patch;
    }
    in >> header.blockSize >> header.blocks >> header.blocksPerCluster >> header.firstFree;
    header.headerSize = header.formatVersion <= 3 ? LegacyAreaSize : AreaSize;
    FileEntry directory;
    directory.read(in, header.sizeWidth());
    if (in.status() != QDataStream::Ok)
        fail(Archive::Error::Corrupt, QStringLiteral("readHeader: I/O error"));
    header.directorySize = directory.size();
    header.directoryFirst = directory.firstBlock();
    header.directoryLast = directory.lastBlock();
    const QStringList found = header.problems();
    if (!found.isEmpty())
        fail(Archive::Error::Corrupt, QStringLiteral("readHeader: ") + found.first());
    return header;
}

QByteArray Header::encode() const
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint32(Signature) << qint32(storedVersion()) << qint32(applicationVersion.major)
        << qint32(applicationVersion.minor) << qint32(applicationVersion.patch)
        << quint32(blockSize) << blocks << blocksPerCluster << firstFree;
    FileEntry directory(Directory::streamName());
    directory.setSize(directorySize);
    directory.setFirstBlock(directoryFirst);
    directory.setLastBlock(directoryLast);
    directory.write(out);
    if (bytes.size() < headerSize)
        bytes.append(QByteArray(headerSize - bytes.size(), '\0'));
    return bytes;
}

// The rest of the engine relies on these fields: a damaged header is refused at once rather
// than met later as an index out of range or an allocation of absurd size.
QStringList Header::problems() const
{
    QStringList found;
    const auto isBlock = [this](qint32 b) { return b >= 0 && b < blocks; };
    if (!isValidBlockSize(blockSize))
        found << QStringLiteral("block size %1 is out of range (%2 to %3)")
                     .arg(blockSize)
                     .arg(Archive::MinBlockSize)
                     .arg(Archive::MaxBlockSize);
    else if (blocksPerCluster != qint32(blockSize / 4))
        found << QStringLiteral("%1 blocks per cluster do not match blocks of %2 bytes")
                     .arg(blocksPerCluster)
                     .arg(blockSize);
    if (blocks < 0)
        found << QStringLiteral("negative block count %1").arg(blocks);
    if (firstFree != -1 && !isBlock(firstFree))
        found << QStringLiteral("free-list head %1 is not a block of the archive").arg(firstFree);
    for (qint32 block : {directoryFirst, directoryLast}) {
        if (block != -1 && !isBlock(block))
            found << QStringLiteral("directory block %1 is not a block of the archive").arg(block);
    }
    if (directorySize < 0)
        found << QStringLiteral("negative directory size %1").arg(directorySize);
    return found;
}

int Header::sizeWidth() const
{
    return formatVersion <= 2 ? 4 : 8;
}

int Header::storedVersion() const
{
    return headerSize == LegacyAreaSize ? 3 : CurrentVersion;
}

} // namespace Kest::Ar
