// The block allocation table.
//
// Every block of the container has one 32-bit entry: the number of the next block of its
// chain, END_OF_CHAIN (-1) for the last block of a chain, or INVALID (-2) for a slot of the
// last cluster that has not been handed out yet. The entries of cluster c (blocks c*N to
// c*N + N - 1, N = block size / 4) are stored big-endian in block c*N, the cluster's table
// block, its own entry first. Table blocks form a chain starting at block 0; free blocks form
// a chain starting at the header's free-list head. The whole table is held in memory; a
// changed cluster is marked, and only marked clusters are written back, each in one write.
//
// Links read from the file are data, not trusted indexes: every walk is bounded by the block
// count, and a link outside the table ends the walk as a damaged chain.

#include "Archive.h"
#include "ArchiveInternal.h"
#include "Entry.h"

#include <QDebug>
#include <QtEndian>

namespace Kest::Ar {

using Internal::raise;

namespace {

void encodeEntries(const QList<int>& table, qsizetype first, int count, QByteArray& buffer)
{
    auto* out = reinterpret_cast<uchar*>(buffer.data());
    for (int i = 0; i < count; ++i)
        qToBigEndian<qint32>(table[first + i], out + 4 * i);
}

void decodeEntries(const QByteArray& buffer, int count, QList<int>& table, qsizetype first)
{
    const auto* in = reinterpret_cast<const uchar*>(buffer.constData());
    for (int i = 0; i < count; ++i)
        table[first + i] = qFromBigEndian<qint32>(in + 4 * i);
}

} // namespace

bool Archive::isBlock(int b) const
{
    return b >= 0 && b < nBlocks_;
}

int Archive::nClusters() const
{
    return int(isClusterChanged_.size());
}

int Archive::newBlock()
{
    int block = firstFreeBlock_;
    if (block != END_OF_CHAIN) {
        // The free list is a stack: the block freed last is reused first. Its links are sound:
        // an archive loaded for writing has its list cut before any damage.
        firstFreeBlock_ = table_[block];
    } else {
        if (nBlocks_ % nBlocksPerCluster_ == 0)
            allocateNewCluster();
        block = nBlocks_++;
    }
    setNextBlock(block, END_OF_CHAIN);
    return block;
}

// Appends a cluster: its table block is written at the end of the file at once, so the file
// always holds a table block for every cluster that has blocks. A failed write is rolled back
// in memory and in the file's length, so that a later allocation tries again at the same place.
void Archive::allocateNewCluster()
{
    const int batBlock = nBlocks_;
    Q_ASSERT(batBlock % nBlocksPerCluster_ == 0);
    flushFile();
    const qint64 end = fileSize();
    if (!moveFile(end))
        raise(QStringLiteral("allocateNewCluster: cannot move to end of archive"));

    const int previous = batBlock - nBlocksPerCluster_;
    const bool previousWasChanged = batBlock > 0 && isClusterChanged(cluster(previous));
    isClusterChanged_.resize(nClusters() + 1);
    table_.insert(table_.size(), nBlocksPerCluster_, INVALID);
    if (batBlock > 0)
        setNextBlock(previous, batBlock);
    setNextBlock(batBlock, END_OF_CHAIN);

    QByteArray buffer(qsizetype(blockSize_), '\0');
    encodeEntries(table_, batBlock, nBlocksPerCluster_, buffer);
    if (writeFile(buffer.constData(), buffer.size()) != buffer.size()) {
        table_.resize(batBlock);
        isClusterChanged_.resize(nClusters() - 1);
        if (batBlock > 0) {
            table_[previous] = END_OF_CHAIN;
            setClusterChanged(cluster(previous), previousWasChanged);
        }
        truncateFile(end);
        raise(QStringLiteral("allocateNewCluster: cannot write BAT entries"));
    }
    ++nBlocks_;
}

void Archive::freeBlocks(int first, int last)
{
    setNextBlock(last, firstFreeBlock_);
    firstFreeBlock_ = first;
}

int Archive::nextBlock(int i) const
{
    Q_ASSERT(i >= 0 && i < static_cast<int>(table_.size()));
    return table_[i];
}

void Archive::setNextBlock(int i, int next)
{
    Q_ASSERT(i >= 0 && i < static_cast<int>(table_.size()));
    table_[i] = next;
    setClusterChanged(cluster(i), true);
}

int Archive::cluster(int block) const
{
    // clang-format off
    Q_ASSERT(block >=0 && block < static_cast<int>(table_.size()));
    // clang-format on
    return block / nBlocksPerCluster_;
}

int Archive::globalBlock(int first, int local) const
{
    Q_ASSERT(first >= 0 && first < nBlocks_);
    Q_ASSERT(local >= 0 && local < nBlocks_);
    int block = first;
    for (int i = 0; i < local; ++i) {
        const int next = table_[block];
        if (next == END_OF_CHAIN)
            return INVALID;
        if (!isBlock(next)) {
            qDebug("globalBlock: damaged chain: block %d links to %d", block, next);
            return INVALID;
        }
        block = next;
    }
    return block;
}

int Archive::lastBlockOfChain(int first) const
{
    int block = first;
    for (int steps = 0; steps < nBlocks_; ++steps) {
        const int next = table_[block];
        if (next == END_OF_CHAIN)
            return block;
        if (!isBlock(next))
            break;
        block = next;
    }
    qDebug("lastBlockOfChain: the chain that starts at block %d is damaged", first);
    return INVALID;
}

void Archive::releaseChainAfter(int block)
{
    const int next = nextBlock(block);
    if (isBlock(next)) {
        const int last = lastBlockOfChain(next);
        if (last != INVALID)
            freeBlocks(next, last);
    }
    setNextBlock(block, END_OF_CHAIN);
}

void Archive::readBat()
{
    QByteArray buffer(qsizetype(blockSize_), '\0');
    for (qint64 batBlock = 0; batBlock < nBlocks_; batBlock += nBlocksPerCluster_) {
        toPosition(Position(int(batBlock), 0));
        if (readFile(buffer.data(), buffer.size()) != buffer.size())
            raise(QStringLiteral("readBAT: cannot read BAT block"));
        current_.offset = blockSize_; // the file is now at the end of this table block
        table_.resize(batBlock + nBlocksPerCluster_, INVALID);
        decodeEntries(buffer, nBlocksPerCluster_, table_, batBlock);
    }
    isClusterChanged_.fill(false, table_.size() / nBlocksPerCluster_);
    if ((version_ == 2 || version_ == 3) && table_.size() >= 2)
        correctLegacyTableStart();
}

// Headers of format versions 2 and 3 are longer than their 64-byte area and lie over the
// first table entries on disk: a version-2 header (66 bytes) over the high half of entry 0, a
// version-3 header (70 bytes) over entry 0 and the high half of entry 1. Entry 0 is rebuilt
// from the table's own chain. Entry 1 belongs to the directory stream, which starts at block 1:
// it ends the chain when the directory fits in one block, and is otherwise recovered.
void Archive::correctLegacyTableStart()
{
    table_[0] = nClusters() > 1 ? nBlocksPerCluster_ : END_OF_CHAIN;
    if (directory_->size() <= qint64(blockSize_)) {
        table_[1] = END_OF_CHAIN;
        return;
    }
    if (version_ == 2)
        return; // entry 1 lies past the header and is intact
    const int recovered = recoverDirectoryLink(table_[1] & 0xFFFF);
    if (recovered == INVALID)
        qDebug("readBAT: the directory's chain cannot be recovered; the directory is damaged");
    table_[1] = recovered == INVALID ? END_OF_CHAIN : recovered;
}

// Of the links that end in the surviving low 16 bits, the one from which the directory's chain
// reaches its recorded last block in exactly as many blocks as its size needs.
int Archive::recoverDirectoryLink(int survivingLowHalf) const
{
    for (qint64 link = survivingLowHalf; link < nBlocks_; link += 0x10000) {
        if (directoryChainFits(int(link)))
            return int(link);
    }
    return INVALID;
}

bool Archive::directoryChainFits(int linkOfBlockOne) const
{
    const qint64 needed = (directory_->size() + blockSize_ - 1) / blockSize_;
    int block = directory_->firstBlock();
    if (!isBlock(block) || needed > nBlocks_)
        return false;
    for (qint64 i = 1; i < needed; ++i) {
        block = block == 1 ? linkOfBlockOne : table_[block];
        if (!isBlock(block))
            return false;
    }
    return block == directory_->lastBlock();
}

void Archive::writeBat()
{
    QByteArray buffer(qsizetype(blockSize_), '\0');
    for (int c = 0; c < nClusters(); ++c) {
        if (!isClusterChanged(c))
            continue;
        const int batBlock = c * nBlocksPerCluster_;
        toPosition(Position(batBlock, 0));
        encodeEntries(table_, batBlock, nBlocksPerCluster_, buffer);
        if (writeFile(buffer.constData(), buffer.size()) != buffer.size())
            raise(QStringLiteral("writeBAT: cannot write BAT block"));
        current_.offset = blockSize_; // the file is now at the end of this table block
        flushFile();
        setClusterChanged(c, false);
    }
}

bool Archive::isClusterChanged(int i) const
{
    Q_ASSERT(i >= 0 && i < static_cast<int>(isClusterChanged_.size()));
    return isClusterChanged_.testBit(i);
}

void Archive::setClusterChanged(int i, bool changed)
{
    Q_ASSERT(i >= 0 && i < static_cast<int>(isClusterChanged_.size()));
    isClusterChanged_.setBit(i, changed);
}

int Archive::nFreeBlocks() const
{
    int count = 0;
    for (int block = firstFreeBlock_; block != END_OF_CHAIN; block = table_[block]) {
        if (!isBlock(block) || count == nBlocks_) {
            qDebug("nFreeBlocks: the free list is damaged after %d blocks", count);
            break;
        }
        ++count;
    }
    return count;
}

QString Archive::batToString() const
{
    if (table_.isEmpty())
        return QStringLiteral("*** BAT is empty ***");
    QString text;
    const qsizetype shown = qMin<qsizetype>(256, table_.size());
    for (qsizetype i = 0; i < shown; ++i) {
        const int entry = table_[i];
        const QString value = entry == INVALID        ? QStringLiteral("INVALID")
                              : entry == END_OF_CHAIN ? QStringLiteral("END_OF_CHAIN")
                                                      : QString::number(entry);
        text += QStringLiteral("table[%1] = %2\n").arg(i).arg(value);
    }
    return text;
}

double Archive::fragmentation(FragmentationType type) const
{
    if (nBlocks_ == 0)
        return 0.0;
    const int free = nFreeBlocks();
    if (type == InternalFragmentation) {
        const qint64 used = qint64(nBlocks_ - free) * qint64(blockSize_);
        const qint64 data = root_->size();
        return double(used - data) / double(used);
    }
    return double(free) / double(nBlocks_);
}

} // namespace Kest::Ar
