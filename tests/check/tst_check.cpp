// The consistency check and writeBack.
//
// Clean archives: random sequences of member and folder operations, checked against a model
// in memory, must never give the check anything to report, open or reopened. Damaged
// archives: each kind of damage is made in memory through TestAccess on an archive whose
// block numbers are read back from its own table, and the check must report exactly it.

#include "Archive.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Kest::Ar::Archive;
using Kest::Ar::File;
using Kest::Ar::FileEntry;
using Kest::Ar::FolderEntry;
using Kest::Ar::TestAccess;

namespace {

void writeMember(Archive& archive, const QString& path, const QByteArray& bytes,
                 QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    File member(&archive, path);
    QVERIFY(member.open(mode));
    QCOMPARE(member.write(bytes), qint64(bytes.size()));
}

QByteArray readMember(Archive& archive, const QString& path)
{
    File member(&archive, path);
    if (!member.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return member.readAll();
}

FileEntry* fileEntryOf(Archive& archive, const QString& path)
{
    FolderEntry* folder = TestAccess::root(archive);
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (int i = 0; i + 1 < parts.size(); ++i)
        folder = static_cast<FolderEntry*>(folder->child(parts[i]));
    return static_cast<FileEntry*>(folder->child(parts.last()));
}

QList<int> chainOf(Archive& archive, int first)
{
    QList<int> blocks;
    for (int b = first; b != -1; b = TestAccess::table(archive).at(b))
        blocks.append(b);
    return blocks;
}

// The check's lines for blocks that belong to nothing: runs of consecutive numbers.
QStringList leakLines(QList<int> blocks)
{
    std::sort(blocks.begin(), blocks.end());
    QStringList lines;
    for (qsizetype i = 0; i < blocks.size();) {
        qsizetype j = i;
        while (j + 1 < blocks.size() && blocks[j + 1] == blocks[j] + 1)
            ++j;
        lines.append(
            i == j ? QStringLiteral("block %1 is in no chain and not free (leaked)").arg(blocks[i])
                   : QStringLiteral("blocks %1 to %2 are in no chain and not free "
                                    "(leaked)")
                         .arg(blocks[i])
                         .arg(blocks[j]));
        i = j + 1;
    }
    return lines;
}

} // namespace

class tst_Check : public QObject
{
    Q_OBJECT

private slots:
    void newArchiveIsClean();
    void notOpen();
    void randomOperationsStayClean_data();
    void randomOperationsStayClean();
    void damage_data();
    void damage();
    void signatureOverwrittenAfterOpen();
    void fileCutShort();
    void writeBackStoresFolders();
    void writeBackRefusesReadOnly();

private:
    QTemporaryDir dir_;
};

void tst_Check::newArchiveIsClean()
{
    const QString path = dir_.filePath(QStringLiteral("new.kar"));
    Archive archive(path);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QCOMPARE(archive.check(), QStringList());
    archive.close();
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.check(), QStringList());
}

void tst_Check::notOpen()
{
    Archive archive(dir_.filePath(QStringLiteral("never.kar")));
    QCOMPARE(archive.check(), QStringList{QStringLiteral("the archive is not open")});
}

void tst_Check::randomOperationsStayClean_data()
{
    QTest::addColumn<uint>("blockSize");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("blocks of 64") << 64u << quint32(1);
    QTest::newRow("blocks of 512") << 512u << quint32(2);
    QTest::newRow("blocks of 4096") << 4096u << quint32(3);
}

