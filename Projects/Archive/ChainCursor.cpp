#include "ChainCursor.h"

#include "AllocationTable.h"
#include "Container.h"
#include "Failure.h"

namespace Kest::Ar {

namespace {
constexpr int EndOfChain = AllocationTable::EndOfChain;
}

ChainCursor::ChainCursor(AllocationTable& table, Container& container, int firstBlock)
    : table_(table), container_(container), first_(firstBlock), block_(firstBlock),
      blockSize_(table.blockSize())
{
}

int ChainCursor::firstBlock() const
{
    return first_;
}

qint64 ChainCursor::pos() const
{
    return index_ * blockSize_ + offset_;
}

int ChainCursor::block() const
{
    return block_;
}

bool ChainCursor::seek(qint64 pos)
{
    if (pos < 0)
        return false;
    qint64 index = pos / blockSize_;
    qint64 offset = pos % blockSize_;
    if (index > 0 && offset == 0) {
        --index;
        offset = blockSize_;
    }
    if (block_ == EndOfChain) {
        // A stream without blocks has only its start.
        return pos == 0;
    }
    if (!walkTo(index))
        return false;
    offset_ = offset;
    return true;
}

// Walks along the chain to its `index`-th block, from the current block when that lies on
// the way, else from the first.
bool ChainCursor::walkTo(qint64 index)
{
    if (index >= table_.blockCount())
        return false;
    int block = block_;
    qint64 at = index_;
    if (index < at) {
        block = first_;
        at = 0;
    }
    for (; at < index; ++at) {
        block = table_.next(block);
        if (!table_.isBlock(block))
            return false;
    }
    block_ = block;
    index_ = index;
    return true;
}

qint64 ChainCursor::room() const
{
    return blockSize_ - offset_;
}

qint64 ChainCursor::read(char* data, qint64 length)
{
    qint64 total = 0;
    while (total < length) {
        if (block_ == EndOfChain || (room() == 0 && !stepForReading()))
            break;
        const qint64 wanted = qMin(length - total, room());
        const qint64 got =
            container_.read(container_.blockOffset(block_) + offset_, data + total, wanted);
        offset_ += got;
        total += got;
        if (got < wanted)
            break; // the file ends inside the chain
    }
    return total;
}

// False at the end of the chain; a link outside the table ends a damaged chain the same way.
bool ChainCursor::stepForReading()
{
    const int next = table_.next(block_);
    if (next == EndOfChain)
        return false;
    if (!table_.isBlock(next)) {
        note(QStringLiteral("readData: damaged chain: block %1 links to %2").arg(block_).arg(next));
        return false;
    }
    block_ = next;
    ++index_;
    offset_ = 0;
    return true;
}

void ChainCursor::write(const char* data, qint64 length)
{
    qint64 total = 0;
    while (total < length) {
        if (block_ == EndOfChain) {
            first_ = block_ = table_.newBlock();
            offset_ = 0;
        } else if (room() == 0) {
            stepForWriting();
        }
        const qint64 count = qMin(length - total, room());
        container_.write(container_.blockOffset(block_) + offset_, data + total, count);
        offset_ += count;
        total += count;
    }
}

// The chain grows by exactly one block when a write needs a byte past its last block.
void ChainCursor::stepForWriting()
{
    int next = table_.next(block_);
    if (next == EndOfChain || next == AllocationTable::Invalid) {
        next = table_.newBlock();
        table_.setNext(block_, next);
    } else if (!table_.isBlock(next)) {
        fail(
            Archive::Error::Corrupt,
            QStringLiteral("writeData: damaged chain: block %1 links to %2").arg(block_).arg(next));
    }
    block_ = next;
    ++index_;
    offset_ = 0;
}

int ChainCursor::endHere()
{
    if (block_ == EndOfChain)
        return EndOfChain;
    if (offset_ > 0 && room() > 0) {
        const QByteArray zeros(qsizetype(room()), '\0');
        container_.write(container_.blockOffset(block_) + offset_, zeros.constData(), zeros.size());
    }
    table_.releaseAfter(block_);
    return block_;
}

} // namespace Kest::Ar
