// Block addressing and the transfers along chains: positions and file offsets, moving the
// file, reading and writing across blocks from any offset, growing a chain by exactly the
// blocks a write needs, filling a block, failures reported as -1, and damaged chains.

#include "File.h"
#include "StorageTestKit.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <memory>

using namespace KestTest;
using Kest::Ar::File;
using Kest::Ar::FileEntry;
using Position = Kest::Ar::Archive::Position;

namespace {

bool samePosition(const Position& a, const Position& b)
{
    return a.block == b.block && a.offset == b.offset;
}

QByteArray describe(const Position& p)
{
    return QByteArray("block ") + QByteArray::number(p.block) + " offset " +
           QByteArray::number(p.offset);
}

#define COMPARE_POSITION(actual, expected)                                                         \
    QVERIFY2(samePosition((actual), (expected)),                                                   \
             (describe(actual) + " instead of " + describe(expected)).constData())

// The file's own position agrees with the archive's current position.
#define VERIFY_FILE_AT_CURRENT(a)                                                                  \
    QCOMPARE(TestAccess::file(a).pos(), TestAccess::offset((a), TestAccess::current(a)))

QByteArray blockOnDisk(Archive& a, int block, qint64 from = 0, qint64 length = -1)
{
    TestAccess::file(a).flush();
    const qint64 blockSize = TestAccess::blockSize(a);
    return readHostFile(a.name()).mid(blockOffset(a, block) + from,
                                      length < 0 ? blockSize - from : length);
}

// A chain of the given blocks, each freshly allocated, linked in the order given.
QList<int> linkChain(Archive& a, const QList<int>& order)
{
    for (int i = 0; i + 1 < order.size(); ++i)
        TestAccess::setNextBlock(a, order[i], order[i + 1]);
    return order;
}

// ---- A model of one stream ----------------------------------------------------------------

// One stream and everything that decides where it grows: its chain, its bytes, the free list
// and the block count.
struct StreamModel
{
    int n = 0;
    qint64 blockSize = 0;
    int nBlocks = 0;
    QList<int> freeList;
    QList<int> chain;
    QByteArray content;

    int take()
    {
        if (!freeList.isEmpty())
            return freeList.takeFirst();
        if (nBlocks % n == 0)
            ++nBlocks; // the new cluster's table block
        return nBlocks++;
    }

    // Where stream byte `pos` lies: the end of the previous block for a non-zero multiple of
    // the block size, as a member file positions.
    Position place(qint64 pos) const
    {
        qint64 index = pos / blockSize;
        qint64 offset = pos % blockSize;
        if (index > 0 && offset == 0) {
            --index;
            offset = blockSize;
        }
        return Position(chain[index], offset);
    }
};

} // namespace

class ChainIoTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { dir_.reset(new QTemporaryDir); }

    void addressing_data();
    void addressing();
    void positionRoundTrip_data();
    void positionRoundTrip();
    void failedMoveKeepsPosition_data();
    void failedMoveKeepsPosition();
    void positioningPastEndOfFile();
    void zeroOrNegativeLength_data();
    void zeroOrNegativeLength();
    void readAndWriteAcrossBlocks();
    void randomTransfersMatchModel_data();
    void randomTransfersMatchModel();
    void writeFillingBlockExactly_data();
    void writeFillingBlockExactly();
    void writeGrowsIntoNewCluster();
    void fillCurrentBlock_data();
    void fillCurrentBlock();
    void fillCurrentBlockCompletesLastBlockOfFile();
    void failuresAreReportedAsMinusOne();
    void shortReadEndsTransfer();
    void atLastBlock();
    void damagedChainOnDisk_data();
    void damagedChainOnDisk();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString path(const char* name) const { return dir_->filePath(QString::fromLatin1(name)); }
};

// ---- Addressing -------------------------------------------------------------------------

