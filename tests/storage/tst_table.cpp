// The block allocation table: allocation, freeing, chain walks, the changed-cluster bits,
// writing and reading the table blocks, the old-format corrections of the first entries, and
// damaged tables.

#include "File.h"
#include "StorageTestKit.h"

#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace KestTest;
using Kest::Ar::File;
using Kest::Ar::FileEntry;
using Kest::Ar::FolderEntry;

namespace {

QByteArray tableBlockBytes(const QList<int>& entries, int blockSize)
{
    QByteArray bytes = encodeEntries(entries);
    bytes.append(QByteArray(blockSize - bytes.size(), '\0'));
    return bytes;
}

// ---- A model of allocation --------------------------------------------------------------

// What the table must look like after a sequence of allocations and frees: the block count,
// the free list (head first), the chains handed out, and the clusters changed since the
// table was last written.
struct AllocationModel
{
    int n = 0;
    int nBlocks = 0;
    QList<int> freeList;
    QList<QList<int>> chains;
    QSet<int> changedClusters;

    int take()
    {
        if (!freeList.isEmpty()) {
            const int block = freeList.takeFirst();
            changedClusters.insert(block / n);
            return block;
        }
        if (nBlocks % n == 0) {
            // A new cluster: its table block, and the link from the previous one.
            changedClusters.insert(nBlocks / n);
            if (nBlocks > 0)
                changedClusters.insert(nBlocks / n - 1);
            ++nBlocks;
        }
        changedClusters.insert(nBlocks / n);
        return nBlocks++;
    }
    void link(int block) { changedClusters.insert(block / n); }
};

void verifyAgainstModel(Archive& a, const AllocationModel& m, QRandomGenerator& rng)
{
    const int n = m.n;
    const QList<int>& table = TestAccess::table(a);
    QCOMPARE(TestAccess::nBlocks(a), m.nBlocks);
    QCOMPARE(table.size() % n, 0);
    QCOMPARE(TestAccess::changedClusters(a).size(), table.size() / n);
    QCOMPARE(table.size(), (qsizetype(m.nBlocks) + n - 1) / n * n);
    for (qsizetype i = m.nBlocks; i < table.size(); ++i)
        QCOMPARE(table[i], Invalid);

    // The table's own chain.
    const int clusters = int(table.size() / n);
    for (int c = 0; c < clusters; ++c)
        QCOMPARE(table[c * n], c + 1 < clusters ? (c + 1) * n : EndOfChain);

    QCOMPARE(TestAccess::nFreeBlocks(a), int(m.freeList.size()));
    QCOMPARE(freeList(a), m.freeList);

    // Every chain, walked by index as a member file does.
    for (const QList<int>& chain : m.chains) {
        QCOMPARE(chainFrom(a, chain.first()), chain);
        const int probe = int(rng.bounded(chain.size()));
        QCOMPARE(TestAccess::globalBlock(a, chain.first(), 0), chain.first());
        QCOMPARE(TestAccess::globalBlock(a, chain.first(), probe), chain[probe]);
        QCOMPARE(TestAccess::globalBlock(a, chain.first(), int(chain.size())), Invalid);
    }

    // Every block is exactly one of: a table block, the directory's block 1, a block of one
    // chain, a free block.
    QList<int> owners(m.nBlocks, 0);
    for (int c = 0; c < clusters; ++c)
        ++owners[c * n];
    ++owners[1];
    for (const QList<int>& chain : m.chains) {
        for (int block : chain)
            ++owners[block];
    }
    for (int block : m.freeList)
        ++owners[block];
    QCOMPARE(owners, QList<int>(m.nBlocks, 1));

    // The changed-cluster bits are those of every cluster touched since the last write.
    for (int c = 0; c < clusters; ++c)
        QCOMPARE(TestAccess::isClusterChanged(a, c), m.changedClusters.contains(c));
}

// ---- Archives of format versions 2 and 3, built byte by byte ------------------------------

constexpr int LegacyHeaderArea = 64;
constexpr int LegacyBlockSize = 64;
constexpr int LegacyN = LegacyBlockSize / 4;

enum DirectoryShape { OneBlock, ExactlyOneBlock, TwoBlocks, ExactlyTwoBlocks, ManyBlocks };

// The stored form of the tree of such an archive. A file body holds a 4-byte size in
// version 2 and an 8-byte size from version 3 on.
struct LegacyTree
{
    int version = 3;
    QByteArray children;
    int count = 0;

    int fileBodyBase() const { return version <= 2 ? 20 : 24; } // child size without the name

    QByteArray fileChild(const QString& name, qint64 size, int first, int last) const
    {
        return be32(0) + qstringBytes(name) + (version <= 2 ? be32(qint32(size)) : be64(size)) +
               be32(first) + be32(last);
    }
    void addFile(const QString& name, qint64 size = 0, int first = -1, int last = -1)
    {
        children += fileChild(name, size, first, last);
        ++count;
    }
    void addFolderWithFile(const QString& name, const QString& inner)
    {
        children += be32(1) + qstringBytes(name) + be32(1) + fileChild(inner, 0, -1, -1);
        ++count;
    }
    QByteArray root() const
    {
        return qstringBytes(QStringLiteral("qel_root")) + be32(count) + children;
    }
};

struct LegacyArchive
{
    int version = 3;
    int nBlocks = 0;
    int firstFree = EndOfChain;
    QList<int> table; // the entries as the archive's writer meant them, whole clusters
    QList<int> directoryChain;
    QByteArray directory;
    QMap<int, QByteArray> blocks; // the content of member blocks
    QStringList rootNames;
    QString memberName;
    QByteArray memberData;

    QByteArray header() const
    {
        return be32(TestAccess::archiveSignature()) + be32(version) + be32(1) + be32(2) + be32(3) +
               be32(LegacyBlockSize) + be32(nBlocks) + be32(LegacyN) + be32(firstFree) +
               qstringBytes(QStringLiteral("qel_dir")) +
               (version <= 2 ? be32(qint32(directory.size())) : be64(directory.size())) +
               be32(directoryChain.first()) + be32(directoryChain.last());
    }

