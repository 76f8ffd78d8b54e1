// The block allocation table: allocation, clusters and their rollback, the free list, writing
// and reading the table blocks, the rebuilt first entries of format versions 2 and 3, and
// damaged tables.

#include "File.h"
#include "StorageTestKit.h"

#include <QRandomGenerator>
#include <QRegularExpression>

#include <stdexcept>

using namespace KestTest;

namespace {

QByteArray encodeEntries(const QList<int>& entries)
{
    QByteArray bytes;
    for (int entry : entries)
        bytes += be32(entry);
    return bytes;
}

void blockSizeRows()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::newRow("64") << 64u;
    QTest::newRow("4096") << 4096u;
}

// An archive of format version 2 or 3 as its writer left it: 64-byte blocks, a 64-byte header
// area, and the header written last, over the first bytes of table block 0. The root holds a
// member of 100 bytes in blocks 2 -> 4 and `extra` empty files; the directory's blocks are
// scattered and every other block is free, highest first.
struct Legacy
{
    QByteArray bytes;
    QList<int> table; // as the writer meant it
    QStringList names;
};

Legacy legacyArchive(int version, int clusters, int nameLength, int extra)
{
    const int n = 16;
    const int nBlocks = clusters == 1 ? 16 : 26;
    const auto fileChild = [version](const QString& name, qint64 size, int first, int last) {
        return be32(0) + qstringBytes(name) + (version == 2 ? be32(qint32(size)) : be64(size)) +
               be32(first) + be32(last);
    };
    Legacy l;
    l.names << QString(nameLength, QLatin1Char('d'));
    QByteArray children = fileChild(l.names[0], 100, 2, 4);
    for (int i = 0; i < extra; ++i) {
        l.names << QStringLiteral("f%1").arg(i);
        children += fileChild(l.names.last(), 0, -1, -1);
    }
    const QByteArray dir =
        qstringBytes(TestAccess::rootName()) + be32(int(l.names.size())) + children;
    const QList<int> dirChain =
        (clusters == 1 ? QList<int>{1, 5, 3, 9, 8, 12, 10} : QList<int>{1, 17, 3, 21, 5, 19, 9})
            .mid(0, (dir.size() + 63) / 64);

    l.table = QList<int>(clusters * n, Invalid);
    l.table[0] = clusters > 1 ? n : EndOfChain;
    l.table[n * (clusters - 1)] = EndOfChain;
    l.table[2] = 4;
    l.table[4] = EndOfChain;
    for (int i = 0; i < dirChain.size(); ++i)
        l.table[dirChain[i]] = i + 1 < dirChain.size() ? dirChain[i + 1] : EndOfChain;
    int firstFree = EndOfChain;
    for (int b = 1; b < nBlocks; ++b) {
        if (l.table[b] == Invalid)
            l.table[b] = std::exchange(firstFree, b);
    }

    l.bytes = QByteArray(64 + nBlocks * 64, '\0');
    const auto put = [&l](int block, const QByteArray& bytes) {
        l.bytes.replace(64 + block * 64, bytes.size(), bytes);
    };
    for (int b = 0; b < nBlocks; b += n)
        put(b, encodeEntries(l.table.mid(b, n)));
    put(2, patternBytes(100, 7).left(64));
    put(4, patternBytes(100, 7).mid(64));
    for (int i = 0; i < dirChain.size(); ++i)
        put(dirChain[i], dir.mid(i * 64, 64));
    const QByteArray header = be32(TestAccess::archiveSignature()) + be32(version) + be32(1) +
                              be32(2) + be32(3) + be32(64) + be32(nBlocks) + be32(n) +
                              be32(firstFree) + qstringBytes(TestAccess::directoryName()) +
                              (version == 2 ? be32(int(dir.size())) : be64(dir.size())) + be32(1) +
                              be32(dirChain.last());
    l.bytes.replace(0, header.size(), header);
    return l;
}

} // namespace

class TableTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    static inline QStringList logged_;
    QString path(const char* name) const { return dir_->filePath(QString::fromLatin1(name)); }

