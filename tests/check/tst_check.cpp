// The consistency check against damaged archives: each case patches one field of a small valid
// archive built byte by byte and compares check()'s problem lines, read-only (the file stays
// as it was) and read-write, where a damaged free list is cut before the damage: a member
// written then takes no block twice, and only the blocks left out of the list are reported.

#include "Archive.h"
#include "File.h"
#include "TestSupport.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace KestTest;
using M = QIODevice;

namespace {

// Blocks of 128 bytes: 0 the table, 1 the directory, /a in 2-3-4 (300 bytes), /b in 5-6 (200),
// /d/c in 7 (10), and the free list 8-9-10.
constexpr quint32 BlockSize = 128;
constexpr qint64 Directory = 256 + BlockSize; // the directory's block
constexpr qint64 SizeOfA = Directory + 24 + 4 + 6, LastOfA = SizeOfA + 12, NameOfB = SizeOfA + 24;

constexpr qint64 link(int block) // the table entry of a block
{
    return 256 + 4 * block;
}

QString leaked(int block)
{
    return QStringLiteral("block %1 is in no chain and not free (leaked)").arg(block);
}

QByteArray fixture()
{
    const QByteArray root = rootFolder({fileRecord("a", 300, 2, 4), fileRecord("b", 200, 5, 6),
                                        folderRecord("d", {fileRecord("c", 10, 7, 7)})});
    const QList<qint32> links{EndOfChain, EndOfChain, 3, 4,  EndOfChain, 6,
                              EndOfChain, EndOfChain, 9, 10, EndOfChain};
    return archiveFile(4, headerBytes(4, BlockSize, 11, root.size(), 1, 1, {}, 8),
                       tableBlock(BlockSize, links) + padded(root, BlockSize) +
                           patternBytes(9 * BlockSize, 1));
}

} // namespace

class tst_Check : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("kest.archive.debug=false"); }

    // A member open for writing is not taken for damage, however far it has grown since its
    // last write-back; a commit made meanwhile records it as it stands.
    void memberOpenForWriting()
    {
        Archive archive(dir_.filePath("writing.kar"), 64);
        Kest::Ar::File member(&archive, "/m");
        QVERIFY(archive.open(M::ReadWrite) && member.open(M::WriteOnly));
        QCOMPARE(member.write(patternBytes(200, 6)), 200);
        QCOMPARE(archive.check(), QStringList());
        QVERIFY(archive.writeBack());
        QCOMPARE(archive.check(), QStringList());
        // What that commit left on disk, as a process killed now would leave it.
        QVERIFY(QFile::copy(dir_.filePath("writing.kar"), dir_.filePath("committed.kar")));
        Archive committed(dir_.filePath("committed.kar"));
        QVERIFY(committed.open(M::ReadOnly));
        QCOMPARE(committed.check(), QStringList());
        QCOMPARE(readMember(committed, "/m"), patternBytes(200, 6));
    }

    void damage_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("problems");
        // After opening read-write and writing a member; the same as before unless given.
        QTest::addColumn<QStringList>("afterCut");
        const auto row = [](const char* name, qint64 offset, const QByteArray& bytes,
                            const QStringList& problems, std::optional<QStringList> after = {}) {
            QTest::newRow(name) << offset << bytes << problems << after.value_or(problems);
        };
        row("none", link(0), be32(EndOfChain), {});
        row("cycle", link(4), be32(2),
            {"/a: the chain runs in a cycle: block 4 links back to block 2"});
        row("cross-link", link(4), be32(5),
            {"/a: the chain of 5 blocks is longer than its size of 300 bytes needs (3)",
             "/a: the chain ends at block 6 but the entry records last block 4",
             "/b: block 5 is also in /a (cross-linked)"});
        row("leak", link(2), be32(4),
            {"/a: the chain of 2 blocks is too short for its size of 300 bytes (needs 3)",
             leaked(3)});
        row("outside the table", link(5), be32(99),
            {"/b: block 5 links to 99, outside the table (0 to 10)", leaked(6)},
            // (the directory, grown by /new's entry, has taken block 11)
            QStringList{"/b: block 5 links to 99, outside the table (0 to 11)", leaked(6)});
        row("chain too short", SizeOfA, be64(500),
            {"/a: the chain of 3 blocks is too short for its size of 500 bytes (needs 4)"});
        row("chain too long", SizeOfA, be64(128),
            {"/a: the chain of 3 blocks is longer than its size of 128 bytes needs (1)"});
        row("last block", LastOfA, be32(3),
            {"/a: the chain ends at block 4 but the entry records last block 3"});
        row("duplicate names", NameOfB, QByteArray("\0a", 2),
            {"/: more than one entry is named \"a\""});
        row("free list cycle", link(9), be32(8),
            {"the free list: the chain runs in a cycle: block 9 links back to block 8", leaked(10)},
            QStringList{leaked(10)});
        row("free list into a member", link(8), be32(6),
            {"the free list: block 6 is also in /b (cross-linked)",
             "blocks 9 to 10 are in no chain and not free (leaked)"},
            QStringList{"blocks 9 to 10 are in no chain and not free (leaked)"});
    }

    void damage()
    {
        QFETCH(qint64, offset);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, problems);
        QFETCH(QStringList, afterCut);
        const QString path = dir_.filePath(QString(QTest::currentDataTag()) + ".kar");
        QVERIFY(writeHostFile(path, fixture()) && patchHostFile(path, offset, bytes));
        const QByteArray before = readHostFile(path);
        {
            Archive archive(path);
            QVERIFY(archive.open(M::ReadOnly));
            QCOMPARE(archive.check(), problems);
        }
        QCOMPARE(readHostFile(path), before);
        Archive archive(path);
        QVERIFY(archive.open(M::ReadWrite));
        QVERIFY(writeMember(archive, "/new", patternBytes(3 * BlockSize, 7)));
        QCOMPARE(archive.check(), afterCut);
        archive.close();
        QVERIFY(archive.open(M::ReadOnly));
        QCOMPARE(archive.check(), afterCut);
        QCOMPARE(readMember(archive, "/new"), patternBytes(3 * BlockSize, 7));
    }

private:
    QTemporaryDir dir_;
};

QTEST_GUILESS_MAIN(tst_Check)
#include "tst_check.moc"