    // The file as the old writer left it: the header is written last and lies over the first
    // bytes of table block 0.
    QByteArray bytes() const
    {
        QByteArray file(LegacyHeaderArea + qsizetype(nBlocks) * LegacyBlockSize, '\0');
        const auto put = [&file](qint64 at, const QByteArray& bytes) {
            file.replace(at, bytes.size(), bytes);
        };
        for (int c = 0; c * LegacyN < nBlocks; ++c)
            put(blockOffset(LegacyHeaderArea, LegacyBlockSize, c * LegacyN),
                encodeEntries(table.mid(c * LegacyN, LegacyN)));
        for (int i = 0; i < directoryChain.size(); ++i)
            put(blockOffset(LegacyHeaderArea, LegacyBlockSize, directoryChain[i]),
                directory.mid(i * LegacyBlockSize, LegacyBlockSize));
        for (auto it = blocks.cbegin(); it != blocks.cend(); ++it)
            put(blockOffset(LegacyHeaderArea, LegacyBlockSize, it.key()), it.value());
        put(0, header());
        return file;
    }
};

LegacyArchive makeLegacyArchive(int version, DirectoryShape shape, int clusters)
{
    LegacyArchive archive;
    archive.version = version;
    // One cluster, two clusters, or enough clusters for links above 255.
    archive.nBlocks = clusters == 1 ? 16 : clusters == 2 ? 26 : 300;
    const QList<int> directoryOrder = clusters == 1 ? QList<int>{1, 5, 3, 9, 8, 12, 10, 14, 13}
                                      : clusters == 2
                                          ? QList<int>{1, 17, 3, 21, 5, 19, 9, 23, 8}
                                          : QList<int>{1, 290, 3, 270, 5, 259, 9, 299, 8};
    const QList<int> memberChain = clusters == 1 ? QList<int>{2, 4} : QList<int>{18, 2};

    LegacyTree tree;
    tree.version = version;
    archive.memberName = QStringLiteral("d");
    if (shape == ExactlyOneBlock) {
        // A member name that makes the directory exactly one block long.
        const int nameLength = (LegacyBlockSize - 24 - tree.fileBodyBase()) / 2;
        archive.memberName = QString(nameLength, QLatin1Char('m'));
    }
    archive.memberData = patternBytes(100, 7);
    tree.addFile(archive.memberName, archive.memberData.size(), memberChain.first(),
                 memberChain.last());
    archive.rootNames << archive.memberName;
    if (shape == TwoBlocks || shape == ExactlyTwoBlocks || shape == ManyBlocks) {
        tree.addFolderWithFile(QStringLiteral("sub"), QStringLiteral("inner"));
        archive.rootNames << QStringLiteral("sub");
    }
    if (shape == ExactlyTwoBlocks) {
        const int missing = 2 * LegacyBlockSize - int(tree.root().size());
        const QString name((missing - tree.fileBodyBase()) / 2, QLatin1Char('p'));
        tree.addFile(name);
        archive.rootNames << name;
    }
    if (shape == ManyBlocks) {
        for (int i = 0; i < 10; ++i) {
            const QString name = QStringLiteral("f%1").arg(i, 2, 10, QLatin1Char('0'));
            tree.addFile(name);
            archive.rootNames << name;
        }
    }
    archive.directory = tree.root();
    const int directoryBlocks =
        int((archive.directory.size() + LegacyBlockSize - 1) / LegacyBlockSize);
    archive.directoryChain = directoryOrder.mid(0, directoryBlocks);

    // The table as the old writer meant it.
    archive.table = QList<int>(clusters * LegacyN, Invalid);
    for (int c = 0; c < clusters; ++c)
        archive.table[c * LegacyN] = c + 1 < clusters ? (c + 1) * LegacyN : EndOfChain;
    QSet<int> used;
    for (int c = 0; c < clusters; ++c)
        used.insert(c * LegacyN);
    const auto chain = [&](const QList<int>& blocks) {
        for (int i = 0; i < blocks.size(); ++i) {
            archive.table[blocks[i]] = i + 1 < blocks.size() ? blocks[i + 1] : EndOfChain;
            used.insert(blocks[i]);
        }
    };
    chain(archive.directoryChain);
    chain(memberChain);
    // Every other block is free, highest first.
    QList<int> free;
    for (int b = archive.nBlocks - 1; b >= 0; --b) {
        if (!used.contains(b))
            free.append(b);
    }
    chain(free);
    archive.firstFree = free.isEmpty() ? EndOfChain : free.first();

    for (int i = 0; i < memberChain.size(); ++i)
        archive.blocks.insert(memberChain[i],
                              archive.memberData.mid(i * LegacyBlockSize, LegacyBlockSize));
    return archive;
}

QByteArray readMember(Archive& a, const QString& path)
{
    File member(&a, path);
    if (!member.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return member.readAll();
}

bool writeMember(Archive& a, const QString& path, const QByteArray& bytes)
{
    File member(&a, path);
    if (!member.open(QIODevice::WriteOnly) || member.write(bytes) != bytes.size())
        return false;
    member.close();
    return true;
}

} // namespace

class TableTest : public QObject
{
    Q_OBJECT

private slots:
    void firstAllocationsOfNewArchive_data();
    void firstAllocationsOfNewArchive();
    void newClusterGetsTableBlockAndLink_data();
    void newClusterGetsTableBlockAndLink();
    void failedClusterAllocationIsRolledBack_data();
    void failedClusterAllocationIsRolledBack();
    void clusterAllocationOfBareArchiveFails();
    void freeListIsReusedAsAStack_data();
    void freeListIsReusedAsAStack();
    void chainWalks();
    void randomAllocationMatchesModel_data();
    void randomAllocationMatchesModel();
    void writeBatWritesOnlyChangedClusters_data();
    void writeBatWritesOnlyChangedClusters();
    void writeBatFailureKeepsBits();
    void tableRoundTripsThroughNewArchiveObject_data();
    void tableRoundTripsThroughNewArchiveObject();
    void shortTableBlockFailsOpen();
    void batToStringListing_data();
    void batToStringListing();
    void fragmentation_data();
    void fragmentation();
    void damagedFreeList_data();
    void damagedFreeList();
    void legacyTableIsCorrected_data();
    void legacyTableIsCorrected();
    void legacyArchiveGrowsItsDirectoryAndReopens_data();
    void legacyArchiveGrowsItsDirectoryAndReopens();
    void legacyDirectoryThatCannotBeRecovered_data();
    void legacyDirectoryThatCannotBeRecovered();

    // Every test and every row works in a directory of its own.
    void init() { dir_.reset(new QTemporaryDir); }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString path(const char* name) const { return dir_->filePath(QString::fromLatin1(name)); }
};

// ---- Allocation -------------------------------------------------------------------------

void TableTest::firstAllocationsOfNewArchive_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::newRow("64") << 64u;
    // Not a multiple of 4: the last two bytes of a table block stay zero.
    QTest::newRow("66") << 66u;
    QTest::newRow("4096") << 4096u;
}