// Imports, rewrites, appends, truncations, removals and folder changes in random order; the
// check runs after every step and after a reopen, and the contents must match the model.
void tst_Check::randomOperationsStayClean()
{
    QFETCH(uint, blockSize);
    QFETCH(quint32, seed);
    const QString path = dir_.filePath(QStringLiteral("random-%1.kar").arg(blockSize));
    QRandomGenerator random(seed);
    QMap<QString, QByteArray> model;
    QSet<QString> emptyFolders;
    const QStringList folders{QStringLiteral("/"), QStringLiteral("/f/"), QStringLiteral("/f/g/")};

    Archive archive(path, blockSize);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.makeFolder(QStringLiteral("/f")));
    QVERIFY(archive.makeFolder(QStringLiteral("/f/g")));
    QVERIFY(archive.writeBack());

    for (int step = 0; step < 200; ++step) {
        const QString name = folders.at(random.bounded(int(folders.size()))) +
                             QStringLiteral("m%1").arg(random.bounded(8));
        const qint64 size = random.bounded(int(4 * blockSize + 3));
        const QByteArray bytes = KestTest::patternBytes(size, seed * 1000 + step);
        switch (random.bounded(5)) {
        case 0: // create or rewrite
            writeMember(archive, name, bytes);
            model[name] = bytes;
            break;
        case 1: // append
            writeMember(archive, name, bytes, QIODevice::WriteOnly | QIODevice::Append);
            model[name] += bytes;
            break;
        case 2: { // truncate an existing member somewhere inside it
            if (!model.contains(name))
                break;
            File member(&archive, name);
            QVERIFY(member.open(QIODevice::ReadWrite));
            const qint64 at = random.bounded(int(model[name].size() + 1));
            QVERIFY(member.seek(at));
            QVERIFY(member.truncate());
            model[name].truncate(at);
            break;
        }
        case 3: // remove
            if (model.remove(name) != 0)
                QVERIFY(archive.removeFile(name));
            break;
        case 4: { // an empty folder made or removed, written back alone
            const QString folder = QStringLiteral("/f/e%1").arg(random.bounded(3));
            if (emptyFolders.remove(folder)) {
                QVERIFY(archive.removeFolder(folder));
            } else {
                QVERIFY(archive.makeFolder(folder));
                emptyFolders.insert(folder);
            }
            QVERIFY(archive.writeBack());
            break;
        }
        }
        const QStringList problems = archive.check();
        if (!problems.isEmpty())
            QFAIL(qPrintable(QStringLiteral("step %1: %2").arg(step).arg(problems.join("; "))));
    }
    archive.close();

    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.check(), QStringList());
    for (auto it = model.cbegin(); it != model.cend(); ++it)
        QCOMPARE(readMember(archive, it.key()), it.value());
    QVERIFY(archive.setCurrentFolder(QStringLiteral("/f")));
    const QList<QString> subfolders = archive.list(Archive::Folders);
    for (const QString& folder : emptyFolders)
        QVERIFY2(subfolders.contains(folder.section(QLatin1Char('/'), -1)), qPrintable(folder));
    QCOMPARE(subfolders.size(), emptyFolders.size() + 1); // and g
}

// The fixture, blocks of 64 bytes (16 per cluster): /filler of 16 blocks, /a of 3 blocks, /b of 2,
// /d/c of 1 and a free list that holds at least the 3 blocks of /gone; more than one cluster.
enum class Damage {
    CrossLink,
    Cycle,
    SkippedBlock,
    LinkOutsideTable,
    InvalidInChain,
    WrongLastBlock,
    SizeTooLarge,
    UnallocatedWithSize,
    FirstWithoutLast,
    DuplicateNames,
    BrokenTableChain,
    FreeListIntoMember,
    FreeListHeadOnMember,
    FreeListLost,
    ChainIntoTableBlock,
};
Q_DECLARE_METATYPE(Damage)

void tst_Check::damage_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::newRow("cross-link") << Damage::CrossLink;
    QTest::newRow("cycle") << Damage::Cycle;
    QTest::newRow("skipped block") << Damage::SkippedBlock;
    QTest::newRow("link outside the table") << Damage::LinkOutsideTable;
    QTest::newRow("INVALID inside a chain") << Damage::InvalidInChain;
    QTest::newRow("wrong last block") << Damage::WrongLastBlock;
    QTest::newRow("size too large for the chain") << Damage::SizeTooLarge;
    QTest::newRow("no blocks but a size") << Damage::UnallocatedWithSize;
    QTest::newRow("first block without last") << Damage::FirstWithoutLast;
    QTest::newRow("duplicate names") << Damage::DuplicateNames;
    QTest::newRow("broken table chain") << Damage::BrokenTableChain;
    QTest::newRow("free list runs into a member") << Damage::FreeListIntoMember;
    QTest::newRow("free list starts in a member") << Damage::FreeListHeadOnMember;
    QTest::newRow("free list lost") << Damage::FreeListLost;
    QTest::newRow("chain runs into a table block") << Damage::ChainIntoTableBlock;
}

