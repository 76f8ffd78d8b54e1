// Block addressing and chain I/O.
//
// Block b begins at file offset headerSize + b * blockSize; blocks are numbered over the
// whole file, table blocks included. The archive has one current position (block, offset);
// an offset equal to the block size is the end of that block, from where the next transfer
// first moves on along the chain. A transfer never crosses a block boundary.
//
// Every byte between the archive and its container passes through the few primitives at
// the end of this file (moveFile, readFile, writeFile, flushFile, fileSize, truncateFile),
// so that accounting, journalling or caching can be added in one place.

#include "Archive.h"
#include "ArchiveInternal.h"

#include <QDebug>

namespace Kest::Ar {

using Internal::raise;
using Internal::reportFailure;

namespace {

// Moves `len` bytes in steps that never cross a block boundary: the first step finishes the
// current block, every further step covers at most one whole block. Stops early when a step
// moves fewer bytes than it was asked for.
template <typename Pointer, typename Step>
qint64 stepThroughBlocks(Pointer data, qint64 len, qint64 offsetInBlock, qint64 blockSize,
                         Step step)
{
    qint64 total = 0;
    qint64 room = offsetInBlock < blockSize ? blockSize - offsetInBlock : blockSize;
    while (len > 0) {
        const qint64 wanted = qMin(len, room);
        const qint64 moved = step(data, wanted);
        total += moved;
        if (moved != wanted)
            break;
        data += moved;
        len -= moved;
        room = blockSize;
    }
    return total;
}

// The chain reader and writer report every internal failure as -1.
template <typename Transfer> qint64 reportingFailureAsMinusOne(Transfer transfer)
{
    try {
        return transfer();
    } catch (const std::runtime_error& failure) {
        reportFailure(failure);
        return -1;
    }
}

} // namespace

// ---- Addressing ---------------------------------------------------------------------------

Archive::Position Archive::currentPosition() const
{
    return current_;
}

qint64 Archive::offset(Position p) const
{
    return qint64(headerSize_) + qint64(p.block) * qint64(blockSize_) + p.offset;
}

Archive::Position Archive::position(qint64 pos) const
{
    const qint64 relative = pos - qint64(headerSize_);
    return Position(int(relative / qint64(blockSize_)), relative % qint64(blockSize_));
}

void Archive::toPosition(const Position& p)
{
    if (!moveFile(offset(p)))
        raise(QStringLiteral("toBlock: cannot move file to block %1 at offset %2")
                  .arg(p.block)
                  .arg(p.offset));
    current_ = p;
}

void Archive::toPosition(int block)
{
    toPosition(Position(block, 0));
}

// ---- Chain I/O ----------------------------------------------------------------------------

qint64 Archive::readData(char* data, qint64 maxlen)
{
    return reportingFailureAsMinusOne([&] {
        return stepThroughBlocks(data, maxlen, current_.offset, blockSize_,
                                 [this](char* p, qint64 n) { return readWithinBlock(p, n); });
    });
}

qint64 Archive::writeData(const char* data, qint64 len)
{
    return reportingFailureAsMinusOne([&] {
        return stepThroughBlocks(
            data, len, current_.offset, blockSize_,
            [this](const char* p, qint64 n) { return writeWithinBlock(p, n); });
    });
}

qint64 Archive::readWithinBlock(char* data, qint64 maxlen)
{
    Q_ASSERT_X(current_.offset + maxlen <= blockSize_ ||
                   (current_.offset == blockSize_ && maxlen <= blockSize_),
               "readWithinBlock",
               "current_.offset + maxlen <= blockSize_ || current_.offset == blockSize_ && "
               "maxlen <= blockSize_");
    if (current_.offset == blockSize_ && !moveToNextBlockForReading())
        return 0;
    const qint64 count = doReadBlock(data, maxlen);
    current_.offset += count;
    return count;
}

qint64 Archive::writeWithinBlock(const char* data, qint64 len)
{
    Q_ASSERT_X(current_.offset + len <= blockSize_ ||
                   (current_.offset == blockSize_ && len <= blockSize_),
               "writeWithinBlock",
               "current_.offset + len <= blockSize_ || current_.offset == blockSize_ && len <= "
               "blockSize_");
    if (current_.offset == blockSize_)
        moveToNextBlockForWriting();
    const qint64 count = doWriteBlock(data, len);
    current_.offset += count;
    return count;
}

// False at the end of the chain; a link outside the table ends a damaged chain the same way.
bool Archive::moveToNextBlockForReading()
{
    const int next = nextBlock(current_.block);
    if (next == END_OF_CHAIN)
        return false;
    if (!isBlock(next)) {
        qDebug("readData: damaged chain: block %d links to %d", current_.block, next);
        return false;
    }
    toPosition(Position(next, 0));
    return true;
}

// The chain grows by exactly one block when a write needs a byte past its last block.
void Archive::moveToNextBlockForWriting()
{
    int next = nextBlock(current_.block);
    if (next == END_OF_CHAIN || next == INVALID) {
        next = newBlock();
        setNextBlock(current_.block, next);
    } else if (!isBlock(next)) {
        raise(QStringLiteral("writeData: damaged chain: block %1 links to %2")
                  .arg(current_.block)
                  .arg(next));
    }
    toPosition(Position(next, 0));
}

void Archive::fillCurrentBlock()
{
    if (current_.offset == 0 || current_.offset == blockSize_)
        return;
    const qint64 missing = qint64(blockSize_) - current_.offset;
    const QByteArray zeros(qsizetype(missing), '\0');
    if (writeWithinBlock(zeros.constData(), missing) != missing)
        raise(QStringLiteral("fillCurrentBlock: not able to fill all of block"));
}

bool Archive::atLastBlock() const
{
    return current_.block == nBlocks_ - 1;
}

// ---- The container primitives -------------------------------------------------------------

qint64 Archive::doReadBlock(char* data, qint64 len)
{
    const qint64 count = readFile(data, len);
    if (count == -1)
        raise(QStringLiteral("doReadBlock: I/O error"));
    return count;
}

qint64 Archive::doWriteBlock(const char* data, qint64 len)
{
    const qint64 count = writeFile(data, len);
    if (count == -1)
        raise(QStringLiteral("doWriteBlock: I/O error"));
    return count;
}

bool Archive::moveFile(qint64 fileOffset)
{
    return fileOffset >= 0 && file_.isOpen() && file_.seek(fileOffset);
}

qint64 Archive::readFile(char* data, qint64 len)
{
    if (!(file_.openMode() & QIODevice::ReadOnly))
        return -1;
    return file_.read(data, len);
}

qint64 Archive::writeFile(const char* data, qint64 len)
{
    if (!(file_.openMode() & QIODevice::WriteOnly))
        return -1;
    return file_.write(data, len);
}

void Archive::flushFile()
{
    if (file_.isOpen())
        file_.flush();
}

qint64 Archive::fileSize() const
{
    return file_.size();
}

void Archive::truncateFile(qint64 size)
{
    if (file_.isOpen())
        file_.resize(size);
}

} // namespace Kest::Ar