void TableTest::firstAllocationsOfNewArchive()
{
    QFETCH(unsigned int, blockSize);
    const int n = int(blockSize / 4);
    Archive a(path("first.qel"), blockSize);
    QVERIFY(openBare(a));
    QCOMPARE(TestAccess::nBlocks(a), 0);
    QVERIFY(TestAccess::table(a).isEmpty());

    QCOMPARE(TestAccess::newBlock(a), 1);
    QCOMPARE(TestAccess::nBlocks(a), 2);
    QList<int> expected(n, Invalid);
    expected[0] = EndOfChain;
    expected[1] = EndOfChain;
    QCOMPARE(TestAccess::table(a), expected);
    QCOMPARE(TestAccess::changedClusters(a).size(), 1);
    QVERIFY(TestAccess::isClusterChanged(a, 0));

    // On disk: the table block was encoded before block 1 was handed out, and nothing else
    // was written.
    TestAccess::file(a).flush();
    QByteArray bytes = readHostFile(a.name());
    QCOMPARE(bytes.size(), qsizetype(256 + blockSize));
    QList<int> stored(n, Invalid);
    stored[0] = EndOfChain;
    QCOMPARE(bytes.mid(256), tableBlockBytes(stored, int(blockSize)));

    // A second block follows without a link: linking is the caller's business.
    QCOMPARE(TestAccess::newBlock(a), 2);
    QCOMPARE(TestAccess::nextBlock(a, 1), EndOfChain);
    expected[2] = EndOfChain;

    TestAccess::writeBat(a);
    QVERIFY(!TestAccess::isClusterChanged(a, 0));
    bytes = readHostFile(a.name());
    QCOMPARE(bytes.size(), qsizetype(256 + blockSize));
    QCOMPARE(bytes.mid(256), tableBlockBytes(expected, int(blockSize)));
    // The position ends after the table block just written.
    QCOMPARE(TestAccess::current(a).block, 0);
    QCOMPARE(TestAccess::current(a).offset, qint64(blockSize));
    QCOMPARE(TestAccess::file(a).pos(), blockOffset(a, 1));
}

void TableTest::newClusterGetsTableBlockAndLink_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::newRow("64") << 64u;
    QTest::newRow("4096") << 4096u;
}

void TableTest::newClusterGetsTableBlockAndLink()
{
    QFETCH(unsigned int, blockSize);
    const int n = int(blockSize / 4);
    Archive a(path("cluster.qel"), blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));
    for (int b = 2; b < n; ++b)
        QCOMPARE(TestAccess::newBlock(a), b);
    QCOMPARE(TestAccess::nBlocks(a), n);
    TestAccess::writeBat(a);

    // Streams write their blocks out in full, so the file ends where the next cluster begins.
    const QByteArray lastData = patternBytes(blockSize, 3);
    QVERIFY(writeWholeBlock(a, n - 1, lastData));

    QCOMPARE(TestAccess::newBlock(a), n + 1);
    QCOMPARE(TestAccess::nBlocks(a), n + 2);
    QCOMPARE(TestAccess::table(a).size(), 2 * n);
    QCOMPARE(TestAccess::nextBlock(a, 0), n);
    QCOMPARE(TestAccess::nextBlock(a, n), EndOfChain);
    QCOMPARE(TestAccess::nextBlock(a, n + 1), EndOfChain);
    QVERIFY(TestAccess::isClusterChanged(a, 0));
    QVERIFY(TestAccess::isClusterChanged(a, 1));

    // The new table block was written at once at its own place; the data before it is
    // intact, and the link in table block 0 waits for the next write of the table.
    QList<int> stored(n, Invalid);
    stored[0] = EndOfChain;
    QCOMPARE(storedTableBlock(a, n), stored);
    QCOMPARE(qint64(readHostFile(a.name()).size()), blockOffset(a, n + 1));
    QCOMPARE(readHostFile(a.name()).mid(blockOffset(a, n - 1), blockSize), lastData);
    QCOMPARE(storedTableBlock(a, 0).first(), EndOfChain);

    TestAccess::writeBat(a);
    QCOMPARE(storedTableBlock(a, 0), tableOfCluster(a, 0));
    QCOMPARE(storedTableBlock(a, 0).first(), n);
    stored[1] = EndOfChain;
    QCOMPARE(storedTableBlock(a, n), stored);
}

void TableTest::failedClusterAllocationIsRolledBack_data()
{
    QTest::addColumn<bool>("previousChanged");
    QTest::addColumn<bool>("throughWriter");
    QTest::newRow("previous clean") << false << false;
    QTest::newRow("previous changed") << true << false;
    QTest::newRow("through the chain writer") << false << true;
}