void ChainIoTest::addressing_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<unsigned int>("headerSize");
    QTest::addColumn<int>("block");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("fileOffset");

    QTest::newRow("block 0") << 4096u << 256u << 0 << qint64(0) << qint64(256);
    QTest::newRow("block 1") << 4096u << 256u << 1 << qint64(0) << qint64(4352);
    QTest::newRow("block 1024, cluster 1's table")
        << 4096u << 256u << 1024 << qint64(0) << qint64(4194560);
    QTest::newRow("block 1025") << 4096u << 256u << 1025 << qint64(0) << qint64(4198656);
    QTest::newRow("end of block 1") << 4096u << 256u << 1 << qint64(4096) << qint64(8448);
    QTest::newRow("last byte of the highest block")
        << 4096u << 256u << INT_MAX << qint64(4095) << qint64(8796093022463LL);
    QTest::newRow("64 MiB blocks")
        << 64u * 1024u * 1024u << 256u << 1000 << qint64(0) << qint64(67108864256LL);
    QTest::newRow("small blocks") << 64u << 256u << 17 << qint64(63) << qint64(1407);
    QTest::newRow("64-byte header area") << 64u << 64u << 3 << qint64(0) << qint64(256);
    QTest::newRow("marker -1") << 4096u << 256u << -1 << qint64(0) << qint64(-3840);
    QTest::newRow("marker -2") << 4096u << 256u << -2 << qint64(10) << qint64(-7926);
}

void ChainIoTest::addressing()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(unsigned int, headerSize);
    QFETCH(int, block);
    QFETCH(qint64, offset);
    QFETCH(qint64, fileOffset);

    Archive a(path("addressing.qel"), blockSize);
    TestAccess::headerSize(a) = headerSize;
    QCOMPARE(TestAccess::offset(a, Position(block, offset)), fileOffset);
    if (fileOffset < qint64(headerSize))
        return;
    const Position back = TestAccess::position(a, fileOffset);
    if (offset < qint64(blockSize)) {
        COMPARE_POSITION(back, Position(block, offset));
    } else {
        // The end of a block is the same byte as the start of the next one.
        COMPARE_POSITION(back, Position(block + 1, 0));
    }
}

void ChainIoTest::positionRoundTrip_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::newRow("64") << 64u;
    QTest::newRow("66") << 66u;
    QTest::newRow("4096") << 4096u;
    QTest::newRow("64 MiB") << 64u * 1024u * 1024u;
}

void ChainIoTest::positionRoundTrip()
{
    QFETCH(unsigned int, blockSize);
    Archive a(path("roundtrip.qel"), blockSize);
    QRandomGenerator rng(blockSize);
    for (int i = 0; i < 2000; ++i) {
        const Position p(int(rng.bounded(INT_MAX)), qint64(rng.bounded(blockSize)));
        COMPARE_POSITION(TestAccess::position(a, TestAccess::offset(a, p)), p);
        // Any offset of the block range that 32-bit block numbers reach.
        const qint64 pos = 256 + qint64(rng.generate64() % (quint64(INT_MAX) * blockSize));
        QCOMPARE(TestAccess::offset(a, TestAccess::position(a, pos)), pos);
    }
    // Offsets before the first block truncate toward zero, and still map back.
    QCOMPARE(TestAccess::offset(a, TestAccess::position(a, 0)), qint64(0));
    if (blockSize > 256)
        COMPARE_POSITION(TestAccess::position(a, 0), Position(0, -256));
}

void ChainIoTest::failedMoveKeepsPosition_data()
{
    QTest::addColumn<int>("block");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QString>("message");
    QTest::newRow("END_OF_CHAIN") << -1 << qint64(0)
                                  << QStringLiteral(
                                         "toBlock: cannot move file to block -1 at offset 0");
    QTest::newRow("INVALID") << -2 << qint64(0)
                             << QStringLiteral("toBlock: cannot move file to block -2 at offset 0");
    QTest::newRow("before the header's end")
        << 0 << qint64(-300)
        << QStringLiteral("toBlock: cannot move file to block 0 at offset -300");
}

void ChainIoTest::failedMoveKeepsPosition()
{
    QFETCH(int, block);
    QFETCH(qint64, offset);
    QFETCH(QString, message);
    Archive a(path("move.qel"));
    QVERIFY(a.open(QIODevice::ReadWrite));
    TestAccess::toPosition(a, Position(1, 17));
    const qint64 filePos = TestAccess::file(a).pos();

    QCOMPARE(failureOf([&] { TestAccess::toPosition(a, Position(block, offset)); }), message);
    COMPARE_POSITION(TestAccess::current(a), Position(1, 17));
    QCOMPARE(TestAccess::file(a).pos(), filePos);
    if (offset == 0) {
        QCOMPARE(failureOf([&] { TestAccess::toPosition(a, block); }), message);
        COMPARE_POSITION(TestAccess::current(a), Position(1, 17));
    }

    // Without an open file no block can be reached.
    TestAccess::file(a).close();
    QCOMPARE(failureOf([&] { TestAccess::toPosition(a, 1); }),
             QStringLiteral("toBlock: cannot move file to block 1 at offset 0"));
    COMPARE_POSITION(TestAccess::current(a), Position(1, 17));
}

