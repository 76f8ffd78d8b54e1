#include "ChainCursor.h"

#include "AllocationTable.h"
#include "Container.h"
#include "Failure.h"

#include <algorithm>

namespace Kest::Ar {

namespace {
constexpr int EndOfChain = AllocationTable::EndOfChain;
constexpr int Invalid = AllocationTable::Invalid;
} // namespace

ChainCursor::ChainCursor(AllocationTable& table, Container& container, int firstBlock)
    : table_(table), container_(container), blockSize_(table.blockSize()), block_(EndOfChain)
{
    if (firstBlock != EndOfChain) {
        runs_.append(Run{0, firstBlock, 1});
        block_ = firstBlock;
    }
}

int ChainCursor::firstBlock() const
{
    return runs_.isEmpty() ? EndOfChain : runs_.first().block;
}

qint64 ChainCursor::pos() const
{
    return index_ * blockSize_ + offset_;
}

int ChainCursor::block() const
{
    return block_;
}

QList<QPair<int, int>> ChainCursor::knownRuns() const
{
    QList<QPair<int, int>> runs;
    for (const Run& run : runs_)
        runs.append({run.block, run.length});
    return runs;
}

qint64 ChainCursor::mappedLength() const
{
    return runs_.isEmpty() ? 0 : runs_.last().index + runs_.last().length;
}

const ChainCursor::Run& ChainCursor::runOf(qint64 index) const
{
    const auto after = std::upper_bound(runs_.cbegin(), runs_.cend(), index,
                                        [](qint64 i, const Run& run) { return i < run.index; });
    return *(after - 1);
}

void ChainCursor::appendToMap(int block)
{
    Run& last = runs_.last();
    if (block == last.block + last.length)
        ++last.length;
    else
        runs_.append(Run{last.index + last.length, block, 1});
}

// Walks on from the last block mapped until `index` is mapped or the chain ends. Bounded by
// the block count, so that a cycle ends the walk as damage.
bool ChainCursor::extendMap(qint64 index)
{
    while (mappedLength() <= index && !mapComplete_) {
        const Run& last = runs_.last();
        const int lastBlock = last.block + last.length - 1;
        const int next = table_.next(lastBlock);
        if (next == EndOfChain || next == Invalid || mappedLength() >= table_.blockCount()) {
            mapComplete_ = true;
        } else if (!table_.isBlock(next)) {
            note(QStringLiteral("readData: damaged chain: block %1 links to %2")
                     .arg(lastBlock)
                     .arg(next));
            mapComplete_ = true;
        } else {
            appendToMap(next);
        }
    }
    return index < mappedLength();
}

int ChainCursor::blockAt(qint64 index)
{
    if (runs_.isEmpty() || index < 0 || !extendMap(index))
        return Invalid;
    const Run& run = runOf(index);
    return run.block + int(index - run.index);
}

bool ChainCursor::seek(qint64 pos)
{
    if (pos < 0)
        return false;
    if (runs_.isEmpty())
        return pos == 0; // a stream without blocks has only its start
    const qint64 index = pos == 0 ? 0 : (pos - 1) / blockSize_;
    if (blockAt(index) == Invalid)
        return false;
    moveTo(pos);
    return true;
}

// The position of byte `pos`, whose block is known to be mapped.
void ChainCursor::moveTo(qint64 pos)
{
    index_ = pos == 0 ? 0 : (pos - 1) / blockSize_;
    offset_ = pos - index_ * blockSize_;
    const Run& run = runOf(index_);
    block_ = run.block + int(index_ - run.index);
}

// At the end of a block whose successor is mapped: transfers go on at the successor's start.
void ChainCursor::enterNextBlock()
{
    ++index_;
    offset_ = 0;
    block_ = blockAt(index_);
}

qint64 ChainCursor::contiguous() const
{
    const Run& run = runOf(index_);
    return (run.index + run.length - index_) * blockSize_ - offset_;
}

qint64 ChainCursor::read(char* data, qint64 length)
{
    if (length > 0 && !runs_.isEmpty())
        extendMap((pos() + length - 1) / blockSize_); // so that each run goes in one call
    qint64 total = 0;
    while (total < length && !runs_.isEmpty()) {
        if (offset_ == blockSize_) {
            if (blockAt(index_ + 1) == Invalid)
                break;
            enterNextBlock();
        }
        const qint64 wanted = qMin(length - total, contiguous());
        const qint64 got =
            container_.read(container_.blockOffset(block_) + offset_, data + total, wanted);
        total += got;
        moveTo(pos() + got);
        if (got < wanted)
            break; // the file ends inside the chain
    }
    return total;
}

// The chain grows by exactly the blocks that the bytes need, each linked to the one before.
void ChainCursor::growTo(qint64 index)
{
    if (runs_.isEmpty()) {
        block_ = table_.newBlock();
        runs_.append(Run{0, block_, 1});
        mapComplete_ = true;
    }
    if (blockAt(index) != Invalid)
        return;
    const Run& last = runs_.last();
    const int lastBlock = last.block + last.length - 1;
    const int next = table_.next(lastBlock);
    if (next != EndOfChain && next != Invalid)
        fail(Archive::Error::Corrupt,
             QStringLiteral("writeData: damaged chain: block %1 links to %2")
                 .arg(lastBlock)
                 .arg(next));
    for (int previous = lastBlock; mappedLength() <= index;) {
        const int block = table_.newBlock(previous);
        table_.setNext(previous, block);
        appendToMap(block);
        previous = block;
    }
}

void ChainCursor::write(const char* data, qint64 length)
{
    if (length <= 0)
        return;
    growTo((pos() + length - 1) / blockSize_);
    qint64 total = 0;
    while (total < length) {
        if (offset_ == blockSize_)
            enterNextBlock();
        const qint64 count = qMin(length - total, contiguous());
        container_.write(container_.blockOffset(block_) + offset_, data + total, count);
        total += count;
        moveTo(pos() + count);
    }
}

int ChainCursor::endHere(bool fillTail)
{
    if (runs_.isEmpty())
        return EndOfChain;
    if (fillTail && offset_ > 0 && offset_ < blockSize_) {
        const QByteArray zeros(qsizetype(blockSize_ - offset_), '\0');
        container_.write(container_.blockOffset(block_) + offset_, zeros.constData(), zeros.size());
    }
    table_.releaseAfter(block_);
    // The map ends here too.
    while (runs_.last().index > index_)
        runs_.removeLast();
    runs_.last().length = int(index_ - runs_.last().index + 1);
    mapComplete_ = true;
    return block_;
}

} // namespace Kest::Ar