void TableTest::failedClusterAllocationIsRolledBack()
{
    QFETCH(bool, previousChanged);
    QFETCH(bool, throughWriter);
    const int n = 16;
    Archive a(path("rollback.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    for (int b = 2; b < n; ++b)
        TestAccess::newBlock(a);
    QVERIFY(writeWholeBlock(a, n - 1, patternBytes(64, 5)));
    TestAccess::writeBat(a);
    if (previousChanged)
        TestAccess::setNextBlock(a, 3, EndOfChain);
    TestAccess::file(a).flush();

    const QList<int> table = TestAccess::table(a);
    const QBitArray bits = TestAccess::changedClusters(a);
    const QByteArray file = readHostFile(a.name());

    // The table block cannot be written: the archive file refuses writes.
    TestAccess::file(a).restrictOpenMode(QIODevice::ReadOnly);
    if (throughWriter) {
        TestAccess::toPosition(a, Archive::Position(n - 1, 64));
        QTest::ignoreMessage(QtDebugMsg, "allocateNewCluster: cannot write BAT entries");
        QCOMPARE(TestAccess::writeData(a, "x", 1), qint64(-1));
        QCOMPARE(TestAccess::current(a).block, n - 1);
        QCOMPARE(TestAccess::current(a).offset, qint64(64));
    } else {
        QCOMPARE(failureOf([&] { TestAccess::newBlock(a); }),
                 QStringLiteral("allocateNewCluster: cannot write BAT entries"));
    }
    QCOMPARE(TestAccess::table(a), table);
    QCOMPARE(TestAccess::changedClusters(a), bits);
    QCOMPARE(TestAccess::nBlocks(a), n);
    QCOMPARE(TestAccess::firstFreeBlock(a), EndOfChain);
    QCOMPARE(readHostFile(a.name()), file);

    // Once the file accepts writes again, the cluster is made at the same place.
    TestAccess::file(a).restrictOpenMode(QIODevice::ReadWrite);
    QCOMPARE(TestAccess::newBlock(a), n + 1);
    QCOMPARE(TestAccess::nBlocks(a), n + 2);
    QCOMPARE(TestAccess::nextBlock(a, 0), n);
    QCOMPARE(TestAccess::table(a).size(), 2 * n);
    QCOMPARE(TestAccess::changedClusters(a).size(), 2);
    QCOMPARE(storedTableBlock(a, n).first(), EndOfChain);
    TestAccess::writeBat(a);
    QCOMPARE(storedTableBlock(a, 0).first(), n);
}

void TableTest::clusterAllocationOfBareArchiveFails()
{
    Archive a(path("bare.qel"), 64);
    QVERIFY(openBare(a));
    const qint64 headerOnly = readHostFile(a.name()).size();

    TestAccess::file(a).restrictOpenMode(QIODevice::ReadOnly);
    QCOMPARE(failureOf([&] { TestAccess::newBlock(a); }),
             QStringLiteral("allocateNewCluster: cannot write BAT entries"));
    QVERIFY(TestAccess::table(a).isEmpty());
    QVERIFY(TestAccess::changedClusters(a).isEmpty());
    QCOMPARE(TestAccess::nBlocks(a), 0);
    QCOMPARE(readHostFile(a.name()).size(), headerOnly);

    TestAccess::file(a).restrictOpenMode(QIODevice::ReadWrite);
    QCOMPARE(TestAccess::newBlock(a), 1);

    // Without an open file the end of the archive cannot be reached; nothing changes.
    Archive closed(path("closed.qel"), 64);
    QVERIFY(openBare(closed));
    TestAccess::file(closed).close();
    QCOMPARE(failureOf([&] { TestAccess::newBlock(closed); }),
             QStringLiteral("allocateNewCluster: cannot move to end of archive"));
    QVERIFY(TestAccess::table(closed).isEmpty());
    QVERIFY(TestAccess::changedClusters(closed).isEmpty());
    QCOMPARE(TestAccess::nBlocks(closed), 0);
}

void TableTest::freeListIsReusedAsAStack_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::newRow("64") << 64u;
    QTest::newRow("4096") << 4096u;
}

void TableTest::freeListIsReusedAsAStack()
{
    QFETCH(unsigned int, blockSize);
    Archive a(path("stack.qel"), blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));
    for (int b = 2; b <= 7; ++b)
        QCOMPARE(TestAccess::newBlock(a), b);
    QCOMPARE(TestAccess::nFreeBlocks(a), 0);

    // The free list already holds block 7 when the chain 5 -> 3 -> 6 is freed.
    TestAccess::freeBlocks(a, 7, 7);
    TestAccess::setNextBlock(a, 5, 3);
    TestAccess::setNextBlock(a, 3, 6);
    TestAccess::freeBlocks(a, 5, 6);
    QCOMPARE(TestAccess::firstFreeBlock(a), 5);
    QCOMPARE(TestAccess::nFreeBlocks(a), 4);
    QCOMPARE(freeList(a), QList<int>({5, 3, 6, 7}));

    const QList<int> expected{5, 3, 6, 7};
    for (int i = 0; i < expected.size(); ++i) {
        TestAccess::writeBat(a);
        const int block = TestAccess::newBlock(a);
        QCOMPARE(block, expected[i]);
        QCOMPARE(TestAccess::nextBlock(a, block), EndOfChain);
        QVERIFY(TestAccess::isClusterChanged(a, 0));
        QCOMPARE(TestAccess::nFreeBlocks(a), int(expected.size()) - i - 1);
        QCOMPARE(TestAccess::nBlocks(a), 8);
    }
    QCOMPARE(TestAccess::firstFreeBlock(a), EndOfChain);
    // With the list empty, the archive grows again.
    QCOMPARE(TestAccess::newBlock(a), 8);
    QCOMPARE(TestAccess::nBlocks(a), 9);
}