void ChainIoTest::positioningPastEndOfFile()
{
    Archive a(path("pastend.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    TestAccess::file(a).flush();
    const qint64 size = readHostFile(a.name()).size();
    QCOMPARE(size, blockOffset(a, 2));

    TestAccess::toPosition(a, 100);
    COMPARE_POSITION(TestAccess::current(a), Position(100, 0));
    VERIFY_FILE_AT_CURRENT(a);
    TestAccess::toPosition(a, 50);
    QCOMPARE(qint64(readHostFile(a.name()).size()), size);

    // The file grows when the block is written.
    QCOMPARE(TestAccess::writeData(a, "0123456789", 10), qint64(10));
    TestAccess::file(a).flush();
    QCOMPARE(qint64(readHostFile(a.name()).size()), blockOffset(a, 50) + 10);
    QCOMPARE(blockOnDisk(a, 50, 0, 10), QByteArray("0123456789"));
    COMPARE_POSITION(TestAccess::current(a), Position(50, 10));
}

void ChainIoTest::zeroOrNegativeLength_data()
{
    QTest::addColumn<qint64>("length");
    QTest::newRow("0") << qint64(0);
    QTest::newRow("-1") << qint64(-1);
    QTest::newRow("-4096") << qint64(-4096);
}

void ChainIoTest::zeroOrNegativeLength()
{
    QFETCH(qint64, length);
    Archive a(path("zero.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    const int block = TestAccess::newBlock(a);
    // At the end of the chain's last block, where even one byte would allocate a block.
    TestAccess::toPosition(a, Position(block, 64));
    const QList<int> table = TestAccess::table(a);
    const int nBlocks = TestAccess::nBlocks(a);
    TestAccess::file(a).flush();
    const QByteArray file = readHostFile(a.name());

    char buffer[16] = {};
    QCOMPARE(TestAccess::writeData(a, "abcdefghijklmnop", length), qint64(0));
    QCOMPARE(TestAccess::readData(a, buffer, length), qint64(0));
    COMPARE_POSITION(TestAccess::current(a), Position(block, 64));
    QCOMPARE(TestAccess::table(a), table);
    QCOMPARE(TestAccess::nBlocks(a), nBlocks);
    TestAccess::file(a).flush();
    QCOMPARE(readHostFile(a.name()), file);
}

// ---- Transfers along chains -------------------------------------------------------------

void ChainIoTest::readAndWriteAcrossBlocks()
{
    Archive a(path("across.qel"));
    QVERIFY(a.open(QIODevice::ReadWrite));
    for (int b = 2; b <= 5; ++b)
        QCOMPARE(TestAccess::newBlock(a), b);
    const QList<int> chain = linkChain(a, {2, 4, 3, 5});
    QList<QByteArray> blocks;
    for (int b : chain) {
        blocks.append(patternBytes(4096, quint32(b)));
        QVERIFY(writeWholeBlock(a, b, blocks.last()));
    }

    // 10000 bytes from offset 100: the rest of the first block, the whole second block and
    // the start of the third.
    TestAccess::toPosition(a, Position(2, 100));
    QByteArray buffer(10000, '\0');
    QCOMPARE(TestAccess::readData(a, buffer.data(), 10000), qint64(10000));
    QCOMPARE(buffer, blocks[0].mid(100) + blocks[1] + blocks[2].left(1908));
    QCOMPARE(3996 + 4096 + 1908, 10000);
    COMPARE_POSITION(TestAccess::current(a), Position(3, 1908));
    VERIFY_FILE_AT_CURRENT(a);

    // Reading on stops at the end of the chain, at the end of its last block.
    buffer.fill('\0', 20000);
    QCOMPARE(TestAccess::readData(a, buffer.data(), 20000), qint64(2188 + 4096));
    QCOMPARE(buffer.left(2188 + 4096), blocks[2].mid(1908) + blocks[3]);
    COMPARE_POSITION(TestAccess::current(a), Position(5, 4096));
    QCOMPARE(TestAccess::readData(a, buffer.data(), 10), qint64(0));
    QCOMPARE(TestAccess::readWithinBlock(a, buffer.data(), 10), qint64(0));
    COMPARE_POSITION(TestAccess::current(a), Position(5, 4096));

    // The same crossing for a write: no block is allocated, bytes around it stay.
    const QByteArray data = patternBytes(10000, 77);
    const int nBlocks = TestAccess::nBlocks(a);
    TestAccess::toPosition(a, Position(2, 100));
    QCOMPARE(TestAccess::writeData(a, data.constData(), data.size()), qint64(10000));
    COMPARE_POSITION(TestAccess::current(a), Position(3, 1908));
    VERIFY_FILE_AT_CURRENT(a);
    QCOMPARE(TestAccess::nBlocks(a), nBlocks);
    QCOMPARE(blockOnDisk(a, 2), blocks[0].left(100) + data.left(3996));
    QCOMPARE(blockOnDisk(a, 4), data.mid(3996, 4096));
    QCOMPARE(blockOnDisk(a, 3), data.mid(8092) + blocks[2].mid(1908));
    QCOMPARE(blockOnDisk(a, 5), blocks[3]);
}

void ChainIoTest::randomTransfersMatchModel_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("minimumBlocks"); // what the stream should reach at least
    QTest::newRow("64, seed 1") << 64u << 1u << 400 << 40;
    QTest::newRow("64, seed 2") << 64u << 2u << 400 << 40;
    QTest::newRow("66, seed 3") << 66u << 3u << 400 << 40;
    QTest::newRow("4096, seed 4") << 4096u << 4u << 150 << 20;
}

void ChainIoTest::randomTransfersMatchModel()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(quint32, seed);
    QFETCH(int, steps);
    QFETCH(int, minimumBlocks);
    const qint64 size = blockSize;
    QRandomGenerator rng(seed);
    Archive a(path("random.qel"), blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));

    StreamModel m;
    m.n = int(blockSize / 4);
    m.blockSize = size;
    m.nBlocks = 2;
    m.chain.append(m.take());
    QCOMPARE(TestAccess::newBlock(a), m.chain.first());
    // Streams keep their blocks whole on disk: the first block is written in full, and every
    // write that grows the stream is followed by a fill of its last block, as a member file
    // does when it is closed. The stream's length is thus always a whole number of blocks.
    m.content = QByteArray(size, '\0');
    QVERIFY(writeWholeBlock(a, m.chain.first(), m.content));

    for (int step = 0; step < steps; ++step) {
        const int choice = int(rng.bounded(100));
        const qint64 length = m.content.size();
        if (choice < 45) {
            // One write in three appends.
            const qint64 pos = rng.bounded(3) == 0 ? length : rng.bounded(length + 1);
            const qint64 count = 1 + rng.bounded(3 * size);
            const QByteArray data = patternBytes(count, rng.generate());
            TestAccess::toPosition(a, m.place(pos));
            QCOMPARE(TestAccess::writeData(a, data.constData(), count), count);
            while (m.chain.size() * size < pos + count)
                m.chain.append(m.take());
            m.content.replace(pos, count, data);
            COMPARE_POSITION(TestAccess::current(a), m.place(pos + count));
            if (pos + count > length) {
                TestAccess::fillCurrentBlock(a);
                m.content.append(QByteArray(m.chain.size() * size - m.content.size(), '\0'));
                COMPARE_POSITION(TestAccess::current(a), m.place(m.content.size()));
            }
        } else if (choice < 80) {
            const qint64 pos = rng.bounded(length + 1);
            const qint64 count = 1 + rng.bounded(3 * size);
            TestAccess::toPosition(a, m.place(pos));
            QByteArray buffer(count, '\0');
            const qint64 expected = qMin(count, length - pos);
            QCOMPARE(TestAccess::readData(a, buffer.data(), count), expected);
            QCOMPARE(buffer.left(expected), m.content.mid(pos, expected));
            COMPARE_POSITION(TestAccess::current(a), m.place(pos + expected));
        } else {
            // Another stream takes a few blocks and gives them back, so that this one grows
            // into freed blocks as well as at the end of the archive.
            QList<int> scratch;
            for (int i = 1 + int(rng.bounded(3)); i > 0; --i) {
                scratch.append(m.take());
                QCOMPARE(TestAccess::newBlock(a), scratch.last());
                if (scratch.size() > 1)
                    TestAccess::setNextBlock(a, scratch[scratch.size() - 2], scratch.last());
            }
            TestAccess::freeBlocks(a, scratch.first(), scratch.last());
            m.freeList = scratch + m.freeList;
            continue;
        }
        VERIFY_FILE_AT_CURRENT(a);
        QCOMPARE(TestAccess::nBlocks(a), m.nBlocks);
        QCOMPARE(chainFrom(a, m.chain.first()), m.chain);
    }
    QCOMPARE(freeList(a), m.freeList);
    QVERIFY(m.chain.size() >= minimumBlocks);

    // Every byte is on disk in the block the chain says.
    QCOMPARE(m.content.size(), m.chain.size() * size);
    for (int i = 0; i < m.chain.size(); ++i)
        QCOMPARE(blockOnDisk(a, m.chain[i]), m.content.mid(i * size, size));
}

void ChainIoTest::writeFillingBlockExactly_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<bool>("withFreeBlocks");
    QTest::newRow("64, grows at the end") << 64u << false;
    QTest::newRow("64, reuses a free block") << 64u << true;
    QTest::newRow("4096, grows at the end") << 4096u << false;
    QTest::newRow("4096, reuses a free block") << 4096u << true;
}

