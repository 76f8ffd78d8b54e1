#pragma once

// The block allocation table, held whole in memory. Not installed.
//
// Every block of the container has one 32-bit entry: the number of the next block of its
// chain, EndOfChain for the last block of a chain, or Invalid for a slot of the last cluster
// that has not been handed out yet. The entries of cluster c (blocks c*N to c*N + N - 1,
// N = block size / 4) are stored big-endian in block c*N, the cluster's table block, its own
// entry first. Table blocks form a chain from block 0; free blocks form a chain from the
// free-list head, used as a stack. Changed clusters are marked and only they are written back.
//
// Links read from the file are data, not trusted indexes: every walk is bounded by the block
// count, and a link outside the table ends the walk as a damaged chain.

#include <QBitArray>
#include <QList>

namespace Kest::Ar {

class Container;
struct Header;

class AllocationTable
{
public:
    static constexpr int EndOfChain = -1;
    static constexpr int Invalid = -2;

    explicit AllocationTable(Container& container);

    // An empty table for a new archive with blocks of `blockSize` bytes.
    void reset(quint32 blockSize);
    // Reads every table block that the header's block count implies; throws Corrupt when the
    // file ends before them. Corrects the start of tables of format versions 2 and 3.
    void load(const Header& header);
    // Writes the changed clusters, each in one write.
    void writeChanged();
    bool hasChanges() const;
    // The counters the header records.
    void storeCounters(Header& header) const;

    quint32 blockSize() const;
    int blockCount() const;
    int blocksPerCluster() const;
    int clusterCount() const;
    int firstFree() const;
    bool isBlock(int block) const;
    const QList<int>& links() const;

    int next(int block) const;
    void setNext(int block, int next);

    // A block for the end of a chain whose last block is `after` (EndOfChain: a new chain), its
    // link EndOfChain. The block after `after` where that is the head of the free list or the
    // end of the file; else the head of the free list; else a new block at the end (with a new
    // cluster when the last one is full). Throws when the file cannot grow.
    int newBlock(int after = EndOfChain);
    // Puts the run of one chain from `first` to `last` on the free list without walking it.
    void release(int first, int last);
    // Ends the chain at `block` and frees what followed it.
    void releaseAfter(int block);
    // The last block of the chain from `first`; Invalid when the chain is damaged.
    int lastOfChain(int first) const;
    // The length of the free list, as far as it is sound.
    int freeCount() const;
    // Ends the free list after `last` (EndOfChain: empties it). Used to cut off damage.
    void cutFreeListAfter(int last);

private:
    int appendBlock();
    void appendCluster();
    void correctLegacyStart(const Header& header);
    int recoverDirectoryLink(const Header& header, int survivingLowHalf) const;
    bool directoryChainFits(const Header& header, int linkOfBlockOne) const;
    void markChanged(int block);

    Container& container_;
    QList<int> links_;
    QBitArray changedClusters_;
    quint32 blockSize_ = 0;
    int blocks_ = 0;
    int perCluster_ = 0;
    int firstFree_ = EndOfChain;
};

} // namespace Kest::Ar
