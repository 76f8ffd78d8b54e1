#include "AllocationTable.h"

#include "Container.h"
#include "Failure.h"
#include "Header.h"

#include <QtEndian>

namespace Kest::Ar {

namespace {

QByteArray encodeCluster(const QList<int>& links, qsizetype first, int count)
{
    QByteArray bytes(qsizetype(count) * 4, '\0');
    auto* out = reinterpret_cast<uchar*>(bytes.data());
    for (int i = 0; i < count; ++i)
        qToBigEndian<qint32>(links[first + i], out + 4 * i);
    return bytes;
}

void decodeCluster(const QByteArray& bytes, int count, QList<int>& links, qsizetype first)
{
    const auto* in = reinterpret_cast<const uchar*>(bytes.constData());
    for (int i = 0; i < count; ++i)
        links[first + i] = qFromBigEndian<qint32>(in + 4 * i);
}

} // namespace

AllocationTable::AllocationTable(Container& container) : container_(container)
{
}

void AllocationTable::reset(quint32 blockSize)
{
    links_.clear();
    changedClusters_.clear();
    blockSize_ = blockSize;
    blocks_ = 0;
    perCluster_ = int(blockSize / 4);
    firstFree_ = EndOfChain;
}

void AllocationTable::load(const Header& header)
{
    reset(header.blockSize);
    blocks_ = header.blocks;
    firstFree_ = header.firstFree;
    QByteArray bytes(qsizetype(blockSize_), '\0');
    for (qint64 head = 0; head < blocks_; head += perCluster_) {
        const qint64 got =
            container_.read(container_.blockOffset(int(head)), bytes.data(), bytes.size());
        if (got != bytes.size())
            fail(Archive::Error::Corrupt, QStringLiteral("readBAT: cannot read BAT block"));
        links_.resize(head + perCluster_, Invalid);
        decodeCluster(bytes, perCluster_, links_, head);
    }
    changedClusters_.fill(false, clusterCount());
    if ((header.formatVersion == 2 || header.formatVersion == 3) && links_.size() >= 2)
        correctLegacyStart(header);
}

// Headers of format versions 2 and 3 are longer than their 64-byte area and lie over the
// first table entries on disk: a version-2 header (66 bytes) over the high half of entry 0, a
// version-3 header (70 bytes) over entry 0 and the high half of entry 1. Entry 0 is rebuilt
// from the table's own chain. Entry 1 belongs to the directory stream, which starts at block 1:
// it ends the chain when the directory fits in one block, and is otherwise recovered.
void AllocationTable::correctLegacyStart(const Header& header)
{
    links_[0] = clusterCount() > 1 ? perCluster_ : EndOfChain;
    if (header.directorySize <= qint64(blockSize_)) {
        links_[1] = EndOfChain;
        return;
    }
    if (header.formatVersion == 2)
        return; // entry 1 lies past the header and is intact
    const int recovered = recoverDirectoryLink(header, links_[1] & 0xFFFF);
    if (recovered == Invalid)
        note(QStringLiteral("readBAT: the directory's chain cannot be recovered; the directory is "
                            "damaged"));
    links_[1] = recovered == Invalid ? EndOfChain : recovered;
}

// Of the links that end in the surviving low 16 bits, the one from which the directory's chain
// reaches its recorded last block in exactly as many blocks as its size needs.
int AllocationTable::recoverDirectoryLink(const Header& header, int survivingLowHalf) const
{
    for (qint64 link = survivingLowHalf; link < blocks_; link += 0x10000) {
        if (directoryChainFits(header, int(link)))
            return int(link);
    }
    return Invalid;
}

bool AllocationTable::directoryChainFits(const Header& header, int linkOfBlockOne) const
{
    const qint64 needed = (header.directorySize + blockSize_ - 1) / blockSize_;
    int block = header.directoryFirst;
    if (!isBlock(block) || needed > blocks_)
        return false;
    for (qint64 i = 1; i < needed; ++i) {
        block = block == 1 ? linkOfBlockOne : links_[block];
        if (!isBlock(block))
            return false;
    }
    return block == header.directoryLast;
}

void AllocationTable::writeChanged()
{
    for (int c = 0; c < clusterCount(); ++c) {
        if (!changedClusters_.testBit(c))
            continue;
        const int head = c * perCluster_;
        const QByteArray bytes = encodeCluster(links_, head, perCluster_);
        container_.write(container_.blockOffset(head), bytes.constData(), bytes.size());
        changedClusters_.clearBit(c);
    }
}

bool AllocationTable::hasChanges() const
{
    return changedClusters_.count(true) > 0;
}

void AllocationTable::storeCounters(Header& header) const
{
    header.blockSize = blockSize_;
    header.blocks = blocks_;
    header.blocksPerCluster = perCluster_;
    header.firstFree = firstFree_;
}

quint32 AllocationTable::blockSize() const
{
    return blockSize_;
}

int AllocationTable::blockCount() const
{
    return blocks_;
}

int AllocationTable::blocksPerCluster() const
{
    return perCluster_;
}

int AllocationTable::clusterCount() const
{
    return int(links_.size() / qMax(1, perCluster_));
}

int AllocationTable::firstFree() const
{
    return firstFree_;
}

bool AllocationTable::isBlock(int block) const
{
    return block >= 0 && block < blocks_;
}

const QList<int>& AllocationTable::links() const
{
    return links_;
}

int AllocationTable::next(int block) const
{
    Q_ASSERT(block >= 0 && block < int(links_.size()));
    return links_[block];
}

void AllocationTable::setNext(int block, int next)
{
    Q_ASSERT(block >= 0 && block < int(links_.size()));
    links_[block] = next;
    markChanged(block);
}

void AllocationTable::markChanged(int block)
{
    changedClusters_.setBit(block / perCluster_);
}

// A chain that ends at the end of the file goes on there even when blocks are free: it stays
// one run, and the free blocks are left to chains that cannot grow in place.
int AllocationTable::newBlock(int after)
{
    const bool endsTheFile = after != EndOfChain && after == blocks_ - 1;
    int block = firstFree_;
    if (block != EndOfChain && !endsTheFile) {
        // Its links are sound: an archive loaded for writing has its free list cut before any
        // damage.
        firstFree_ = links_[block];
        container_.markFresh(block);
    } else {
        block = appendBlock();
    }
    setNext(block, EndOfChain);
    return block;
}

int AllocationTable::appendBlock()
{
    if (blocks_ % perCluster_ == 0)
        appendCluster();
    return blocks_++;
}

// A new cluster's table block is written at once, at its own place, so that the file holds a
// table block for every cluster that has blocks. A failed write is undone in memory and in the
// file's length, so that a later allocation tries again at the same place.
void AllocationTable::appendCluster()
{
    const int head = blocks_;
    const int previous = head - perCluster_;
    const bool previousWasChanged = head > 0 && changedClusters_.testBit(previous / perCluster_);
    const qint64 length = container_.size();
    links_.insert(links_.size(), perCluster_, Invalid);
    changedClusters_.resize(clusterCount());
    links_[head] = EndOfChain;
    if (head > 0)
        setNext(previous, head);
    try {
        const QByteArray bytes = encodeCluster(links_, head, perCluster_);
        container_.write(container_.blockOffset(head), bytes.constData(), bytes.size());
    } catch (const Failure& failure) {
        links_.resize(head);
        changedClusters_.resize(clusterCount());
        if (head > 0) {
            links_[previous] = EndOfChain;
            changedClusters_.setBit(previous / perCluster_, previousWasChanged);
        }
        container_.resize(length);
        fail(failure.code,
             QStringLiteral("allocateNewCluster: cannot write BAT entries: ") + failure.message);
    }
    ++blocks_;
}

// Walks the run so that the container knows its blocks now hold something committed that a
// reuse before the next commit must not lose.
void AllocationTable::release(int first, int last)
{
    for (int block = first, steps = 0; isBlock(block) && steps < blocks_;
         block = links_[block], ++steps) {
        container_.markReleased(block);
        if (block == last)
            break;
    }
    setNext(last, firstFree_);
    firstFree_ = first;
}

void AllocationTable::releaseAfter(int block)
{
    const int following = next(block);
    if (isBlock(following)) {
        const int last = lastOfChain(following);
        if (last != Invalid)
            release(following, last);
    }
    setNext(block, EndOfChain);
}

int AllocationTable::lastOfChain(int first) const
{
    int block = first;
    for (int steps = 0; steps < blocks_; ++steps) {
        const int following = links_[block];
        if (following == EndOfChain)
            return block;
        if (!isBlock(following))
            break;
        block = following;
    }
    note(QStringLiteral("lastBlockOfChain: the chain that starts at block %1 is damaged")
             .arg(first));
    return Invalid;
}

int AllocationTable::freeCount() const
{
    int count = 0;
    for (int block = firstFree_; block != EndOfChain; block = links_[block]) {
        if (!isBlock(block) || count == blocks_)
            break;
        ++count;
    }
    return count;
}

void AllocationTable::cutFreeListAfter(int last)
{
    if (last == EndOfChain)
        firstFree_ = EndOfChain;
    else
        setNext(last, EndOfChain);
}

} // namespace Kest::Ar