void ChainIoTest::writeFillingBlockExactly()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(bool, withFreeBlocks);
    Archive a(path("exact.qel"), blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));
    const int block = TestAccess::newBlock(a);
    int next = TestAccess::nBlocks(a);
    int freeHeadAfter = EndOfChain;
    if (withFreeBlocks) {
        const int f = TestAccess::newBlock(a);
        const int g = TestAccess::newBlock(a);
        TestAccess::newBlock(a);
        TestAccess::freeBlocks(a, f, f);
        TestAccess::freeBlocks(a, g, g);
        next = g;
        freeHeadAfter = f;
    }
    const int nBlocks = TestAccess::nBlocks(a);
    const QByteArray data = patternBytes(blockSize, 11);

    TestAccess::toPosition(a, block);
    QCOMPARE(TestAccess::writeData(a, data.constData(), data.size()), qint64(blockSize));
    COMPARE_POSITION(TestAccess::current(a), Position(block, blockSize));
    QCOMPARE(TestAccess::nBlocks(a), nBlocks);
    QCOMPARE(TestAccess::nextBlock(a, block), EndOfChain);
    QCOMPARE(TestAccess::nFreeBlocks(a), withFreeBlocks ? 2 : 0);

    // One byte more needs the next block.
    QCOMPARE(TestAccess::writeData(a, "x", 1), qint64(1));
    QCOMPARE(TestAccess::nextBlock(a, block), next);
    QCOMPARE(TestAccess::nextBlock(a, next), EndOfChain);
    COMPARE_POSITION(TestAccess::current(a), Position(next, 1));
    VERIFY_FILE_AT_CURRENT(a);
    QCOMPARE(TestAccess::firstFreeBlock(a), freeHeadAfter);
    QCOMPARE(TestAccess::nBlocks(a), withFreeBlocks ? nBlocks : nBlocks + 1);
    QCOMPARE(blockOnDisk(a, block), data);
    QCOMPARE(blockOnDisk(a, next, 0, 1), QByteArray("x"));

    // The same from the end of a block reached by positioning.
    const int last = next;
    TestAccess::toPosition(a, Position(last, blockSize));
    QCOMPARE(TestAccess::writeData(a, "y", 1), qint64(1));
    QCOMPARE(TestAccess::nextBlock(a, last), TestAccess::current(a).block);
    QCOMPARE(TestAccess::current(a).offset, qint64(1));
}