void tst_Check::damage()
{
    QFETCH(Damage, damage);
    const QString path = dir_.filePath(QStringLiteral("damage.kar"));
    QFile::remove(path);
    Archive archive(path, 64);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.makeFolder(QStringLiteral("/d")));
    writeMember(archive, QStringLiteral("/filler"), KestTest::patternBytes(1000, 0));
    writeMember(archive, QStringLiteral("/a"), KestTest::patternBytes(150, 1));
    writeMember(archive, QStringLiteral("/gone"), KestTest::patternBytes(130, 2));
    writeMember(archive, QStringLiteral("/b"), KestTest::patternBytes(100, 3));
    writeMember(archive, QStringLiteral("/d/c"), KestTest::patternBytes(10, 4));
    QVERIFY(archive.removeFile(QStringLiteral("/gone")));
    QCOMPARE(archive.check(), QStringList());

    FileEntry* a = fileEntryOf(archive, QStringLiteral("/a"));
    FileEntry* b = fileEntryOf(archive, QStringLiteral("/b"));
    FileEntry* c = fileEntryOf(archive, QStringLiteral("/d/c"));
    const QList<int> aChain = chainOf(archive, a->firstBlock());
    const QList<int> bChain = chainOf(archive, b->firstBlock());
    QCOMPARE(aChain.size(), 3);
    QCOMPARE(bChain.size(), 2);
    QCOMPARE(chainOf(archive, c->firstBlock()).size(), 1);
    const QList<int> freeList = chainOf(archive, TestAccess::firstFreeBlock(archive));
    QVERIFY(freeList.size() >= 3); // /gone's blocks, and any the directory gave back
    const int cBlock = c->firstBlock();
    const int nBlocks = TestAccess::nBlocks(archive);
    QVERIFY2(nBlocks > 16, "the fixture needs a second cluster");

    auto link = [&](int block, int next) { TestAccess::setNextBlock(archive, block, next); };
    QStringList expected;
    switch (damage) {
    case Damage::CrossLink:
        link(aChain[2], bChain[0]);
        expected = {
            QStringLiteral("/a: the chain of 5 blocks is longer than its size of 150 bytes "
                           "needs (3)"),
            QStringLiteral("/a: the chain ends at block %1 but the entry records last block %2")
                .arg(bChain[1])
                .arg(aChain[2]),
            QStringLiteral("/b: block %1 is also in /a (cross-linked)").arg(bChain[0])};
        break;
    case Damage::Cycle:
        link(aChain[2], aChain[0]);
        expected = {QStringLiteral("/a: the chain runs in a cycle: block %1 links back to block "
                                   "%2")
                        .arg(aChain[2])
                        .arg(aChain[0])};
        break;
    case Damage::SkippedBlock:
        link(aChain[0], aChain[2]);
        expected = {QStringLiteral("/a: the chain of 2 blocks is too short for its size of 150 "
                                   "bytes (needs 3)"),
                    QStringLiteral("block %1 is in no chain and not free (leaked)").arg(aChain[1])};
        break;
    case Damage::LinkOutsideTable:
        link(bChain[0], nBlocks + 5);
        expected = {QStringLiteral("/b: block %1 links to %2, outside the table (0 to %3)")
                        .arg(bChain[0])
                        .arg(nBlocks + 5)
                        .arg(nBlocks - 1),
                    QStringLiteral("block %1 is in no chain and not free (leaked)").arg(bChain[1])};
        break;
    case Damage::InvalidInChain:
        link(bChain[0], -2);
        expected = {QStringLiteral("/b: block %1 holds INVALID inside the chain").arg(bChain[0]),
                    QStringLiteral("block %1 is in no chain and not free (leaked)").arg(bChain[1])};
        break;
    case Damage::WrongLastBlock:
        a->setLastBlock(aChain[1]);
        expected = {QStringLiteral("/a: the chain ends at block %1 but the entry records last "
                                   "block %2")
                        .arg(aChain[2])
                        .arg(aChain[1])};
        break;
    case Damage::SizeTooLarge:
        a->setSize(1000);
        expected = {QStringLiteral("/a: the chain of 3 blocks is too short for its size of 1000 "
                                   "bytes (needs 16)")};
        break;
    case Damage::UnallocatedWithSize:
        c->setFirstBlock(-1);
        c->setLastBlock(-1);
        expected = {QStringLiteral("/d/c: has no blocks but a size of 10 bytes"),
                    QStringLiteral("block %1 is in no chain and not free (leaked)").arg(cBlock)};
        break;
    case Damage::FirstWithoutLast:
        c->setLastBlock(-1);
        expected = {QStringLiteral("/d/c: first block %1 and last block -1 disagree about whether "
                                   "it has blocks")
                        .arg(cBlock),
                    QStringLiteral("block %1 is in no chain and not free (leaked)").arg(cBlock)};
        break;
    case Damage::DuplicateNames:
        TestAccess::root(archive)->addChild(new FileEntry(QStringLiteral("b")));
        expected = {QStringLiteral("/: more than one entry is named \"b\"")};
        break;
    case Damage::BrokenTableChain:
        link(0, -1);
        expected = {QStringLiteral("the table: table block 0 links to END_OF_CHAIN instead of 16")};
        break;
    case Damage::FreeListIntoMember:
        link(freeList[2], aChain[1]);
        expected = {
            QStringLiteral("the free list: block %1 is also in /a (cross-linked)").arg(aChain[1])};
        break;
    case Damage::FreeListHeadOnMember:
        TestAccess::firstFreeBlock(archive) = bChain[1];
        expected = {
            QStringLiteral("the free list: block %1 is also in /b (cross-linked)").arg(bChain[1])};
        break;
    case Damage::FreeListLost:
        TestAccess::firstFreeBlock(archive) = -1;
        break;
    case Damage::ChainIntoTableBlock:
        link(c->firstBlock(), 16);
        expected = {QStringLiteral("/d/c: block 16 is also in the table (cross-linked)")};
        break;
    }

    // The free blocks that the damage cut off are expected as leaks, in ascending runs.
    if (damage == Damage::FreeListHeadOnMember || damage == Damage::FreeListLost)
        expected += leakLines(freeList);
    QCOMPARE(archive.check(), expected);
}