void TableTest::chainWalks()
{
    Archive a(path("walks.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    QCOMPARE(TestAccess::nFreeBlocks(a), 0);
    while (TestAccess::nBlocks(a) < 24)
        TestAccess::newBlock(a);
    // 4 -> 20 -> 2 -> 17 crosses into the second cluster and back.
    TestAccess::setNextBlock(a, 4, 20);
    TestAccess::setNextBlock(a, 20, 2);
    TestAccess::setNextBlock(a, 2, 17);
    QCOMPARE(TestAccess::globalBlock(a, 4, 0), 4);
    QCOMPARE(TestAccess::globalBlock(a, 4, 1), 20);
    QCOMPARE(TestAccess::globalBlock(a, 4, 2), 2);
    QCOMPARE(TestAccess::globalBlock(a, 4, 3), 17);
    QCOMPARE(TestAccess::globalBlock(a, 4, 4), Invalid);
    QCOMPARE(TestAccess::globalBlock(a, 4, TestAccess::nBlocks(a) - 1), Invalid);
    QCOMPARE(TestAccess::globalBlock(a, 17, 0), 17);
    QCOMPARE(TestAccess::globalBlock(a, 17, 1), Invalid);
    QCOMPARE(TestAccess::cluster(a, 15), 0);
    QCOMPARE(TestAccess::cluster(a, 16), 1);

    TestAccess::freeBlocks(a, 4, 17);
    QCOMPARE(TestAccess::nFreeBlocks(a), 4);
    TestAccess::freeBlocks(a, 9, 9);
    QCOMPARE(TestAccess::nFreeBlocks(a), 5);
    QCOMPARE(freeList(a), QList<int>({9, 4, 20, 2, 17}));
}

void TableTest::randomAllocationMatchesModel_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("64, seed 1") << 64u << 1u;
    QTest::newRow("64, seed 2") << 64u << 2u;
    QTest::newRow("68, seed 3") << 68u << 3u;
    QTest::newRow("128, seed 4") << 128u << 4u;
}

void TableTest::randomAllocationMatchesModel()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(quint32, seed);
    QRandomGenerator rng(seed);
    Archive a(path("random.qel"), blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));

    AllocationModel m;
    m.n = int(blockSize / 4);
    m.nBlocks = 2;

    for (int step = 0; step < 700; ++step) {
        const int choice = int(rng.bounded(100));
        if (choice < 35 || m.chains.isEmpty()) {
            // A new chain, grown block by block as the chain writer grows one.
            QList<int> chain;
            const int length = 1 + int(rng.bounded(6));
            for (int i = 0; i < length; ++i) {
                const int expected = m.take();
                const int block = TestAccess::newBlock(a);
                QCOMPARE(block, expected);
                QCOMPARE(TestAccess::nextBlock(a, block), EndOfChain);
                if (!chain.isEmpty()) {
                    TestAccess::setNextBlock(a, chain.last(), block);
                    m.link(chain.last());
                }
                chain.append(block);
            }
            m.chains.append(chain);
        } else if (choice < 50) {
            QList<int>& chain = m.chains[rng.bounded(m.chains.size())];
            for (int i = 1 + int(rng.bounded(4)); i > 0; --i) {
                const int expected = m.take();
                const int block = TestAccess::newBlock(a);
                QCOMPARE(block, expected);
                TestAccess::setNextBlock(a, chain.last(), block);
                m.link(chain.last());
                chain.append(block);
            }
        } else if (choice < 70) {
            const QList<int> chain = m.chains.takeAt(rng.bounded(m.chains.size()));
            TestAccess::freeBlocks(a, chain.first(), chain.last());
            m.link(chain.last());
            m.freeList = chain + m.freeList;
        } else if (choice < 85) {
            // The tail after a new last block goes back, as when a member file shrinks.
            QList<int>& chain = m.chains[rng.bounded(m.chains.size())];
            if (chain.size() < 2)
                continue;
            const int keep = 1 + int(rng.bounded(chain.size() - 1));
            const QList<int> tail = chain.mid(keep);
            TestAccess::freeBlocks(a, tail.first(), tail.last());
            m.link(tail.last());
            TestAccess::setNextBlock(a, chain[keep - 1], EndOfChain);
            m.link(chain[keep - 1]);
            chain.resize(keep);
            m.freeList = tail + m.freeList;
        } else if (choice < 93) {
            verifyAgainstModel(a, m, rng);
            if (QTest::currentTestFailed())
                return;
        } else {
            // Writing the table clears every bit, and the table blocks on disk then hold
            // exactly the table in memory.
            TestAccess::writeBat(a);
            m.changedClusters.clear();
            const int clusters = int(TestAccess::changedClusters(a).size());
            for (int c = 0; c < clusters; ++c)
                QCOMPARE(storedTableBlock(a, c * m.n), tableOfCluster(a, c));
        }
        QCOMPARE(TestAccess::nBlocks(a), m.nBlocks);
        QCOMPARE(TestAccess::nFreeBlocks(a), int(m.freeList.size()));
    }
    verifyAgainstModel(a, m, rng);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(TestAccess::changedClusters(a).size() >= 3, "the sequence should span clusters");

    TestAccess::flush(a, false);
    const QList<int> table = TestAccess::table(a);
    a.close();
    Archive reopened(path("random.qel"));
    QVERIFY(reopened.open(QIODevice::ReadOnly));
    QCOMPARE(TestAccess::table(reopened), table);
    m.changedClusters.clear();
    verifyAgainstModel(reopened, m, rng);
}

// ---- Writing and reading the table ------------------------------------------------------

void TableTest::writeBatWritesOnlyChangedClusters_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::newRow("64") << 64u;
    QTest::newRow("66") << 66u;
    QTest::newRow("128") << 128u;
}

void TableTest::writeBatWritesOnlyChangedClusters()
{
    QFETCH(unsigned int, blockSize);
    const int n = int(blockSize / 4);
    const QString name = path("changed.qel");
    Archive a(name, blockSize);
    QVERIFY(a.open(QIODevice::ReadWrite));
    while (TestAccess::changedClusters(a).size() < 4)
        TestAccess::newBlock(a);
    TestAccess::writeBat(a);
    QCOMPARE(TestAccess::changedClusters(a), QBitArray(4, false));

    // Scribble over every table block on disk: only a rewritten block loses the scribble.
    const QByteArray scribble(qsizetype(blockSize), '\x5A');
    for (int c = 0; c < 4; ++c)
        QVERIFY(patchHostFile(name, blockOffset(a, c * n), scribble));
    QByteArray expected = readHostFile(name);

    TestAccess::setNextBlock(a, n + 3, 2 * n + 1);
    TestAccess::setNextBlock(a, 3 * n + 1, 5);
    QBitArray bits(4, false);
    bits.setBit(1);
    bits.setBit(3);
    QCOMPARE(TestAccess::changedClusters(a), bits);

    TestAccess::writeBat(a);
    for (int c : {1, 3})
        expected.replace(blockOffset(a, c * n), blockSize,
                         tableBlockBytes(tableOfCluster(a, c), int(blockSize)));
    QCOMPARE(readHostFile(name), expected);
    QCOMPARE(TestAccess::changedClusters(a), QBitArray(4, false));
    QCOMPARE(TestAccess::current(a).block, 3 * n);
    QCOMPARE(TestAccess::current(a).offset, qint64(blockSize));

    // With no bit set, nothing at all is written.
    for (int c = 0; c < 4; ++c)
        QVERIFY(patchHostFile(name, blockOffset(a, c * n), scribble));
    expected = readHostFile(name);
    TestAccess::toPosition(a, Archive::Position(2, 7));
    TestAccess::writeBat(a);
    QCOMPARE(readHostFile(name), expected);
    QCOMPARE(TestAccess::current(a).block, 2);
    QCOMPARE(TestAccess::current(a).offset, qint64(7));
}

void TableTest::writeBatFailureKeepsBits()
{
    Archive a(path("writefail.qel"), 64);
    QVERIFY(a.open(QIODevice::ReadWrite));
    while (TestAccess::changedClusters(a).size() < 2)
        TestAccess::newBlock(a);
    TestAccess::file(a).flush();
    const QByteArray file = readHostFile(a.name());
    TestAccess::file(a).restrictOpenMode(QIODevice::ReadOnly);
    QCOMPARE(failureOf([&] { TestAccess::writeBat(a); }),
             QStringLiteral("writeBAT: cannot write BAT block"));
    QCOMPARE(TestAccess::changedClusters(a), QBitArray(2, true));
    QCOMPARE(readHostFile(a.name()), file);
    TestAccess::file(a).restrictOpenMode(QIODevice::ReadWrite);
    TestAccess::writeBat(a);
    QCOMPARE(TestAccess::changedClusters(a), QBitArray(2, false));
}

void TableTest::tableRoundTripsThroughNewArchiveObject_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<int>("clusters");
    QTest::newRow("64, 5 clusters") << 64u << 5;
    QTest::newRow("4096, 3 clusters") << 4096u << 3;
}