void ChainIoTest::writeGrowsIntoNewCluster()
{
    Archive a(path("growcluster.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    while (TestAccess::nBlocks(a) < 14)
        TestAccess::newBlock(a);
    QCOMPARE(TestAccess::newBlock(a), 14);

    // Blocks 14 and 15 are written in full, then 5 bytes need a block of a new cluster: its
    // table block must land after block 15's bytes, not over them.
    const QByteArray data = patternBytes(2 * 64 + 5, 31);
    TestAccess::toPosition(a, 14);
    QCOMPARE(TestAccess::writeData(a, data.constData(), data.size()), qint64(data.size()));
    QCOMPARE(chainFrom(a, 14), QList<int>({14, 15, 17}));
    QCOMPARE(TestAccess::nBlocks(a), 18);
    QCOMPARE(TestAccess::nextBlock(a, 0), 16);
    COMPARE_POSITION(TestAccess::current(a), Position(17, 5));
    VERIFY_FILE_AT_CURRENT(a);

    QCOMPARE(blockOnDisk(a, 14), data.left(64));
    QCOMPARE(blockOnDisk(a, 15), data.mid(64, 64));
    QCOMPARE(blockOnDisk(a, 17, 0, 5), data.mid(128));
    QList<int> stored(16, Invalid);
    stored[0] = EndOfChain;
    QCOMPARE(storedTableBlock(a, 16), stored);
}

void ChainIoTest::fillCurrentBlock_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("zeros");
    QTest::newRow("4096 at 0") << 4096u << qint64(0) << qint64(0);
    QTest::newRow("4096 at the end") << 4096u << qint64(4096) << qint64(0);
    QTest::newRow("4096 at 1000") << 4096u << qint64(1000) << qint64(3096);
    QTest::newRow("64 at 1") << 64u << qint64(1) << qint64(63);
    QTest::newRow("64 at 63") << 64u << qint64(63) << qint64(1);
}

void ChainIoTest::fillCurrentBlock()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(qint64, offset);
    QFETCH(qint64, zeros);
    Archive a(path("fill.qel"), blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));
    const int block = TestAccess::newBlock(a);
    const int after = TestAccess::newBlock(a);
    QVERIFY(writeWholeBlock(a, block, QByteArray(blockSize, '\xAA')));
    QVERIFY(writeWholeBlock(a, after, QByteArray(blockSize, '\xBB')));
    TestAccess::file(a).flush();
    QByteArray expected = readHostFile(a.name());
    const QList<int> table = TestAccess::table(a);

    TestAccess::toPosition(a, Position(block, offset));
    TestAccess::fillCurrentBlock(a);
    TestAccess::file(a).flush();
    expected.replace(blockOffset(a, block) + offset, zeros, QByteArray(zeros, '\0'));
    QCOMPARE(readHostFile(a.name()), expected);
    COMPARE_POSITION(TestAccess::current(a), Position(block, offset == 0 ? 0 : blockSize));
    VERIFY_FILE_AT_CURRENT(a);
    QCOMPARE(TestAccess::table(a), table);
}

