// Reading and writing along chains: transfers that cross blocks from any offset, failures
// reported as -1, growing a chain by exactly the blocks a write needs, and filling a block.

#include "StorageTestKit.h"

using namespace KestTest;

class ChainIoTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString path(const char* name) const { return dir_->filePath(QString::fromLatin1(name)); }

private slots:
    void init() { dir_.reset(new QTemporaryDir); }

    // From an odd offset: the rest of the first block, a whole block, the start of the third;
    // then on to the end of the chain. A write over the same bytes allocates nothing. A
    // read that the file refuses reports -1 and leaves the position.
    void readAndWriteAcrossBlocks_data()
    {
        QTest::addColumn<unsigned int>("blockSize");
        QTest::addColumn<qint64>("from");
        QTest::addColumn<qint64>("length");
        QTest::newRow("4096") << 4096u << qint64(100) << qint64(10000);
        QTest::newRow("64") << 64u << qint64(37) << qint64(150);
    }
    void readAndWriteAcrossBlocks()
    {
        QFETCH(unsigned int, blockSize);
        QFETCH(qint64, from);
        QFETCH(qint64, length);
        Archive a(path("across.qel"), blockSize);
        QVERIFY(openWithBlocks(a, 6));
        const QList<int> chain{2, 4, 3, 5};
        for (int i = 0; i + 1 < chain.size(); ++i)
            TestAccess::setNextBlock(a, chain[i], chain[i + 1]);
        QByteArray content = patternBytes(4 * blockSize, 1);
        QVERIFY(writeAt(a, 2, content));
        const qint64 end = from + length;
        const Place after(chain[end / blockSize], end % blockSize);

        TestAccess::toPosition(a, Position(2, from));
        QByteArray buffer(length, '\0');
        QCOMPARE(TestAccess::readData(a, buffer.data(), length), length);
        QCOMPARE(buffer, content.mid(from, length));
        QCOMPARE(placeOf(a), after);
        QCOMPARE(TestAccess::file(a).pos(), TestAccess::offset(a, TestAccess::current(a)));
        // Offsets of blocks far beyond 2 GiB are computed in 64 bits.
        QCOMPARE(TestAccess::offset(a, Position(600000, 5)), 256 + 600000 * qint64(blockSize) + 5);
        buffer.fill('\0', content.size());
        QCOMPARE(TestAccess::readData(a, buffer.data(), buffer.size()), content.size() - end);
        QCOMPARE(buffer.left(content.size() - end), content.mid(end));
        QCOMPARE(placeOf(a), Place(5, blockSize));

        const QByteArray data = patternBytes(length, 77);
        TestAccess::toPosition(a, Position(2, from));
        QCOMPARE(TestAccess::writeData(a, data.constData(), length), length);
        QCOMPARE(placeOf(a), after);
        QCOMPARE(TestAccess::nBlocks(a), 6);
        content.replace(from, length, data);
        for (int i = 0; i < chain.size(); ++i)
            QCOMPARE(blockOnDisk(a, chain[i]), content.mid(i * blockSize, blockSize));

        TestAccess::toPosition(a, Position(2, from));
        TestAccess::file(a).restrictOpenMode(QIODevice::WriteOnly);
        QTest::ignoreMessage(QtDebugMsg, "doReadBlock: I/O error");
        QCOMPARE(TestAccess::readData(a, buffer.data(), length), qint64(-1));
        QCOMPARE(placeOf(a), Place(2, from));
    }

    // A write that fills a block exactly allocates nothing; one byte more adds exactly one
    // block to the chain: a free one, or one at the end of the archive. Then the new block
    // is filled.
    void writeFillingBlockThenFill_data()
    {
        QTest::addColumn<unsigned int>("blockSize");
        QTest::addColumn<int>("block");
        QTest::addColumn<bool>("withFree");
        QTest::newRow("64, grows at the end") << 64u << 2 << false;
        // The new cluster's table block must land behind block 15's bytes, not over them.
        QTest::newRow("64, grows into a new cluster") << 64u << 15 << false;
        QTest::newRow("4096, reuses a free block") << 4096u << 2 << true;
    }
    void writeFillingBlockThenFill()
    {
        QFETCH(unsigned int, blockSize);
        QFETCH(int, block);
        QFETCH(bool, withFree);
        Archive a(path("exact.qel"), blockSize);
        QVERIFY(openWithBlocks(a, block + 1));
        // Past the table block of a new cluster.
        int next = TestAccess::nBlocks(a) + (TestAccess::nBlocks(a) % (blockSize / 4) ? 0 : 1);
        if (withFree) {
            const int other = TestAccess::newBlock(a);
            next = TestAccess::newBlock(a);
            TestAccess::freeBlocks(a, other, other);
            TestAccess::freeBlocks(a, next, next);
        }
        const int nBlocks = TestAccess::nBlocks(a);
        const QByteArray data = patternBytes(blockSize, 11);
        QVERIFY(writeAt(a, block, data));
        QCOMPARE(placeOf(a), Place(block, blockSize));
        QCOMPARE(TestAccess::nextBlock(a, block), EndOfChain);

        QCOMPARE(TestAccess::writeData(a, "x", 1), qint64(1));
        QCOMPARE(chainFrom(a, block), QList<int>({block, next}));
        QCOMPARE(placeOf(a), Place(next, 1));
        QCOMPARE(TestAccess::nBlocks(a), withFree ? nBlocks : next + 1);
        QCOMPARE(blockOnDisk(a, block), data);
        const QByteArray before = readHostFile(a.name());
        QCOMPARE(before.right(1), QByteArray("x"));

        // Filling completes the block with zeros, so that the file ends at a block boundary;
        // at the end or at the start of a block it writes nothing.
        TestAccess::fillCurrentBlock(a);
        QCOMPARE(placeOf(a), Place(next, blockSize));
        TestAccess::fillCurrentBlock(a);
        TestAccess::toPosition(a, block);
        TestAccess::fillCurrentBlock(a);
        QCOMPARE(placeOf(a), Place(block, 0));
        QCOMPARE(blockOnDisk(a, block), data);
        QCOMPARE(readHostFile(a.name()), before + QByteArray(blockSize - 1, '\0'));
    }
};

QTEST_GUILESS_MAIN(ChainIoTest)
#include "tst_chainio.moc"