void tst_Check::signatureOverwrittenAfterOpen()
{
    const QString path = dir_.filePath(QStringLiteral("signature.kar"));
    Archive archive(path);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(KestTest::patchHostFile(path, 0, QByteArray::fromHex("00000000")));
    QCOMPARE(archive.check(),
             QStringList{QStringLiteral(
                 "header: the file begins with 0x00000000, not the signature 0x136bd5ef")});
}

// A member's blocks hold its bytes whole; a file cut inside them has lost data.
void tst_Check::fileCutShort()
{
    const QString path = dir_.filePath(QStringLiteral("short.kar"));
    Archive archive(path);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    writeMember(archive, QStringLiteral("/big"), KestTest::patternBytes(10000, 5));
    // An empty member's only block may never reach the file: that alone is not damage.
    writeMember(archive, QStringLiteral("/empty"), QByteArray());
    QCOMPARE(archive.check(), QStringList());

    const int last = fileEntryOf(archive, QStringLiteral("/big"))->lastBlock();
    const qint64 cut = 256 + qint64(last) * 4096 + 100;
    QVERIFY(QFile::resize(path, cut));
    QCOMPARE(archive.check(),
             QStringList{QStringLiteral("/big: block %1 lies past the end of the file (%2 bytes)")
                             .arg(last)
                             .arg(cut)});
}

void tst_Check::writeBackStoresFolders()
{
    const QString path = dir_.filePath(QStringLiteral("folders.kar"));
    {
        Archive archive(path);
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.makeFolder(QStringLiteral("/x")));
        QVERIFY(archive.makeFolder(QStringLiteral("/x/y")));
        archive.setApplicationVersion(Archive::Version(1, 2, 3));
        QVERIFY(archive.writeBack());
    }
    Archive archive(path);
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), QList<QString>{QStringLiteral("x")});
    QVERIFY(archive.setCurrentFolder(QStringLiteral("/x")));
    QCOMPARE(archive.list(), QList<QString>{QStringLiteral("y")});
    QCOMPARE(archive.applicationVersion().minor, 2);
    QCOMPARE(archive.check(), QStringList());
}

void tst_Check::writeBackRefusesReadOnly()
{
    const QString path = dir_.filePath(QStringLiteral("readonly.kar"));
    {
        Archive archive(path);
        QVERIFY(archive.open(QIODevice::ReadWrite));
    }
    const QByteArray before = KestTest::readHostFile(path);
    Archive archive(path);
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QVERIFY(archive.makeFolder(QStringLiteral("/x")));
    QTest::ignoreMessage(
        QtDebugMsg,
        qPrintable(QStringLiteral("\"writeBack: %1 is not open for writing\"").arg(path)));
    QVERIFY(!archive.writeBack());
    archive.close();
    QCOMPARE(KestTest::readHostFile(path), before);

    Archive closed(path);
    QTest::ignoreMessage(
        QtDebugMsg,
        qPrintable(QStringLiteral("\"writeBack: %1 is not open for writing\"").arg(path)));
    QVERIFY(!closed.writeBack());
}

QTEST_GUILESS_MAIN(tst_Check)
#include "tst_check.moc"
