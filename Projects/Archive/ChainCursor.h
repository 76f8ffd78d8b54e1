#pragma once

// A position in one chain of blocks: a member file's or the directory stream's. Not
// installed.
//
// Byte p of a stream lies in block p / B of its chain at offset p % B, except that a non-zero
// multiple of B is the end of the previous block (offset B): a write there continues at the
// end of the last existing block and grows the chain only when it needs a byte beyond it.
//
// Every open member file owns a cursor, so any number of them transfer in any interleaving,
// each at its own place. A cursor keeps a map of the runs of consecutive blocks in its chain,
// made as far as the chain has been walked: a seek costs a search of the runs, and a transfer
// moves each run in one call. A cursor trusts no link: a link outside the table ends a read as
// the end of a damaged chain and fails a write.

#include <QList>
#include <QtGlobal>

namespace Kest::Ar {

class AllocationTable;
class Container;

class ChainCursor
{
public:
    // A cursor at byte 0 of the chain that starts at `firstBlock` (EndOfChain: a stream that
    // has no block yet; its first write gives it one).
    ChainCursor(AllocationTable& table, Container& container, int firstBlock);

    int firstBlock() const;
    qint64 pos() const;
    // The block that holds the byte before the position (the first block at 0).
    int block() const;
    // The runs of the chain as far as they are known: (first block, number of blocks).
    QList<QPair<int, int>> knownRuns() const;

    // Moves to byte `pos`. False, without moving, when the chain has no such place.
    bool seek(qint64 pos);
    // Reads up to `length` bytes; fewer where the chain or the file ends.
    qint64 read(char* data, qint64 length);
    // Writes all `length` bytes, growing the chain at its end as needed; throws on failure.
    void write(const char* data, qint64 length);
    // Makes the position the end of the stream: fills the rest of its block with zeros (unless
    // the caller knows they are there), frees the blocks after it and ends the chain there.
    // Returns the last block.
    int endHere(bool fillTail = true);

private:
    struct Run
    {
        qint64 index; // the chain index of its first block
        int block;    // its first block; the others follow it in the file
        int length;
    };

    qint64 mappedLength() const;
    // The block at chain index `index`, walking the table as far as needed; Invalid when the
    // chain is shorter (or damaged before it).
    int blockAt(qint64 index);
    const Run& runOf(qint64 index) const;
    void appendToMap(int block);
    bool extendMap(qint64 index);
    // Makes the chain hold `index` + 1 blocks, allocating at its end.
    void growTo(qint64 index);
    void moveTo(qint64 pos);
    void enterNextBlock();
    // The bytes from the position to the end of the current run.
    qint64 contiguous() const;

    AllocationTable& table_;
    Container& container_;
    QList<Run> runs_;
    bool mapComplete_ = false; // the map reaches the chain's last block
    qint64 blockSize_;
    qint64 index_ = 0;  // the chain index of the current block
    qint64 offset_ = 0; // 0 to blockSize_
    int block_;         // the current block; EndOfChain while the chain has none
};

} // namespace Kest::Ar