void TableTest::tableRoundTripsThroughNewArchiveObject()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(int, clusters);
    const int n = int(blockSize / 4);
    const QString name = path("roundtrip.qel");
    QList<int> table;
    QList<QList<int>> chains;
    int freeHead = EndOfChain;
    QList<int> freeBlocks;
    int chainCount = 0;
    {
        Archive a(name, blockSize);
        QVERIFY(a.open(QIODevice::ReadWrite));
        while (TestAccess::nBlocks(a) < (clusters - 1) * n + n / 2)
            TestAccess::newBlock(a);
        // Shuffle the data blocks into chains, and free every third chain.
        QList<int> blocks;
        for (int b = 2; b < TestAccess::nBlocks(a); ++b) {
            if (b % n != 0)
                blocks.append(b);
        }
        QRandomGenerator rng(99);
        std::shuffle(blocks.begin(), blocks.end(), rng);
        while (!blocks.isEmpty()) {
            const int length = qMin(int(blocks.size()), 1 + int(rng.bounded(12)));
            QList<int> chain = blocks.mid(0, length);
            blocks.remove(0, length);
            for (int i = 0; i + 1 < chain.size(); ++i)
                TestAccess::setNextBlock(a, chain[i], chain[i + 1]);
            if (++chainCount % 3 == 0)
                TestAccess::freeBlocks(a, chain.first(), chain.last());
            else
                chains.append(chain);
        }
        TestAccess::flush(a, false);
        table = TestAccess::table(a);
        freeHead = TestAccess::firstFreeBlock(a);
        freeBlocks = freeList(a);
        QVERIFY(freeBlocks.size() > n / 2);
        QCOMPARE(table.size(), qsizetype(clusters) * n);
        a.close();
    }
    for (QIODevice::OpenMode mode : {QIODevice::ReadOnly, QIODevice::ReadWrite}) {
        // The constructor's block size does not matter for an existing archive.
        Archive b(name);
        QVERIFY(b.open(mode));
        QCOMPARE(b.blockSize(), blockSize);
        QCOMPARE(TestAccess::nBlocksPerCluster(b), n);
        QCOMPARE(TestAccess::table(b), table);
        QCOMPARE(TestAccess::changedClusters(b), QBitArray(clusters, false));
        QCOMPARE(TestAccess::firstFreeBlock(b), freeHead);
        QCOMPARE(freeList(b), freeBlocks);
        for (const QList<int>& chain : chains)
            QCOMPARE(chainFrom(b, chain.first()), chain);
        b.close();
    }

    // Reading the table leaves the position at the end of the last table block read.
    Archive c(name);
    QVERIFY(TestAccess::file(c).open(QIODevice::ReadOnly));
    TestAccess::readHeader(c);
    TestAccess::readBat(c);
    QCOMPARE(TestAccess::table(c), table);
    QCOMPARE(TestAccess::current(c).block, (clusters - 1) * n);
    QCOMPARE(TestAccess::current(c).offset, qint64(blockSize));
    QCOMPARE(TestAccess::file(c).pos(), blockOffset(c, (clusters - 1) * n + 1));
}

void TableTest::shortTableBlockFailsOpen()
{
    const QString name = path("short.qel");
    {
        Archive a(name, 64);
        QVERIFY(a.open(QIODevice::ReadWrite));
        while (TestAccess::nBlocks(a) < 20)
            TestAccess::newBlock(a);
        TestAccess::flush(a, false);
    }
    // The second table block ends before its last entry.
    QFile file(name);
    QVERIFY(file.resize(256 + 16 * 64 + 40));
    Archive b(name);
    QTest::ignoreMessage(QtDebugMsg, "readBAT: cannot read BAT block");
    QVERIFY(!b.open(QIODevice::ReadOnly));
    QCOMPARE(b.mode(), 0);
}

// ---- Diagnostics ------------------------------------------------------------------------

void TableTest::batToStringListing_data()
{
    QTest::addColumn<int>("entries");
    QTest::newRow("empty") << 0;
    QTest::newRow("16") << 16;
    QTest::newRow("256") << 256;
    QTest::newRow("257") << 257;
    QTest::newRow("2048") << 2048;
}

void TableTest::batToStringListing()
{
    QFETCH(int, entries);
    Archive a(path("listing.qel"));
    if (entries == 0) {
        QCOMPARE(TestAccess::batToString(a), QStringLiteral("*** BAT is empty ***"));
        return;
    }
    const auto valueOf = [](int i) {
        return i % 7 == 0 ? Invalid : i % 5 == 0 ? EndOfChain : i % 11 == 0 ? -5 : 3 * i;
    };
    QList<int> table;
    for (int i = 0; i < entries; ++i)
        table.append(valueOf(i));
    TestAccess::table(a) = table;

    const QString text = TestAccess::batToString(a);
    QVERIFY(text.endsWith(QLatin1Char('\n')));
    const QStringList lines = text.chopped(1).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), qMin(entries, 256));
    for (int i = 0; i < lines.size(); ++i) {
        const int value = valueOf(i);
        const QString shown = value == Invalid      ? QStringLiteral("INVALID")
                              : value == EndOfChain ? QStringLiteral("END_OF_CHAIN")
                                                    : QString::number(value);
        QCOMPARE(lines[i], QStringLiteral("table[%1] = %2").arg(i).arg(shown));
    }
    QCOMPARE(lines.first(), QStringLiteral("table[0] = INVALID"));
    QCOMPARE(lines[5], QStringLiteral("table[5] = END_OF_CHAIN"));
    QCOMPARE(lines[11], QStringLiteral("table[11] = -5"));
    QCOMPARE(lines[1], QStringLiteral("table[1] = 3"));
}

void TableTest::fragmentation_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<int>("nBlocks");
    QTest::addColumn<QList<int>>("freeBlocks");
    QTest::addColumn<QList<qint64>>("memberSizes");
    QTest::addColumn<double>("internal");
    QTest::addColumn<double>("external");

    QTest::newRow("no blocks") << 64u << 0 << QList<int>() << QList<qint64>{100} << 0.0 << 0.0;
    // 7 blocks of 64 bytes in use, 130 bytes of member data.
    QTest::newRow("hand-built") << 64u << 10 << QList<int>{4, 7, 9} << QList<qint64>{100, 30}
                                << (448.0 - 130.0) / 448.0 << 0.3;
    QTest::newRow("no data, nothing free")
        << 64u << 4 << QList<int>() << QList<qint64>() << 1.0 << 0.0;
    QTest::newRow("all data blocks free")
        << 4096u << 8 << QList<int>{1, 2, 3, 4, 5, 6, 7} << QList<qint64>() << 1.0 << 7.0 / 8.0;
    // More used bytes than 32 bits can count.
    QTest::newRow("large") << 4096u << 3000000 << QList<int>{2999999, 17}
                           << QList<qint64>{5000000000LL, 7}
                           << (2999998.0 * 4096.0 - 5000000007.0) / (2999998.0 * 4096.0)
                           << 2.0 / 3000000.0;
}