void ChainIoTest::fillCurrentBlockCompletesLastBlockOfFile()
{
    Archive a(path("filllast.qel"));
    QVERIFY(a.open(QIODevice::ReadWrite));
    const int block = TestAccess::newBlock(a);
    TestAccess::toPosition(a, block);
    const QByteArray data = patternBytes(1000, 2);
    QCOMPARE(TestAccess::writeData(a, data.constData(), data.size()), qint64(1000));
    TestAccess::fillCurrentBlock(a);
    TestAccess::file(a).flush();
    // The file now ends at a block boundary, where the next cluster's table block would go.
    QCOMPARE(qint64(readHostFile(a.name()).size()), blockOffset(a, block + 1));
    QCOMPARE(blockOnDisk(a, block), data + QByteArray(3096, '\0'));
}

void ChainIoTest::failuresAreReportedAsMinusOne()
{
    Archive a(path("failures.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    const int first = TestAccess::newBlock(a);
    const int second = TestAccess::newBlock(a);
    linkChain(a, {first, second});
    QVERIFY(writeWholeBlock(a, first, patternBytes(64, 1)));
    QVERIFY(writeWholeBlock(a, second, patternBytes(64, 2)));
    TestAccess::file(a).flush();
    char buffer[16];

    // Writes refused by the file.
    TestAccess::file(a).restrictOpenMode(QIODevice::ReadOnly);
    TestAccess::toPosition(a, Position(first, 5));
    QTest::ignoreMessage(QtDebugMsg, "doWriteBlock: I/O error");
    QCOMPARE(TestAccess::writeData(a, "0123456789", 10), qint64(-1));
    COMPARE_POSITION(TestAccess::current(a), Position(first, 5));
    QCOMPARE(failureOf([&] { TestAccess::fillCurrentBlock(a); }),
             QStringLiteral("doWriteBlock: I/O error"));
    COMPARE_POSITION(TestAccess::current(a), Position(first, 5));
    QCOMPARE(TestAccess::readData(a, buffer, 10), qint64(10));
    QCOMPARE(QByteArray(buffer, 10), patternBytes(64, 1).mid(5, 10));

    // Reads refused by the file.
    TestAccess::file(a).restrictOpenMode(QIODevice::WriteOnly);
    TestAccess::toPosition(a, Position(first, 5));
    QTest::ignoreMessage(QtDebugMsg, "doReadBlock: I/O error");
    QCOMPARE(TestAccess::readData(a, buffer, 10), qint64(-1));
    COMPARE_POSITION(TestAccess::current(a), Position(first, 5));
    TestAccess::file(a).restrictOpenMode(QIODevice::ReadWrite);

    // The move to the next block of the chain fails; the position stays at the end of the
    // block that was finished.
    TestAccess::toPosition(a, Position(first, 60));
    QCOMPARE(TestAccess::readData(a, buffer, 4), qint64(4));
    TestAccess::file(a).close();
    const QByteArray moveFailure =
        "toBlock: cannot move file to block " + QByteArray::number(second) + " at offset 0";
    QTest::ignoreMessage(QtDebugMsg, moveFailure.constData());
    QCOMPARE(TestAccess::readData(a, buffer, 10), qint64(-1));
    QTest::ignoreMessage(QtDebugMsg, moveFailure.constData());
    QCOMPARE(TestAccess::writeData(a, "0123456789", 10), qint64(-1));
    COMPARE_POSITION(TestAccess::current(a), Position(first, 64));
}

void ChainIoTest::shortReadEndsTransfer()
{
    Archive a(path("shortread.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    const int first = TestAccess::newBlock(a);
    const int second = TestAccess::newBlock(a);
    linkChain(a, {first, second});
    // The file ends 10 bytes into the first block; the second lies beyond it.
    TestAccess::toPosition(a, first);
    QCOMPARE(TestAccess::writeData(a, "0123456789", 10), qint64(10));
    TestAccess::file(a).flush();
    QCOMPARE(qint64(readHostFile(a.name()).size()), blockOffset(a, first) + 10);

    // Fewer bytes than asked is no error: the transfer ends with what it got.
    QByteArray buffer(200, '\0');
    TestAccess::toPosition(a, first);
    QCOMPARE(TestAccess::readData(a, buffer.data(), 200), qint64(10));
    QCOMPARE(buffer.left(10), QByteArray("0123456789"));
    COMPARE_POSITION(TestAccess::current(a), Position(first, 10));
    VERIFY_FILE_AT_CURRENT(a);

    // The same when the short step is in the next block.
    QVERIFY(writeWholeBlock(a, first, patternBytes(64, 9)));
    TestAccess::toPosition(a, Position(first, 60));
    QCOMPARE(TestAccess::readData(a, buffer.data(), 200), qint64(4));
    QCOMPARE(buffer.left(4), patternBytes(64, 9).mid(60));
    COMPARE_POSITION(TestAccess::current(a), Position(second, 0));
    VERIFY_FILE_AT_CURRENT(a);
}

void ChainIoTest::atLastBlock()
{
    Archive a(path("last.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    TestAccess::toPosition(a, 1);
    QVERIFY(TestAccess::atLastBlock(a));
    TestAccess::toPosition(a, 0);
    QVERIFY(!TestAccess::atLastBlock(a));
    TestAccess::toPosition(a, 1);
    TestAccess::newBlock(a);
    QVERIFY(!TestAccess::atLastBlock(a));
    while (TestAccess::nBlocks(a) < 18)
        TestAccess::newBlock(a);
    TestAccess::toPosition(a, 16);
    QVERIFY(!TestAccess::atLastBlock(a));
    TestAccess::toPosition(a, Position(17, 64));
    QVERIFY(TestAccess::atLastBlock(a));
}

// ---- Damaged chains ---------------------------------------------------------------------

void ChainIoTest::damagedChainOnDisk_data()
{
    // The member's chain is 2 -> 3 -> 4 -> 5 -> 6, 310 bytes; the entry of block 4 is damaged.
    QTest::addColumn<int>("link");
    QTest::addColumn<QList<int>>("readOrder"); // the blocks a reader goes through
    QTest::addColumn<bool>("writable");        // whether a write of the whole member goes through
    QTest::newRow("beyond the table") << 1000 << QList<int>{2, 3, 4} << false;
    QTest::newRow("negative") << -7 << QList<int>{2, 3, 4} << false;
    // The writer takes INVALID as the end of the chain and grows it; the reader stops.
    QTest::newRow("INVALID") << Invalid << QList<int>{2, 3, 4} << true;
    QTest::newRow("cycle") << 3 << QList<int>{2, 3, 4, 3, 4} << true;
    QTest::newRow("self loop") << 4 << QList<int>{2, 3, 4, 4, 4} << true;
}

void ChainIoTest::damagedChainOnDisk()
{
    QFETCH(int, link);
    QFETCH(QList<int>, readOrder);
    QFETCH(bool, writable);
    const QString name = path("damaged.qel");
    const QByteArray original = patternBytes(310, 4);
    {
        Archive a(name, 64);
        QVERIFY(a.open(QIODevice::ReadWrite));
        File member(&a, QStringLiteral("m"));
        QVERIFY(member.open(QIODevice::WriteOnly));
        QCOMPARE(member.write(original), qint64(original.size()));
        member.close();
        QCOMPARE(chainFrom(a, 2), QList<int>({2, 3, 4, 5, 6}));
        QCOMPARE(TestAccess::nBlocks(a), 7);
    }
    QVERIFY(patchHostFile(name, 256 + 4 * 4, be32(link)));
    const bool broken = link < 0 || link >= 7;
    const QByteArray damage = QByteArray("block 4 links to ") + QByteArray::number(link);

    Archive a(name);
    QVERIFY(a.open(QIODevice::ReadWrite));
    // Block k of the chain 2 -> ... -> 6 holds bytes (k - 2) * 64 on of the member.
    QByteArray expected;
    for (int i = 0; i < readOrder.size(); ++i)
        expected += original.mid((readOrder[i] - 2) * 64, qMin(64, 310 - i * 64));

    // The chain reader stops at the damage with a message, or goes round the cycle as far as
    // it is asked.
    TestAccess::toPosition(a, 2);
    QByteArray buffer(310, '\0');
    if (broken)
        QTest::ignoreMessage(QtDebugMsg, ("readData: damaged chain: " + damage).constData());
    QCOMPARE(TestAccess::readData(a, buffer.data(), 310), qint64(expected.size()));
    QCOMPARE(buffer.left(expected.size()), expected);
    if (!broken)
        QCOMPARE(expected.left(192), original.left(192));

    // Walks by index end.
    if (broken)
        QTest::ignoreMessage(QtDebugMsg, ("globalBlock: damaged chain: " + damage).constData());
    QCOMPARE(TestAccess::globalBlock(a, 2, 3), broken ? Invalid : readOrder[3]);
    if (broken)
        QTest::ignoreMessage(QtDebugMsg, ("globalBlock: damaged chain: " + damage).constData());
    QCOMPARE(TestAccess::globalBlock(a, 2, TestAccess::nBlocks(a) - 1), broken ? Invalid : 4);
    QCOMPARE(TestAccess::nFreeBlocks(a), 0);

    // The member file reads short and says so; a seek past the damage fails.
    {
        MessageLog log;
        File member(&a, QStringLiteral("m"));
        QVERIFY(member.open(QIODevice::ReadOnly));
        QCOMPARE(member.readAll(), expected);
        QCOMPARE(member.seek(4 * 64 + 5), !broken);
        if (broken) {
            QVERIFY2(log.count(QStringLiteral("readData: m is damaged: its chain ends before its "
                                              "size")) >= 1,
                     qPrintable(log.messages().join(QLatin1Char('|'))));
        } else {
            QVERIFY2(log.messages().isEmpty(), qPrintable(log.messages().join(QLatin1Char('|'))));
        }
    }

    // The chain writer: a link outside the table fails the write; INVALID ends the chain,
    // which grows from there.
    const QByteArray rewritten = patternBytes(310, 5);
    TestAccess::toPosition(a, 2);
    if (!writable)
        QTest::ignoreMessage(QtDebugMsg, ("writeData: damaged chain: " + damage).constData());
    QCOMPARE(TestAccess::writeData(a, rewritten.constData(), rewritten.size()),
             writable ? qint64(310) : qint64(-1));
    QCOMPARE(blockOnDisk(a, 2), rewritten.left(64));
    if (!writable) {
        // What was written before the damage stays written.
        QCOMPARE(blockOnDisk(a, 3), rewritten.mid(64, 64));
        QCOMPARE(blockOnDisk(a, 4), rewritten.mid(128, 64));
        COMPARE_POSITION(TestAccess::current(a), Position(4, 64));
        QCOMPARE(TestAccess::nBlocks(a), 7);
    } else if (link == Invalid) {
        QCOMPARE(chainFrom(a, 2), QList<int>({2, 3, 4, 7, 8}));
        TestAccess::toPosition(a, 2);
        QCOMPARE(TestAccess::readData(a, buffer.data(), 310), qint64(310));
        QCOMPARE(buffer, rewritten);
    } else {
        QCOMPARE(TestAccess::nBlocks(a), 7);
    }
}

QTEST_GUILESS_MAIN(ChainIoTest)
#include "tst_chainio.moc"
