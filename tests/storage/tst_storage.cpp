// The engine's storage layers, tested directly: the header as a value, the allocation table
// and the chain cursor over a container on a temporary file, and the stored form of entries.

#include "AllocationTable.h"
#include "ChainCursor.h"
#include "Container.h"
#include "Directory.h"
#include "Entry.h"
#include "Failure.h"
#include "Header.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Kest::Ar;
using namespace KestTest;

namespace {

// A new, empty container file with a table of blocks of `blockSize` bytes behind a 256-byte
// header area.
struct Storage
{
    explicit Storage(quint32 blockSize) : container(dir.filePath("s.kar")), table(container)
    {
        container.open(Container::Access::Write, {});
        container.setGeometry(Header::AreaSize, blockSize);
        table.reset(blockSize);
    }
    // Through the container, which may still hold the newest writes.
    QByteArray block(int b)
    {
        QByteArray bytes(table.blockSize(), '\0');
        bytes.resize(container.read(container.blockOffset(b), bytes.data(), bytes.size()));
        return bytes;
    }
    QList<int> chain(int first) const
    {
        QList<int> blocks;
        for (int b = first; table.isBlock(b) && blocks.size() <= table.blockCount();
             b = table.next(b))
            blocks.append(b);
        return blocks;
    }
    // A chain of `bytes` written from a new first block, ended where the bytes end.
    int writeChain(const QByteArray& data)
    {
        ChainCursor cursor(table, container, AllocationTable::EndOfChain);
        cursor.write(data.constData(), data.size());
        cursor.endHere();
        return cursor.firstBlock();
    }
    QByteArray readChain(int first, qint64 length)
    {
        ChainCursor cursor(table, container, first);
        QByteArray data(length, '\0');
        data.resize(cursor.read(data.data(), length));
        return data;
    }

    QTemporaryDir dir;
    Container container;
    AllocationTable table;
};

// The real system calls, with the range of every write noted.
struct RecordingIo : HostIo
{
    bool write(QFile& file, qint64 offset, std::initializer_list<Piece> pieces) override
    {
        qint64 length = 0;
        for (const Piece& piece : pieces)
            length += piece.length;
        writes.append({offset, offset + length});
        return HostIo::write(file, offset, pieces);
    }
    QList<QPair<qint64, qint64>> writes; // [begin, end)
};

// What `operation` throws; NoError when it returns.
Failure failureOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const Failure& failure) {
        return failure;
    }
    return {Archive::Error::NoError, {}};
}

} // namespace

class StorageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("kest.archive.debug=false"); }

    void headerVersions_data()
    {
        QTest::addColumn<int>("version");
        for (int v = 1; v <= 4; ++v)
            QTest::addRow("version %d", v) << v;
    }

    // Each stored version decodes with its own area and size width, and encodes as the version
    // that keeps its area: 3 for the 64-byte area (with 8-byte sizes), 4 for the 256-byte one.
    void headerVersions()
    {
        QFETCH(int, version);
        const Archive::Version app = version >= 2 ? Archive::Version(1, -2, 3) : Archive::Version();
        const qint64 dirSize = version <= 2 ? qint64(0xFFFFFFFFu) : (qint64(1) << 40);
        const Header header = Header::decode(headerBytes(version, 128, 9, dirSize, 1, 7, app, 5));
        const Archive::Version& got = header.applicationVersion;
        QCOMPARE((QList<qint64>{header.formatVersion, header.headerSize, header.sizeWidth(),
                                got.major, got.minor, got.patch, header.blockSize, header.blocks,
                                header.blocksPerCluster, header.firstFree, header.directorySize,
                                header.directoryFirst, header.directoryLast}),
                 (QList<qint64>{version, version <= 3 ? 64 : 256, version <= 2 ? 4 : 8, app.major,
                                app.minor, app.patch, 128, 9, 32, 5, dirSize, 1, 7}));
        const int written = version <= 3 ? 3 : 4;
        const QByteArray expected = headerBytes(written, 128, 9, dirSize, 1, 7, app, 5);
        QCOMPARE(header.encode(), written == 4 ? padded(expected, 256) : expected);
    }

    void refusedHeaders_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("refusal");
        const QByteArray good = headerBytes(4, 4096, 2, 24, 1, 1);
        const auto row = [&good](const char* name, int offset, const QByteArray& bytes,
                                 const char* refusal) {
            QTest::newRow(name) << QByteArray(good).replace(offset, bytes.size(), bytes)
                                << QString::fromUtf8(refusal);
        };
        QTest::newRow("empty") << QByteArray() << "not a QEL Archive";
        QTest::newRow("little-endian") << QByteArray::fromHex("efd56b13") << "not a QEL Archive";
        QTest::newRow("signature alone") << QByteArray::fromHex("136bd5ef") << "I/O error";
        QTest::newRow("cut short") << good.left(60) << "I/O error";
        row("block size 7", 20, be32(7), "block size 7 is out of range (8 to 67108864)");
        row("blocks per cluster", 28, be32(1023),
            "1023 blocks per cluster do not match blocks of 4096 bytes");
        row("negative block count", 24, be32(-5), "negative block count -5");
        row("free-list head INVALID", 32, be32(-2),
            "free-list head -2 is not a block of the archive");
        row("directory first", 62, be32(2), "directory block 2 is not a block of the archive");
        row("negative directory size", 54, be64(-1), "negative directory size -1");
    }

    void refusedHeaders()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, refusal);
        const Failure failure = failureOf([&] { Header::decode(bytes); });
        QCOMPARE(failure.code, Archive::Error::Corrupt);
        QCOMPARE(failure.message, "readHeader: " + refusal);
    }

    // Cluster c's table block is block c*N, written at its own place when the cluster is made,
    // and holds the big-endian links of its N blocks; only changed clusters are written back.
    void tableLayout()
    {
        Storage s(64); // 16 blocks per cluster
        QList<int> handed;
        for (int i = 0; i < 20; ++i)
            handed.append(s.table.newBlock());
        QCOMPARE(handed.first(), 1);
        QCOMPARE(handed.at(14), 15);
        QCOMPARE(handed.at(15), 17); // block 16 heads cluster 1
        QCOMPARE(s.table.blockCount(), 22);
        QCOMPARE(s.chain(0), (QList<int>{0, 16}));
        QCOMPARE(s.block(16), tableBlock(64, {EndOfChain})); // as made, before any write-back
        s.table.setNext(1, 2);
        s.table.setNext(17, 3);
        QVERIFY(s.table.hasChanges());
        s.table.writeChanged();
        QVERIFY(!s.table.hasChanges());
        QCOMPARE(s.block(0).left(16), be32(16) + be32(2) + be32(EndOfChain) + be32(EndOfChain));
        QCOMPARE(s.block(16).mid(4, 4), be32(3));
    }

    // The block freed last is handed out first; freeing a chain's tail keeps its head.
    void freeListIsAStack()
    {
        Storage s(64);
        const int first = s.writeChain(patternBytes(64 * 4, 1));
        QCOMPARE(s.chain(first), (QList<int>{1, 2, 3, 4}));
        s.table.releaseAfter(2);
        QCOMPARE(s.chain(first), (QList<int>{1, 2}));
        QCOMPARE(s.table.freeCount(), 2);
        QCOMPARE(s.table.newBlock(), 3);
        s.table.release(1, 2);
        QCOMPARE(s.table.firstFree(), 1);
        QCOMPARE(s.chain(s.table.firstFree()), (QList<int>{1, 2, 4}));
        QCOMPARE(s.table.lastOfChain(1), 4);
        s.table.setNext(4, 1); // a cycle
        QCOMPARE(s.table.lastOfChain(1), AllocationTable::Invalid);
    }

    // Headers of versions 2 and 3 lie over the first table links; loading rebuilds link 0 from
    // the table's chain and link 1 (the directory's) from its surviving low half and the size.
    void legacyTableStart()
    {
        QTemporaryDir dir;
        for (int version : {2, 3}) {
            const QByteArray root = padded(rootFolder(), 200); // two blocks of 128
            const QByteArray file =
                archiveFile(version, headerBytes(version, 128, 3, root.size(), 1, 2),
                            tableBlock(128, {EndOfChain, 2, EndOfChain}) + padded(root, 256));
            QVERIFY(file.mid(64, 8) != (be32(EndOfChain) + be32(2))); // the header lies over them
            const QString path = dir.filePath(QString::number(version));
            QVERIFY(writeHostFile(path, file));
            Container container(path);
            container.open(Container::Access::Read, {});
            const Header header = Header::decode(file.left(256));
            container.setGeometry(header.headerSize, header.blockSize);
            AllocationTable table(container);
            table.load(header);
            QCOMPARE((QList<int>{table.next(0), table.next(1), table.next(2)}),
                     (QList<int>{EndOfChain, 2, EndOfChain}));
        }
    }

    // A chain that ends the file grows there though blocks are free; any other chain takes the
    // head of the free list, which continues a run freed as a whole.
    void growingChainsStayRuns()
    {
        Storage s(64);
        const int a = s.writeChain(patternBytes(3 * 64, 1));
        const int b = s.writeChain(patternBytes(2 * 64, 2));
        QCOMPARE(s.chain(b), (QList<int>{4, 5}));
        s.table.release(a, s.table.lastOfChain(a));
        QCOMPARE(s.table.newBlock(5), 6);
        QCOMPARE(s.table.newBlock(), 1);
        QCOMPARE(s.table.newBlock(1), 2);
        QCOMPARE(s.table.newBlock(6), 7);
        QCOMPARE(s.table.freeCount(), 1);
    }

    // Byte p lies in block p / B at offset p % B, but a non-zero multiple of B is the end of the
    // block before: a write there fills that block's end before the chain grows. endHere zeroes
    // the rest of the last block on disk.
    void cursorPositions()
    {
        Storage s(64);
        ChainCursor cursor(s.table, s.container, AllocationTable::EndOfChain);
        QVERIFY(cursor.seek(0));
        QVERIFY(!cursor.seek(1));
        cursor.write(patternBytes(64, 2).constData(), 64);
        QCOMPARE(s.chain(cursor.firstBlock()).size(), 1);
        QVERIFY(cursor.seek(64));
        QCOMPARE(cursor.block(), cursor.firstBlock());
        QVERIFY(!cursor.seek(65));
        cursor.write("x", 1);
        QCOMPARE(s.chain(cursor.firstBlock()).size(), 2);
        QVERIFY(
            patchHostFile(s.container.path(), Header::AreaSize + 2 * 64 + 1, QByteArray(63, 'y')));
        QCOMPARE(cursor.endHere(), 2);
        QCOMPARE(s.block(2), padded("x", 64));
        QVERIFY(cursor.seek(10));
        QCOMPARE(s.readChain(cursor.firstBlock(), 100), patternBytes(64, 2) + padded("x", 36));
        QVERIFY(cursor.seek(0));
        cursor.endHere(); // a stream cut to nothing keeps its first block
        QCOMPARE(s.chain(cursor.firstBlock()), QList<int>{1});
    }

    // Cursors on several chains, used in alternation, each keep their own place; chains cut and
    // grown again reuse freed blocks, so they fragment. A new cursor's map of runs, made while
    // it seeks about, must match the table, and every byte must read back.
    void runMapsMatchTheTable()
    {
        Storage s(64);
        QRandomGenerator random(7);
        std::vector<ChainCursor> cursors(4, ChainCursor(s.table, s.container, EndOfChain));
        QList<QByteArray> expected(4);
        for (int round = 0; round < 400; ++round) {
            const int i = random.bounded(4);
            if (random.bounded(8) == 0 && !expected[i].isEmpty()) {
                const qint64 end = random.bounded(expected[i].size());
                QVERIFY(cursors[i].seek(end));
                cursors[i].endHere();
                expected[i].truncate(end);
            }
            const QByteArray piece = patternBytes(1 + random.bounded(150), quint32(round));
            cursors[i].write(piece.constData(), piece.size());
            expected[i] += piece;
        }
        for (int i = 0; i < 4; ++i) {
            cursors[i].endHere();
            ChainCursor fresh(s.table, s.container, cursors[i].firstBlock());
            for (int probe = 0; probe < 20; ++probe) {
                const qint64 at = random.bounded(expected[i].size() + 1);
                QVERIFY(fresh.seek(at));
                QByteArray got(qMin<qint64>(40, expected[i].size() - at), '\0');
                QCOMPARE(fresh.read(got.data(), got.size()), got.size());
                QCOMPARE(got, expected[i].mid(at, 40));
            }
            QVERIFY(fresh.seek(expected[i].size()));
            QList<QPair<int, int>> walked;
            for (int b : s.chain(cursors[i].firstBlock())) {
                if (!walked.isEmpty() && walked.last().first + walked.last().second == b)
                    ++walked.last().second;
                else
                    walked.append({b, 1});
            }
            QCOMPARE(fresh.knownRuns(), walked);
            QCOMPARE(s.readChain(cursors[i].firstBlock(), expected[i].size()), expected[i]);
        }
    }

    // A run of writes reaches the file in aligned 16 KiB pieces, each page once, while reads see
    // every byte at once; a write elsewhere and the commit let the held bytes go. A reader maps the
    // file and reads the same bytes, and no further than the file goes.
    void writesInWholePieces()
    {
        Storage s(64);
        RecordingIo io;
        s.container.setIo(io);
        s.container.setDurability(Archive::Durability::Off);
        QByteArray expected = readHostFile(s.container.path());
        QRandomGenerator random(5);
        qint64 at = 300;
        while (at < 100000) {
            const QByteArray piece = patternBytes(1 + random.bounded(3000), quint32(at));
            s.container.write(at, piece.constData(), piece.size());
            expected = padded(expected.left(at), int(at)) + piece;
            at += piece.size();
            QByteArray got(expected.size(), '\0');
            QCOMPARE(s.container.read(0, got.data(), got.size()), expected.size());
            QCOMPARE(got, expected);
        }
        // The first write of the run goes out whole: nothing told it a run would follow.
        for (const auto& [begin, end] : io.writes.mid(1))
            QCOMPARE(end % (16 * 1024), 0);
        s.container.write(100, "elsewhere", 9);
        expected.replace(100, 9, "elsewhere");
        QCOMPARE(io.writes.last(), (QPair<qint64, qint64>{100, 109}));
        QCOMPARE(io.writes.at(io.writes.size() - 2).second, at);
        s.container.commit();
        QCOMPARE(readHostFile(s.container.path()), expected);
        s.container.close();

        Container reader(s.container.path());
        reader.open(Container::Access::Read, {});
        reader.map();
        QByteArray got(expected.size() + 10, '\0');
        QCOMPARE(reader.read(0, got.data(), got.size()), expected.size());
        QCOMPARE(got.left(expected.size()), expected);
        QCOMPARE(reader.read(expected.size() - 5, got.data(), 10), 5);
    }

    // A folder of many members, stored again after one member changes or one is added at the
    // end, costs the directory's writes of a block or two, not of the tree; the stream then
    // holds the tree's bytes.
    void directoryWritesWhatChanged()
    {
        Storage s(64);
        RecordingIo io;
        s.container.setIo(io);
        s.container.setDurability(Archive::Durability::Off);
        Directory directory;
        directory.makeFolder("/many");
        for (int i = 0; i < 300; ++i)
            directory.memberOrNew(QStringLiteral("/many/m%1").arg(i, 3, 10, QChar('0')), "add");
        directory.store(s.table, s.container);
        const qint64 whole = directory.stream().size();
        const auto storedBytes = [&](const std::function<void()>& change) {
            s.container.commit();
            io.writes.clear();
            change();
            directory.store(s.table, s.container);
            s.container.commit();
            qint64 bytes = 0;
            for (const auto& [begin, end] : std::as_const(io.writes))
                bytes += end - begin;
            return bytes;
        };
        QVERIFY(storedBytes([&] { directory.member("/many/m150", "size").setSize(7); }) <= 2 * 64);
        QVERIFY(storedBytes([&] { directory.memberOrNew("/many/new", "add"); }) <= 3 * 64);
        QVERIFY(whole > 300 * 20);
        QCOMPARE(s.readChain(directory.stream().firstBlock(), directory.stream().size()),
                 directory.encode());
    }

    // A link outside the table ends a read as the end of the chain and fails a write.
    void damagedChains()
    {
        Storage s(64);
        const int first = s.writeChain(patternBytes(150, 3));
        s.table.setNext(s.chain(first).at(1), 999);
        QCOMPARE(s.readChain(first, 150), patternBytes(128, 3));
        ChainCursor cursor(s.table, s.container, first);
        QVERIFY(!cursor.seek(150));
        QVERIFY(cursor.seek(128));
        QCOMPARE(failureOf([&] { cursor.write("z", 1); }).code, Archive::Error::Corrupt);
    }

    // A tree read back equals the tree written; a deeper tree than the limit, an unknown type
    // code or a body cut short fail the stream, keeping only children read whole.
    void storedTree()
    {
        const QByteArray member = fileRecord("m", 5, 3, 4);
        const QByteArray stored = rootFolder({folderRecord("a", {member}), member});
        const auto read = [](const QByteArray& bytes, int width = 8) {
            auto root = std::make_unique<FolderEntry>();
            QDataStream in(bytes);
            root->read(in, width);
            return std::make_pair(std::move(root), in.status());
        };
        auto [root, status] = read(stored);
        QCOMPARE(status, QDataStream::Ok);
        QByteArray again;
        root->appendTo(again);
        QCOMPARE(again, stored);
        QCOMPARE(read(rootFolder({fileRecord("w", 0xFFFFFFFFu, -1, -1, 4)}), 4).first->size(),
                 qint64(0xFFFFFFFFu));

        QByteArray deep = folderRecord("f");
        for (int level = 2; level < MaxFolderDepth; ++level)
            deep = folderRecord("f", {deep});
        QCOMPARE(read(rootFolder({deep})).second, QDataStream::Ok);
        QCOMPARE(read(rootFolder({folderRecord("f", {deep})})).second,
                 QDataStream::ReadCorruptData);
        auto [unknown, unknownStatus] = read(rootFolder({member, be32(7) + member.mid(4), member}));
        QCOMPARE(unknownStatus, QDataStream::ReadCorruptData);
        QCOMPARE(std::distance(unknown->begin(), unknown->end()), 1);
        auto [cut, cutStatus] = read(stored.left(stored.size() - 2));
        QCOMPARE(cutStatus, QDataStream::ReadPastEnd);
        QCOMPARE(std::distance(cut->begin(), cut->end()), 1);
    }
};

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