void TableTest::fragmentation()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(int, nBlocks);
    QFETCH(QList<int>, freeBlocks);
    QFETCH(QList<qint64>, memberSizes);
    QFETCH(double, internal);
    QFETCH(double, external);

    Archive a(path("fragmentation.qel"), blockSize);
    const int n = int(blockSize / 4);
    QList<int> table((qsizetype(nBlocks) + n - 1) / n * n, Invalid);
    for (int i = 0; i < freeBlocks.size(); ++i)
        table[freeBlocks[i]] = i + 1 < freeBlocks.size() ? freeBlocks[i + 1] : EndOfChain;
    TestAccess::table(a) = table;
    TestAccess::nBlocks(a) = nBlocks;
    TestAccess::firstFreeBlock(a) = freeBlocks.isEmpty() ? EndOfChain : freeBlocks.first();
    // Member sizes count wherever the members are in the tree.
    FolderEntry* sub = new FolderEntry(QStringLiteral("sub"));
    TestAccess::root(a)->addChild(sub);
    for (int i = 0; i < memberSizes.size(); ++i) {
        FolderEntry* folder = i % 2 ? sub : TestAccess::root(a);
        folder->newFile(QStringLiteral("m%1").arg(i))->setSize(memberSizes[i]);
    }
    QCOMPARE(a.fragmentation(Archive::InternalFragmentation), internal);
    QCOMPARE(a.fragmentation(Archive::ExternalFragmentation), external);
}

// ---- Damaged tables ---------------------------------------------------------------------

void TableTest::damagedFreeList_data()
{
    QTest::addColumn<int>("link");        // the new entry of block 8, the free list's end
    QTest::addColumn<int>("counted");     // what nFreeBlocks reports
    QTest::addColumn<QString>("message"); // what it says about the damage
    // The free list is 3 -> 5 -> 8 in an archive of 12 blocks.
    QTest::newRow("cycle") << 3 << 12
                           << QStringLiteral("nFreeBlocks: the free list is damaged after 12 "
                                             "blocks");
    QTest::newRow("beyond the table")
        << 500 << 3 << QStringLiteral("nFreeBlocks: the free list is damaged after 3 blocks");
    QTest::newRow("negative") << -9 << 3
                              << QStringLiteral("nFreeBlocks: the free list is damaged after 3 "
                                                "blocks");
    QTest::newRow("INVALID") << Invalid << 3
                             << QStringLiteral("nFreeBlocks: the free list is damaged after 3 "
                                               "blocks");
}

void TableTest::damagedFreeList()
{
    QFETCH(int, link);
    QFETCH(int, counted);
    QFETCH(QString, message);
    const QString name = path("damagedfree.qel");
    {
        Archive a(name, 64);
        QVERIFY(a.open(QIODevice::ReadWrite));
        while (TestAccess::nBlocks(a) < 12)
            TestAccess::newBlock(a);
        TestAccess::setNextBlock(a, 3, 5);
        TestAccess::setNextBlock(a, 5, 8);
        TestAccess::freeBlocks(a, 3, 8);
        TestAccess::flush(a, false);
    }
    QVERIFY(patchHostFile(name, 256 + 8 * 4, be32(link)));

    Archive a(name);
    QVERIFY(a.open(QIODevice::ReadWrite));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QCOMPARE(TestAccess::nFreeBlocks(a), counted);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QCOMPARE(a.fragmentation(Archive::ExternalFragmentation), counted / 12.0);
    QCOMPARE(TestAccess::globalBlock(a, 3, 2), 8);
    if (link == 3) {
        // The walk goes round the cycle and stops where its count says.
        QCOMPARE(TestAccess::globalBlock(a, 3, 11), 8);
        return;
    }
    // Allocation uses the list up to the damage and then grows the archive.
    QCOMPARE(TestAccess::newBlock(a), 3);
    QCOMPARE(TestAccess::newBlock(a), 5);
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("newBlock: the free list is damaged after "
                                                   "block 8 (link %1); the rest of it is not "
                                                   "used")
                                        .arg(link)));
    QCOMPARE(TestAccess::newBlock(a), 8);
    QCOMPARE(TestAccess::firstFreeBlock(a), EndOfChain);
    QCOMPARE(TestAccess::newBlock(a), 12);
}

// ---- Format versions 2 and 3 ------------------------------------------------------------

void TableTest::legacyTableIsCorrected_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("clusters");
    QTest::addColumn<int>("directoryBlocks");
    QTest::addColumn<bool>("readOnly");

    const struct
    {
        const char* name;
        DirectoryShape shape;
        int blocks[2]; // directory blocks in version 2 and 3
    } shapes[] = {{"one block", OneBlock, {1, 1}},
                  {"exactly one block", ExactlyOneBlock, {1, 1}},
                  {"two blocks", TwoBlocks, {2, 2}},
                  {"exactly two blocks", ExactlyTwoBlocks, {2, 2}},
                  {"many blocks", ManyBlocks, {6, 7}}};
    for (int version : {2, 3}) {
        for (const auto& shape : shapes) {
            for (int clusters : {1, 2, 19}) {
                if (clusters == 19 && shape.shape != ManyBlocks)
                    continue;
                for (bool readOnly : {true, false}) {
                    QTest::addRow("v%d, %s, %d cluster(s), %s", version, shape.name, clusters,
                                  readOnly ? "read-only" : "read-write")
                        << version << int(shape.shape) << clusters << shape.blocks[version - 2]
                        << readOnly;
                }
            }
        }
    }
}