private slots:
    void init() { dir_.reset(new QTemporaryDir); }

    // A new archive's first blocks, then cluster 1: the table in memory against the table
    // blocks on disk, before and after writeBat. Cluster 1 first fails to be made, which
    // leaves no trace (table, changed bits, the link from table block 0, the file; the chain
    // writer reports -1), and is then made at the same place.
    void allocationAndClusters_data() { blockSizeRows(); }
    void allocationAndClusters()
    {
        QFETCH(unsigned int, blockSize);
        const int n = int(blockSize / 4);
        Archive a(path("first.qel"), blockSize);
        // The header alone: a new archive right before its first allocation.
        QVERIFY(TestAccess::file(a).open(QIODevice::ReadWrite));
        TestAccess::writeHeader(a);
        QCOMPARE(TestAccess::newBlock(a), 1);
        QList<int> stored(n, Invalid);
        stored[0] = EndOfChain;
        QList<int> expected = stored;
        expected[1] = EndOfChain;
        QCOMPARE(TestAccess::table(a), expected);
        // The table block reached the disk before block 1 was handed out, and nothing else.
        QCOMPARE(blockOnDisk(a, 0), encodeEntries(stored));
        QCOMPARE(qint64(readHostFile(a.name()).size()), blockOffset(a, 1));
        TestAccess::writeBat(a);
        QCOMPARE(blockOnDisk(a, 0), encodeEntries(expected));

        for (int b = 2; b < n; ++b)
            QCOMPARE(TestAccess::newBlock(a), b);
        TestAccess::writeBat(a);
        const QList<int> full = TestAccess::table(a);
        // Streams write their blocks whole: the file ends where cluster 1 begins.
        const QByteArray last = patternBytes(blockSize, 3);
        QVERIFY(writeAt(a, n - 1, last));
        TestAccess::file(a).flush();
        const QByteArray file = readHostFile(a.name());
        TestAccess::file(a).restrictOpenMode(QIODevice::ReadOnly);
        QTest::ignoreMessage(QtDebugMsg, "allocateNewCluster: cannot write BAT entries");
        QCOMPARE(TestAccess::writeData(a, "x", 1), qint64(-1));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, TestAccess::newBlock(a));
        QCOMPARE(TestAccess::table(a), full);
        QCOMPARE(TestAccess::changedClusters(a), QBitArray(1, false));
        QCOMPARE(readHostFile(a.name()), file);

        // Cluster 1's table block is written at once behind block N - 1; the link to it from
        // table block 0 waits for the next writeBat.
        TestAccess::file(a).restrictOpenMode(QIODevice::ReadWrite);
        QCOMPARE(TestAccess::newBlock(a), n + 1);
        expected = full + stored;
        expected[0] = n;
        expected[n + 1] = EndOfChain;
        QCOMPARE(TestAccess::table(a), expected);
        QCOMPARE(blockOnDisk(a, n), encodeEntries(stored));
        QCOMPARE(blockOnDisk(a, n - 1), last);
        QCOMPARE(blockOnDisk(a, 0), encodeEntries(full));
        TestAccess::writeBat(a);
        QCOMPARE(blockOnDisk(a, 0) + blockOnDisk(a, n), encodeEntries(expected));
    }

    // Random allocations and frees against a model: the free list is a stack (a freed chain
    // goes on top in chain order, allocation pops it), and only an empty list grows the
    // archive, past each new cluster's table block. Walks by index end past a chain's last
    // block. Once the table spans four clusters, writeBat writes exactly the changed table
    // blocks, and a new archive object reads the same table back.
    void randomAllocationAndTableRoundTrip_data() { blockSizeRows(); }
    void randomAllocationAndTableRoundTrip()
    {
        QFETCH(unsigned int, blockSize);
        const int n = int(blockSize / 4);
        const QString name = path("random.qel");
        QRandomGenerator rng(blockSize);
        Archive a(name, blockSize);
        QVERIFY(a.open(QIODevice::ReadWrite));
        int nBlocks = 2;
        QList<int> free;
        QList<QList<int>> chains;
        for (int step = 0; step < 300 || nBlocks < 3 * n + 2; ++step) {
            if (rng.bounded(100) < 60 || chains.isEmpty()) {
                QList<int> chain;
                for (int i = 1 + int(rng.bounded(n / 8)); i > 0; --i) {
                    if (free.isEmpty() && nBlocks % n == 0)
                        ++nBlocks; // the new cluster's table block
                    const int expected = free.isEmpty() ? nBlocks++ : free.takeFirst();
                    QCOMPARE(TestAccess::newBlock(a), expected);
                    if (!chain.isEmpty())
                        TestAccess::setNextBlock(a, chain.last(), expected);
                    chain.append(expected);
                }
                chains.append(chain);
            } else {
                const QList<int> chain = chains.takeAt(rng.bounded(chains.size()));
                TestAccess::freeBlocks(a, chain.first(), chain.last());
                free = chain + free;
            }
            QCOMPARE(TestAccess::nFreeBlocks(a), int(free.size()));
        }
        QCOMPARE(chainFrom(a, TestAccess::firstFreeBlock(a)), free);
        for (const QList<int>& chain : chains) {
            QCOMPARE(chainFrom(a, chain.first()), chain);
            QCOMPARE(TestAccess::globalBlock(a, chain.first(), int(chain.size())), Invalid);
        }

        // Scribble over every table block on disk and touch clusters 1 and 3: only their
        // table blocks are written again.
        TestAccess::writeBat(a);
        const int clusters = int(TestAccess::changedClusters(a).size());
        for (int c = 0; c < clusters; ++c)
            QVERIFY(patchHostFile(name, blockOffset(a, c * n), QByteArray(blockSize, '\x5A')));
        QByteArray expected = readHostFile(name);
        for (int c : {1, 3}) {
            TestAccess::setNextBlock(a, c * n + 1, TestAccess::nextBlock(a, c * n + 1));
            expected.replace(blockOffset(a, c * n), blockSize,
                             encodeEntries(TestAccess::table(a).mid(c * n, n)));
        }
        TestAccess::writeBat(a);
        QCOMPARE(readHostFile(name), expected);

        for (int c = 0; c < clusters; ++c)
            TestAccess::setClusterChanged(a, c, true);
        TestAccess::flush(a, false);
        const QList<int> table = TestAccess::table(a);
        a.close();
        Archive b(name);
        QVERIFY(b.open(QIODevice::ReadOnly));
        QCOMPARE(TestAccess::table(b), table);
        QCOMPARE(TestAccess::changedClusters(b), QBitArray(clusters, false));
        QCOMPARE(chainFrom(b, TestAccess::firstFreeBlock(b)), free);
    }

    // Internal fragmentation: the unused share of the bytes of blocks that are not free;
    // external: the share of free blocks. Members count wherever they are in the tree.
    void fragmentationOfHandBuiltTable()
    {
        Archive a(path("fragmentation.qel"), 64);
        QList<int> table(16, Invalid);
        table[4] = 7;
        table[7] = 9;
        table[9] = EndOfChain;
        TestAccess::table(a) = table;
        TestAccess::nBlocks(a) = 10;
        TestAccess::firstFreeBlock(a) = 4;
        auto* sub = new Kest::Ar::FolderEntry(QStringLiteral("sub"));
        TestAccess::root(a)->addChild(sub);
        TestAccess::root(a)->newFile(QStringLiteral("m0"))->setSize(100);
        sub->newFile(QStringLiteral("m1"))->setSize(30);
        QCOMPARE(a.fragmentation(Archive::InternalFragmentation), (448.0 - 130.0) / 448.0);
        QCOMPARE(a.fragmentation(Archive::ExternalFragmentation), 0.3);
    }

    // The free list 3 -> 5 -> 8 of a 12-block archive whose member /m holds blocks 9 -> 10,
    // with block 8's entry damaged on disk: a cycle, a link outside the table, a link into /m.
    // Read-only, the table is taken as it stands and every walk over it stays bounded. Loaded
    // for writing, the list is cut after block 8, so allocation never hands out a block twice.
    void damagedTable_data()
    {
        QTest::addColumn<int>("link");
        QTest::addColumn<int>("freeCount");
        QTest::addColumn<int>("blockEleven");
        QTest::addColumn<qint64>("readable");
        QTest::addColumn<QString>("damage");
        QTest::newRow("cycle") << 3 << 12 << 8 << qint64(400)
                               << "the chain runs in a cycle: block 8 links back to block 3";
        QTest::newRow("beyond the table") << 500 << 3 << Invalid << qint64(192)
                                          << "block 8 links to 500, outside the table (0 to 11)";
        QTest::newRow("into a member")
            << 9 << 5 << Invalid << qint64(320) << "block 9 is also in /m (cross-linked)";
    }
    void damagedTable()
    {
        QFETCH(int, link);
        QFETCH(int, freeCount);
        QFETCH(int, blockEleven);
        QFETCH(qint64, readable);
        QFETCH(QString, damage);
        const QString name = path("damaged.qel");
        {
            Archive a(name, 64);
            QVERIFY(openWithBlocks(a, 12));
            QVERIFY(writeAt(a, 11, QByteArray(64, 'z'))); // every block exists on disk
            Kest::Ar::FileEntry* m = TestAccess::root(a)->newFile(QStringLiteral("m"));
            m->setFirstBlock(9);
            m->setLastBlock(10);
            m->setSize(128);
            TestAccess::setNextBlock(a, 9, 10);
            TestAccess::setNextBlock(a, 3, 5);
            TestAccess::setNextBlock(a, 5, 8);
            TestAccess::freeBlocks(a, 3, 8);
            TestAccess::flush(a, true);
        }
        QVERIFY(patchHostFile(name, 256 + 8 * 4, be32(link)));
        {
            Archive a(name);
            QVERIFY(a.open(QIODevice::ReadOnly));
            if (link != 9)
                QTest::ignoreMessage(QtDebugMsg,
                                     qPrintable(QStringLiteral("nFreeBlocks: the free list is "
                                                               "damaged after %1 blocks")
                                                    .arg(freeCount)));
            QCOMPARE(TestAccess::nFreeBlocks(a), freeCount);
            // globalBlock and readData give the same message at a link outside the table.
            for (int i = 0; i < (link == 500 ? 2 : 0); ++i)
                QTest::ignoreMessage(QtDebugMsg,
                                     QRegularExpression(QStringLiteral(
                                         "^[a-zA-Z]+: damaged chain: block 8 links to 500$")));
            QCOMPARE(TestAccess::globalBlock(a, 3, 11), blockEleven);
            QByteArray buffer(400, 'b');
            TestAccess::toPosition(a, 3);
            QCOMPARE(TestAccess::readData(a, buffer.data(), 400), readable);
        }
        Archive a(name);
        QTest::ignoreMessage(QtDebugMsg, qPrintable("open: the free list: " + damage +
                                                    "; the free list now ends at block 8"));
        QVERIFY(a.open(QIODevice::ReadWrite));
        for (int expected : {3, 5, 8, 12})
            QCOMPARE(TestAccess::newBlock(a), expected);
    }

    // Entries 0 and 1 lie under the old header and are rebuilt in memory only: entry 0 from
    // the table's own chain, entry 1 from the directory (recovered from its surviving low
    // half in version 3). Then the directory grows past its old blocks and the archive is
    // written back as version 3, whose 70-byte header again lies over entry 0 and half of
    // entry 1; reopened, it reads the same.
    void legacyTableIsCorrected_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("clusters");
        QTest::addColumn<int>("nameLength");
        QTest::addColumn<int>("extra");
        for (int version : {2, 3}) {
            for (int clusters : {1, 2}) {
                const auto row = [&](const char* shape, int nameLength, int extra) {
                    QTest::addRow("v%d, %d cluster(s), %s", version, clusters, shape)
                        << version << clusters << nameLength << extra;
                };
                row("one block", 1, 0);
                row("exactly one block", version == 2 ? 10 : 8, 0);
                row("two blocks", 1, 2);
                row("many blocks", 1, 10);
            }
        }
    }
    void legacyTableIsCorrected()
    {
        QFETCH(int, version);
        QFETCH(int, clusters);
        QFETCH(int, nameLength);
        QFETCH(int, extra);
        Legacy l = legacyArchive(version, clusters, nameLength, extra);
        const QString name = path("legacy.qel");
        QVERIFY(writeHostFile(name, l.bytes));
        QList<int> table = l.table;
        for (int round = 0; round < 2; ++round) {
            Archive a(name);
            logged_.clear();
            const QtMessageHandler previous = qInstallMessageHandler(
                [](QtMsgType, const QMessageLogContext&, const QString& text) { logged_ << text; });
            const bool opened = a.open(QIODevice::ReadWrite);
            qInstallMessageHandler(previous);
            // A sound archive is read without a word about damage.
            QVERIFY(opened);
            QCOMPARE(logged_, QStringList());
            QCOMPARE(a.formatVersion(), round == 0 ? version : 3);
            QCOMPARE(TestAccess::table(a), table);
            QCOMPARE(TestAccess::changedClusters(a), QBitArray(table.size() / 16, false));
            QCOMPARE(a.list(), l.names);
            Kest::Ar::File member(&a, l.names[0]);
            QVERIFY(member.open(QIODevice::ReadOnly));
            QCOMPARE(member.readAll(), patternBytes(100, 7));
            for (int i = 0; round == 0 && i < 6; ++i) {
                l.names << QStringLiteral("folder%1").arg(i);
                QVERIFY(a.makeFolder(l.names.last()));
            }
            TestAccess::flush(a, true);
            table = TestAccess::table(a);
            QVERIFY(chainFrom(a, 1).size() > 2);
        }
        QVERIFY(readHostFile(name).mid(68, 4) != be32(table[1]));
    }

    // The surviving low half of entry 1 leads nowhere from which the directory's chain
    // reaches its last block in as many blocks as its size needs: the open fails, says why,
    // and leaves the file as it was.
    void legacyDirectoryThatCannotBeRecovered()
    {
        QByteArray bytes = legacyArchive(3, 1, 1, 10).bytes;
        bytes.replace(70, 2, be32(6).mid(2));
        const QString name = path("unrecoverable.qel");
        QVERIFY(writeHostFile(name, bytes));
        Archive a(name);
        QTest::ignoreMessage(QtDebugMsg, "readBAT: the directory's chain cannot be recovered; "
                                         "the directory is damaged");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^readDirectory: ")));
        QVERIFY(!a.open(QIODevice::ReadWrite));
        QCOMPARE(a.mode(), 0);
        QCOMPARE(readHostFile(name), bytes);
    }
};

QTEST_GUILESS_MAIN(TableTest)
#include "tst_table.moc"
