#pragma once

// Helpers shared by the tests of block storage: blocks as the archive file holds them, the
// current position as a comparable pair, and chain walks over the table in memory.

#include "Archive.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <utility>

namespace KestTest {

using Kest::Ar::Archive;
using Kest::Ar::TestAccess;
using Position = Archive::Position;
using Place = std::pair<int, qint64>; // block, offset

// The two markers of the allocation table, in memory and on disk.
constexpr int EndOfChain = -1;
constexpr int Invalid = -2;

inline Place placeOf(Archive& a)
{
    return {TestAccess::current(a).block, TestAccess::current(a).offset};
}

inline qint64 blockOffset(Archive& a, qint64 block)
{
    return TestAccess::headerSize(a) + block * TestAccess::blockSize(a);
}

// What block `block` holds in the archive file right now.
inline QByteArray blockOnDisk(Archive& a, int block)
{
    TestAccess::file(a).flush();
    return readHostFile(a.name()).mid(blockOffset(a, block), TestAccess::blockSize(a));
}

// The chain from `first` along the table in memory; stops at END_OF_CHAIN, at a link outside
// the table, or after as many steps as there are blocks.
inline QList<int> chainFrom(Archive& a, int first)
{
    QList<int> chain;
    for (int b = first;
         b >= 0 && b < TestAccess::nBlocks(a) && chain.size() <= TestAccess::nBlocks(a);
         b = TestAccess::table(a)[b])
        chain.append(b);
    return chain;
}

// Writes `bytes` from the start of block `block`, through the archive.
inline bool writeAt(Archive& a, int block, const QByteArray& bytes)
{
    TestAccess::toPosition(a, block);
    return TestAccess::writeData(a, bytes.constData(), bytes.size()) == bytes.size();
}

// Opens a new archive for reading and writing and allocates blocks up to `count`.
inline bool openWithBlocks(Archive& a, int count)
{
    if (!a.open(QIODevice::ReadWrite))
        return false;
    while (TestAccess::nBlocks(a) < count)
        TestAccess::newBlock(a);
    return true;
}

} // namespace KestTest