void TableTest::legacyTableIsCorrected()
{
    QFETCH(int, version);
    QFETCH(int, shape);
    QFETCH(int, clusters);
    QFETCH(int, directoryBlocks);
    QFETCH(bool, readOnly);

    const LegacyArchive legacy = makeLegacyArchive(version, DirectoryShape(shape), clusters);
    QCOMPARE(legacy.directoryChain.size(), directoryBlocks);
    if (shape == ExactlyOneBlock || shape == ExactlyTwoBlocks)
        QCOMPARE(legacy.directory.size() % LegacyBlockSize, 0);
    const QByteArray bytes = legacy.bytes();
    // The header really lies over the stored table entries.
    QVERIFY(decodeEntries(bytes, LegacyHeaderArea, 1).first() != legacy.table[0]);
    if (version == 3)
        QVERIFY(decodeEntries(bytes, LegacyHeaderArea + 4, 1).first() != legacy.table[1]);

    const QString name = path("legacy.qel");
    QVERIFY(writeHostFile(name, bytes));
    Archive a(name);
    MessageLog log;
    QVERIFY(a.open(readOnly ? QIODevice::ReadOnly : QIODevice::ReadWrite));
    QCOMPARE(a.formatVersion(), version);
    QCOMPARE(TestAccess::headerSize(a), 64u);
    QCOMPARE(TestAccess::nextBlock(a, 0), clusters > 1 ? LegacyN : EndOfChain);
    QCOMPARE(TestAccess::nextBlock(a, 1),
             directoryBlocks > 1 ? legacy.directoryChain[1] : EndOfChain);
    QCOMPARE(TestAccess::table(a), legacy.table);
    // The corrections stay in memory until something else changes cluster 0.
    QCOMPARE(TestAccess::changedClusters(a), QBitArray(clusters, false));

    QCOMPARE(a.list(), legacy.rootNames);
    if (legacy.rootNames.contains(QStringLiteral("sub")))
        QVERIFY(a.fileExists(QStringLiteral("/sub/inner")));
    QCOMPARE(readMember(a, legacy.memberName), legacy.memberData);
    // A sound archive of an old version is read without a word.
    QVERIFY2(log.messages().isEmpty(), qPrintable(log.messages().join(QLatin1Char('|'))));
}

void TableTest::legacyArchiveGrowsItsDirectoryAndReopens_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("clusters");
    QTest::newRow("v2, 1 cluster") << 2 << 1;
    QTest::newRow("v2, 2 clusters") << 2 << 2;
    QTest::newRow("v3, 1 cluster") << 3 << 1;
    QTest::newRow("v3, 2 clusters") << 3 << 2;
}

void TableTest::legacyArchiveGrowsItsDirectoryAndReopens()
{
    QFETCH(int, version);
    QFETCH(int, clusters);
    const LegacyArchive legacy = makeLegacyArchive(version, OneBlock, clusters);
    const QString name = path("grown.qel");
    QVERIFY(writeHostFile(name, legacy.bytes()));

    QStringList names = legacy.rootNames;
    QMap<QString, QByteArray> members{{legacy.memberName, legacy.memberData}};
    QList<int> table;
    // Two generations: the old archive grows its directory, then the written-back one again.
    for (int generation = 0; generation < 2; ++generation) {
        Archive a(name);
        QVERIFY(a.open(QIODevice::ReadWrite));
        for (int i = 0; i < 8; ++i) {
            const QString folder = QStringLiteral("g%1folder%2").arg(generation).arg(i);
            QVERIFY(a.makeFolder(folder));
            names << folder;
        }
        const QString member = QStringLiteral("added%1").arg(generation);
        members.insert(member, patternBytes(150 + generation, 20 + generation));
        QVERIFY(writeMember(a, member, members.value(member)));
        names << member;

        const FileEntry* directory = TestAccess::directory(a);
        QVERIFY(directory->size() > 3 * LegacyBlockSize);
        QCOMPARE(directory->firstBlock(), 1);
        const QList<int> chain = chainFrom(a, 1);
        QCOMPARE(qint64(chain.size()), (directory->size() + LegacyBlockSize - 1) / LegacyBlockSize);
        QCOMPARE(chain.last(), directory->lastBlock());
        table = TestAccess::table(a);
        a.close();

        // Written back as version 3: a 70-byte header over entry 0 and the high half of
        // entry 1, whose low half stays.
        const QByteArray bytes = readHostFile(name);
        QCOMPARE(bytes.mid(4, 4), be32(3));
        QCOMPARE(bytes.mid(62, 8), be32(1) + be32(directory->lastBlock()));
        QCOMPARE(bytes.mid(70, 2), be32(table[1]).mid(2));
        QCOMPARE(decodeEntries(bytes, 72, LegacyN - 2), table.mid(2, LegacyN - 2));

        for (QIODevice::OpenMode mode : {QIODevice::ReadOnly, QIODevice::ReadWrite}) {
            Archive b(name);
            QVERIFY(b.open(mode));
            QCOMPARE(b.formatVersion(), 3);
            QCOMPARE(TestAccess::table(b), table);
            QCOMPARE(b.list(), names);
            for (auto it = members.cbegin(); it != members.cend(); ++it)
                QCOMPARE(readMember(b, it.key()), it.value());
            b.close();
        }
    }
}

void TableTest::legacyDirectoryThatCannotBeRecovered_data()
{
    QTest::addColumn<int>("lowHalf");
    QTest::addColumn<bool>("readOnly");
    // The directory is 1 -> 5 -> 3 -> 9 -> 8 -> 12 -> 10; the free list 15 -> 14 -> 13 ->
    // 11 -> 7 -> 6.
    QTest::newRow("chain ends too early, read-only") << 6 << true;
    QTest::newRow("chain ends too early, read-write") << 6 << false;
    QTest::newRow("chain ends elsewhere, read-only") << 15 << true;
    QTest::newRow("beyond the table, read-only") << 40 << true;
}

void TableTest::legacyDirectoryThatCannotBeRecovered()
{
    QFETCH(int, lowHalf);
    QFETCH(bool, readOnly);
    const LegacyArchive legacy = makeLegacyArchive(3, ManyBlocks, 1);
    QCOMPARE(legacy.directoryChain, QList<int>({1, 5, 3, 9, 8, 12, 10}));
    QByteArray bytes = legacy.bytes();
    // The surviving low half of entry 1 now leads where the directory's chain cannot reach its
    // last block in the number of blocks its size needs.
    bytes.replace(LegacyHeaderArea + 6, 2, be32(lowHalf).mid(2));
    const QString name = path("unrecoverable.qel");
    QVERIFY(writeHostFile(name, bytes));

    Archive a(name);
    MessageLog log;
    QVERIFY(!a.open(readOnly ? QIODevice::ReadOnly : QIODevice::ReadWrite));
    QCOMPARE(log.count(QStringLiteral("readBAT: the directory's chain cannot be recovered; the "
                                      "directory is damaged")),
             1);
    QVERIFY2(log.containsStart(QStringLiteral("readDirectory: ")),
             qPrintable(log.messages().join(QLatin1Char('|'))));
    QCOMPARE(a.mode(), 0);
    // The file is untouched.
    QCOMPARE(readHostFile(name), bytes);
}

QTEST_GUILESS_MAIN(TableTest)
#include "tst_table.moc"
