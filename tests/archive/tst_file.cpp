// Member files as QIODevices: every open mode and its failures, the mapping of member
// positions to blocks, what closing, truncating and rewriting leave in the table and in the
// container's bytes, damaged chains, failures while closing, and transfers with and without
// QIODevice's buffer.

#include "Archive.h"
#include "ArchiveTestUtil.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <stdexcept>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace Kest::Ar;
using KestTest::chainOf;
using KestTest::diskFirstFreeBlock;
using KestTest::diskTableEntry;
using KestTest::findFile;
using KestTest::MessageLog;
using KestTest::quoted;

namespace {

constexpr int EndOfChain = -1;
constexpr qint64 B = 4096;
constexpr qint64 HeaderSize = 256;

QByteArray filled(qint64 size, char byte)
{
    return QByteArray(size, byte);
}

} // namespace

class tst_File : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void openModes_data();
    void openModes();
    void openOnAnOpenMember();
    void readOnlyArchiveRefusesWritableModes_data();
    void readOnlyArchiveRefusesWritableModes();
    void openWithoutAnEntry_data();
    void openWithoutAnEntry();
    void openFailsWhenStartCannotBeReached();
    void openFailsWhenFirstBlockCannotBeGiven();
    void positionMapping_data();
    void positionMapping();
    void newMemberClosedAtOnceKeepsOneBlock();
    void lastBlockIsZeroFilled_data();
    void lastBlockIsZeroFilled();
    void rewriteShorterFreesTheTail();
    void appendStartsAtTheEnd();
    void seekBounds();
    void seekWhoseMoveFails();
    void transferFailuresChangeNothing();
    void truncateInTheMiddle();
    void truncateToZero();
    void truncateRefusals();
    void readStopsAtTheEnd();
    void shorteningAfterGrowthFreesTheWholeTail();
    void chainShorterThanSizeReadsShort();
    void closeWithUnreachableEndWritesNothing();
    void closeFailureReachesTheCaller();
    void destructorReportsCloseFailure();
    void removeFileRefusesAnOpenMember();
    void flushKeepsPositionAndEntry();
    void transfersNeedTheirDirection();
    void seekRestoresPositionBetweenMembers();
    void truncateAfterBufferedRead();
    void randomTransfers_data();
    void randomTransfers();

private:
    QString path(const QString& name = QStringLiteral("file.qel")) const
    {
        return dir_->filePath(name);
    }
    QByteArray hostBytes() const { return KestTest::readHostFile(path()); }
    QByteArray hostBlock(int block) const { return hostBytes().mid(HeaderSize + block * B, B); }
    void member(const QString& name, const QByteArray& bytes)
    {
        QVERIFY(KestTest::writeMember(*archive_, name, bytes));
    }
    QList<int> chain(const QString& name)
    {
        FileEntry* entry = findFile(*archive_, name);
        return entry ? chainOf(*archive_, entry->firstBlock()) : QList<int>();
    }
    QList<int> freeList() { return chainOf(*archive_, TestAccess::firstFreeBlock(*archive_)); }
    void audit()
    {
        const QStringList problems = KestTest::auditBlocks(*archive_);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    }
    Archive::Position position() const { return TestAccess::currentPosition(*archive_); }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Archive> archive_;
};

void tst_File::init()
{
    dir_.reset(new QTemporaryDir);
    QVERIFY(dir_->isValid());
    archive_.reset(new Archive(path()));
    QVERIFY(archive_->open(QIODevice::ReadWrite));
}

void tst_File::cleanup()
{
    archive_.reset();
    dir_.reset();
}

// ---- Opening ------------------------------------------------------------------------------

void tst_File::openModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("sizeAfterClose");

    using M = QIODevice;
    const int RO = M::ReadOnly, WO = M::WriteOnly, RW = M::ReadWrite, AP = M::Append,
              TR = M::Truncate;
    QTest::newRow("ReadOnly") << RO << true << true << 10000LL << 0LL << 10000LL;
    QTest::newRow("ReadOnly, missing") << RO << false << false << 0LL << 0LL << -1LL;
    QTest::newRow("WriteOnly") << WO << true << true << 0LL << 0LL << 0LL;
    QTest::newRow("WriteOnly, missing") << WO << false << true << 0LL << 0LL << 0LL;
    QTest::newRow("WriteOnly|Append") << (WO | AP) << true << true << 10000LL << 10000LL << 10000LL;
    QTest::newRow("WriteOnly|Append, missing") << (WO | AP) << false << true << 0LL << 0LL << 0LL;
    QTest::newRow("ReadWrite") << RW << true << true << 10000LL << 0LL << 10000LL;
    QTest::newRow("ReadWrite, missing") << RW << false << false << 0LL << 0LL << -1LL;
    QTest::newRow("ReadWrite|Append") << (RW | AP) << true << true << 10000LL << 10000LL << 10000LL;
    QTest::newRow("ReadWrite|Append, missing") << (RW | AP) << false << false << 0LL << 0LL << -1LL;
    QTest::newRow("ReadOnly|Append") << (RO | AP) << true << true << 10000LL << 10000LL << 10000LL;
    QTest::newRow("ReadOnly|Append, missing") << (RO | AP) << false << false << 0LL << 0LL << -1LL;
    // Truncate has no effect of its own.
    QTest::newRow("WriteOnly|Truncate") << (WO | TR) << true << true << 0LL << 0LL << 0LL;
    QTest::newRow("ReadWrite|Truncate") << (RW | TR) << true << true << 10000LL << 0LL << 10000LL;
}

void tst_File::openModes()
{
    QFETCH(int, mode);
    QFETCH(bool, exists);
    QFETCH(bool, opens);
    QFETCH(qint64, size);
    QFETCH(qint64, start);
    QFETCH(qint64, sizeAfterClose);

    const QByteArray original = KestTest::patternBytes(10000, 5);
    if (exists)
        member("/m", original);
    const QList<int> chainBefore = chain("/m");
    const int blocksBefore = TestAccess::nBlocks(*archive_);

    File file(archive_.get(), "/m");
    if (!opens)
        QTest::ignoreMessage(QtDebugMsg, "open: /m must already exist");
    QCOMPARE(file.open(QIODevice::OpenMode(mode)), opens);
    if (!opens) {
        QVERIFY(!file.isOpen());
        QCOMPARE(file.openMode(), QIODevice::NotOpen);
        QVERIFY(!archive_->fileExists("/m"));
        QCOMPARE(TestAccess::nBlocks(*archive_), blocksBefore);
        return;
    }
    QCOMPARE(file.openMode(), QIODevice::OpenMode(mode));
    QCOMPARE(file.size(), size);
    QCOMPARE(file.pos(), start);
    QCOMPARE(TestAccess::memberPos(file), start);
    FileEntry* entry = findFile(*archive_, "/m");
    QVERIFY(entry);
    QCOMPARE(TestAccess::entry(file), entry);
    if (exists) {
        QCOMPARE(entry->firstBlock(), chainBefore.first());
    } else {
        // A new member gets one block at once: the next block of the archive.
        QCOMPARE(entry->firstBlock(), blocksBefore);
        QCOMPARE(entry->lastBlock(), blocksBefore);
        QCOMPARE(entry->size(), qint64(0));
    }
    // The archive stands at the start position of the member.
    const int startBlock = start == 0 ? entry->firstBlock() : chainBefore[(start - 1) / B];
    const qint64 startOffset = start == 0 ? 0 : (start - 1) % B + 1;
    QCOMPARE(position().block, startBlock);
    QCOMPARE(position().offset, startOffset);
    file.close();

    QCOMPARE(findFile(*archive_, "/m")->size(), sizeAfterClose);
    QCOMPARE(KestTest::readMember(*archive_, "/m"), original.left(sizeAfterClose));
    audit();
}

void tst_File::openOnAnOpenMember()
{
    member("/m", "abcdef");
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QCOMPARE(file.read(2), QByteArray("ab"));
    QTest::ignoreMessage(QtDebugMsg, "open: /m is already open");
    QVERIFY(!file.open(QIODevice::WriteOnly));
    QCOMPARE(file.openMode(), QIODevice::ReadOnly | QIODevice::Unbuffered);
    QCOMPARE(file.pos(), 2);
    QCOMPARE(file.read(10), QByteArray("cdef"));
}

void tst_File::readOnlyArchiveRefusesWritableModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("WriteOnly") << int(QIODevice::WriteOnly);
    QTest::newRow("ReadWrite") << int(QIODevice::ReadWrite);
    QTest::newRow("WriteOnly|Append") << int(QIODevice::WriteOnly | QIODevice::Append);
    QTest::newRow("ReadWrite|Append") << int(QIODevice::ReadWrite | QIODevice::Append);
}

void tst_File::readOnlyArchiveRefusesWritableModes()
{
    QFETCH(int, mode);
    member("/m", "contents");
    archive_.reset(new Archive(path()));
    QVERIFY(archive_->open(QIODevice::ReadOnly));
    const QByteArray before = hostBytes();

    for (const QString& name : {QStringLiteral("/m"), QStringLiteral("/new")}) {
        File file(archive_.get(), name);
        QTest::ignoreMessage(QtDebugMsg, "open: archive is read-only");
        QVERIFY(!file.open(QIODevice::OpenMode(mode)));
        QVERIFY(!file.isOpen());
        QCOMPARE(file.openMode(), QIODevice::NotOpen);
    }
    QCOMPARE(archive_->list(), QList<QString>{"m"});
    QCOMPARE(KestTest::readMember(*archive_, "/m"), QByteArray("contents"));
    archive_.reset();
    QCOMPARE(hostBytes(), before);
}

void tst_File::openWithoutAnEntry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("missing folder")
        << "/nofolder/m"
        << QStringList{"parent: nofolder does not exist", "fileEntry: parent of m does not exist"};
    QTest::newRow("a folder") << "/d" << QStringList{"fileEntry: d is a folder"};
}

void tst_File::openWithoutAnEntry()
{
    QFETCH(QString, name);
    QFETCH(QStringList, messages);
    QVERIFY(archive_->makeFolder("/d"));
    member("/other", "x");
    const QByteArray before = hostBytes();
    const int blocks = TestAccess::nBlocks(*archive_);
    {
        File file(archive_.get(), name);
        for (const QString& m : messages)
            QTest::ignoreMessage(QtDebugMsg, quoted(m));
        QVERIFY(!file.open(QIODevice::WriteOnly));
        QVERIFY(!file.isOpen());
        QCOMPARE(file.openMode(), QIODevice::NotOpen);
        // Neither close nor the destructor sees an open member.
        file.close();
    }
    QCOMPARE(TestAccess::nBlocks(*archive_), blocks);
    QCOMPARE(archive_->list(), (QList<QString>{"d", "other"}));
    archive_.reset();
    QCOMPARE(hostBytes(), before);
}

void tst_File::openFailsWhenStartCannotBeReached()
{
    member("/m", filled(10000, 'm'));
    const QList<int> blocks = chain("/m");
    QCOMPARE(blocks.size(), 3);
    // With the chain cut after its first block, the end of the member cannot be reached.
    TestAccess::setNextBlock(*archive_, blocks[0], EndOfChain);
    {
        File file(archive_.get(), "/m");
        QTest::ignoreMessage(QtDebugMsg, "Cannot move file to pos 10000");
        QVERIFY(!file.open(QIODevice::ReadWrite | QIODevice::Append));
        QVERIFY(!file.isOpen());
        // Not counted as open: the member can still be removed below.
    }
    TestAccess::setNextBlock(*archive_, blocks[0], blocks[1]);
    QVERIFY(archive_->removeFile("/m"));
    audit();
}

// The archive cannot grow: with blocks of 8 bytes every second block heads a cluster, and a new
// archive ends just before one, so the first block of a new member needs a new table block.
// The container's descriptor is swapped for a pipe, on which no move succeeds, so the move to
// the end of the file that the new cluster needs fails.
void tst_File::openFailsWhenFirstBlockCannotBeGiven()
{
#ifndef Q_OS_UNIX
    QSKIP("swaps a file descriptor");
#else
    const QString smallPath = path("small.qel");
    archive_.reset(new Archive(smallPath, 8));
    QVERIFY(archive_->open(QIODevice::ReadWrite));
    const int blocks = TestAccess::nBlocks(*archive_);
    QCOMPARE(blocks % TestAccess::nBlocksPerCluster(*archive_), 0);
    QCOMPARE(TestAccess::firstFreeBlock(*archive_), EndOfChain);
    const QByteArray before = KestTest::readHostFile(smallPath);

    int pipeEnds[2];
    QCOMPARE(::pipe(pipeEnds), 0);
    QVERIFY(::dup2(pipeEnds[1], TestAccess::file(*archive_).handle()) >= 0);
    ::close(pipeEnds[1]);

    QStringList messages;
    {
        MessageLog log;
        File file(archive_.get(), "/m");
        QVERIFY(!file.open(QIODevice::WriteOnly));
        QVERIFY(!file.isOpen());
        messages = log.messages;
    }
    // The exception's text is reported, then the member is removed again (whose write-back
    // fails in turn on this container).
    const QString reason = QStringLiteral("allocateNewCluster: cannot move to end of archive");
    QVERIFY2(messages.contains(reason), qPrintable(messages.join(QLatin1Char('\n'))));
    QVERIFY(archive_->list().isEmpty());
    QCOMPARE(TestAccess::nBlocks(*archive_), blocks);
    {
        MessageLog quiet;
        archive_.reset();
    }
    ::close(pipeEnds[0]);
    QCOMPARE(KestTest::readHostFile(smallPath), before);
#endif
}

// ---- Positions ----------------------------------------------------------------------------

void tst_File::positionMapping_data()
{
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<qint64>("pos");
    QTest::addColumn<int>("index");
    QTest::addColumn<qint64>("offset");

    for (int bs : {4096, 64}) {
        const auto row = [bs](const char* name, qint64 pos, int index, qint64 offset) {
            QTest::addRow("%d: %s", bs, name) << bs << pos << index << offset;
        };
        row("start", 0, 0, 0);
        row("second byte", 1, 0, 1);
        row("last byte of the first block", bs - 1, 0, bs - 1);
        row("first boundary is the end of the first block", bs, 0, bs);
        row("first byte of the second block", bs + 1, 1, 1);
        row("second boundary", 2 * bs, 1, bs);
        row("inside the third block", 2 * bs + 7, 2, 7);
        row("the end, on a boundary", 3 * bs, 2, bs);
    }
}

void tst_File::positionMapping()
{
    QFETCH(int, blockSize);
    QFETCH(qint64, pos);
    QFETCH(int, index);
    QFETCH(qint64, offset);

    archive_.reset(new Archive(path("map.qel"), unsigned(blockSize)));
    QVERIFY(archive_->open(QIODevice::ReadWrite));
    // Another member first, so that the chain under test is interleaved with it.
    const QByteArray bytes = KestTest::patternBytes(3 * blockSize, 11);
    {
        File a(archive_.get(), "/a");
        File b(archive_.get(), "/b");
        QVERIFY(a.open(QIODevice::WriteOnly));
        QVERIFY(b.open(QIODevice::WriteOnly));
        for (int k = 0; k < 3; ++k) {
            QVERIFY(b.seek(b.size()));
            QCOMPARE(b.write(QByteArray(blockSize, 'b')), blockSize);
            QVERIFY(a.seek(a.size()));
            QCOMPARE(a.write(bytes.mid(k * blockSize, blockSize)), blockSize);
        }
    }
    const QList<int> blocks = chain("/a");
    QCOMPARE(blocks.size(), 3);

    File file(archive_.get(), "/a");
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QVERIFY(file.seek(pos));
    QCOMPARE(position().block, blocks[index]);
    QCOMPARE(position().offset, offset);
    QCOMPARE(TestAccess::memberPos(file), pos);
    // Reading from there delivers the member's own bytes, across the boundary.
    QCOMPARE(file.read(blockSize / 2), bytes.mid(pos, blockSize / 2));
}

// ---- What closing and truncating leave behind ---------------------------------------------

void tst_File::newMemberClosedAtOnceKeepsOneBlock()
{
    const int block = TestAccess::nBlocks(*archive_);
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.size(), 0);
    file.close();
    FileEntry* entry = findFile(*archive_, "/m");
    QVERIFY(entry);
    QCOMPARE(entry->size(), qint64(0));
    QCOMPARE(entry->firstBlock(), block);
    QCOMPARE(entry->lastBlock(), block);
    QCOMPARE(TestAccess::nextBlock(*archive_, block), EndOfChain);
    QCOMPARE(diskTableEntry(hostBytes(), block), EndOfChain);
    QCOMPARE(KestTest::readMember(*archive_, "/m"), QByteArray(""));
    audit();
}

void tst_File::lastBlockIsZeroFilled_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("blocks");
    QTest::newRow("one byte") << 1LL << 1;
    QTest::newRow("one block") << B << 1;
    QTest::newRow("one block and a byte") << B + 1 << 2;
    QTest::newRow("two blocks") << 2 * B << 2;
}

void tst_File::lastBlockIsZeroFilled()
{
    QFETCH(qint64, size);
    QFETCH(int, blocks);
    // Blocks that held other bytes before, reused from the free list.
    member("/junk", filled(3 * B, '\xEE'));
    const QList<int> junk = chain("/junk");
    QVERIFY(archive_->removeFile("/junk"));

    const QByteArray bytes = KestTest::patternBytes(size, 3);
    member("/m", bytes);
    const QList<int> used = chain("/m");
    QCOMPARE(used, junk.mid(0, blocks));
    QCOMPARE(findFile(*archive_, "/m")->lastBlock(), used.last());
    QCOMPARE(TestAccess::nextBlock(*archive_, used.last()), EndOfChain);
    QByteArray stored;
    for (int block : used)
        stored += hostBlock(block);
    QCOMPARE(stored.left(size), bytes);
    QCOMPARE(stored.mid(size), QByteArray(blocks * B - size, '\0'));
    QCOMPARE(freeList(), junk.mid(blocks));
    audit();
}

void tst_File::rewriteShorterFreesTheTail()
{
    const QByteArray bytes = KestTest::patternBytes(10000, 7);
    member("/m", bytes);
    const QList<int> blocks = chain("/m");
    QCOMPARE(blocks.size(), 3);
    QCOMPARE(TestAccess::firstFreeBlock(*archive_), EndOfChain);

    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes.left(100)), 100);
    file.close();

    FileEntry* entry = findFile(*archive_, "/m");
    QCOMPARE(entry->size(), qint64(100));
    QCOMPARE(entry->firstBlock(), blocks[0]);
    QCOMPARE(entry->lastBlock(), blocks[0]);
    QCOMPARE(chain("/m"), QList<int>{blocks[0]});
    QCOMPARE(freeList(), (QList<int>{blocks[1], blocks[2]}));
    const QByteArray disk = hostBytes();
    QCOMPARE(diskFirstFreeBlock(disk), blocks[1]);
    QCOMPARE(diskTableEntry(disk, blocks[0]), EndOfChain);
    QCOMPARE(diskTableEntry(disk, blocks[1]), blocks[2]);
    QCOMPARE(diskTableEntry(disk, blocks[2]), EndOfChain);
    QCOMPARE(KestTest::readMember(*archive_, "/m"), bytes.left(100));
    QCOMPARE(hostBlock(blocks[0]).mid(100), QByteArray(B - 100, '\0'));
    audit();
}

void tst_File::appendStartsAtTheEnd()
{
    const QByteArray bytes = KestTest::patternBytes(10000, 8);
    member("/m", bytes);
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(file.pos(), 10000);
    QCOMPARE(file.write("0123456789"), 10);
    file.close();
    QCOMPARE(findFile(*archive_, "/m")->size(), qint64(10010));
    QCOMPARE(KestTest::readMember(*archive_, "/m"), bytes + "0123456789");
    audit();
}

void tst_File::seekBounds()
{
    member("/m", filled(10000, 's'));
    File file(archive_.get(), "/m");
    QVERIFY(!file.seek(0)); // closed
    QVERIFY(file.open(QIODevice::ReadOnly));
    MessageLog log;
    QVERIFY(file.seek(5));
    QVERIFY(file.seek(file.size()));
    QVERIFY(file.atEnd());
    QVERIFY(!file.seek(file.size() + 1));
    QVERIFY(!file.seek(-1));
    QCOMPARE(file.pos(), 10000);
    QCOMPARE(TestAccess::memberPos(file), 10000);
    QVERIFY(log.messages.isEmpty());
}

// The container's descriptor is swapped for a pipe, on which no move succeeds.
void tst_File::seekWhoseMoveFails()
{
#ifndef Q_OS_UNIX
    QSKIP("swaps a file descriptor");
#else
    member("/m", filled(10000, 's'));
    const QList<int> blocks = chain("/m");
    const QByteArray before = hostBytes();
    int pipeEnds[2];
    QCOMPARE(::pipe(pipeEnds), 0);
    {
        File file(archive_.get(), "/m");
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        QCOMPARE(file.read(10), filled(10, 's'));
        QVERIFY(::dup2(pipeEnds[1], TestAccess::file(*archive_).handle()) >= 0);
        MessageLog log;
        QVERIFY(!file.seek(5000));
        QVERIFY2(log.messages.contains(
                     QStringLiteral("toBlock: cannot move file to block %1 at offset 904")
                         .arg(blocks[1])),
                 qPrintable(log.messages.join(QLatin1Char('\n'))));
        QCOMPARE(file.pos(), 10);
        QCOMPARE(TestAccess::memberPos(file), 10);
    }
    {
        MessageLog quiet;
        archive_.reset();
    }
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    QCOMPARE(hostBytes(), before);
#endif
}

// A transfer that the container refuses reports -1 and leaves the member's size and position.
void tst_File::transferFailuresChangeNothing()
{
    member("/m", "0123456789");
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    QVERIFY(file.seek(4));
    Kest::QtLockedFile& container = TestAccess::file(*archive_);

    container.restrictOpenMode(QIODevice::ReadOnly);
    QTest::ignoreMessage(QtDebugMsg, "doWriteBlock: I/O error");
    QCOMPARE(file.writeData("abcdefghijkl", 12), -1);
    QCOMPARE(file.size(), 10);
    QCOMPARE(TestAccess::memberPos(file), 4);

    container.restrictOpenMode(QIODevice::WriteOnly);
    char buffer[4];
    QTest::ignoreMessage(QtDebugMsg, "doReadBlock: I/O error");
    QCOMPARE(file.readData(buffer, 4), -1);
    QCOMPARE(TestAccess::memberPos(file), 4);

    container.restrictOpenMode(QIODevice::ReadWrite);
    QVERIFY(file.seek(4));
    QCOMPARE(file.read(3), QByteArray("456"));
    file.close();
    QCOMPARE(KestTest::readMember(*archive_, "/m"), QByteArray("0123456789"));
}

void tst_File::truncateInTheMiddle()
{
    member("/m", filled(10000, '\xA5'));
    const QList<int> blocks = chain("/m");
    QCOMPARE(blocks.size(), 3);

    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(5000));
    QVERIFY(file.truncate());
    QCOMPARE(file.size(), 5000);
    QCOMPARE(file.pos(), 5000);
    QVERIFY(file.read(100).isEmpty());
    QVERIFY(file.atEnd());

    // The entry and the table are written back at once.
    FileEntry* entry = findFile(*archive_, "/m");
    QCOMPARE(entry->size(), qint64(5000));
    QCOMPARE(entry->lastBlock(), blocks[1]);
    QCOMPARE(freeList(), QList<int>{blocks[2]});
    const QByteArray disk = hostBytes();
    QCOMPARE(diskFirstFreeBlock(disk), blocks[2]);
    QCOMPARE(diskTableEntry(disk, blocks[1]), EndOfChain);
    const QByteArray second = hostBlock(blocks[1]);
    QCOMPARE(second.left(904), filled(904, '\xA5'));
    QCOMPARE(second.mid(904), QByteArray(B - 904, '\0'));

    // Writing goes on at the position, which stayed at the cut.
    QCOMPARE(file.write("tail"), 4);
    file.close();
    QCOMPARE(KestTest::readMember(*archive_, "/m"), filled(5000, '\xA5') + "tail");
    audit();
}

void tst_File::truncateToZero()
{
    member("/m", filled(3 * B - 1, 't'));
    const QList<int> blocks = chain("/m");
    QCOMPARE(blocks.size(), 3);
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(0));
    QVERIFY(file.truncate());
    file.close();
    FileEntry* entry = findFile(*archive_, "/m");
    QCOMPARE(entry->size(), qint64(0));
    QCOMPARE(entry->firstBlock(), blocks[0]);
    QCOMPARE(entry->lastBlock(), blocks[0]);
    QCOMPARE(freeList(), (QList<int>{blocks[1], blocks[2]}));
    QCOMPARE(KestTest::readMember(*archive_, "/m"), QByteArray(""));
    audit();
}

void tst_File::truncateRefusals()
{
    member("/m", "0123456789");
    const QByteArray before = hostBytes();
    {
        File directory(archive_.get(), "qel_dir");
        QVERIFY(directory.open(QIODevice::ReadWrite));
        QVERIFY(directory.seek(4));
        QVERIFY(!directory.truncate());
        QCOMPARE(directory.size(), TestAccess::directory(*archive_)->size());
    }
    {
        File readOnly(archive_.get(), "/m");
        QVERIFY(readOnly.open(QIODevice::ReadOnly));
        QVERIFY(readOnly.seek(3));
        QVERIFY(!readOnly.truncate());
        QCOMPARE(readOnly.size(), 10);
    }
    File closed(archive_.get(), "/m");
    QVERIFY(!closed.truncate());
    QCOMPARE(findFile(*archive_, "/m")->size(), qint64(10));
    QCOMPARE(hostBytes(), before);
}

void tst_File::readStopsAtTheEnd()
{
    const QByteArray bytes = KestTest::patternBytes(10000, 9);
    member("/m", bytes);
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QVERIFY(file.seek(9950));
    QByteArray buffer(100, '\0');
    QCOMPARE(file.read(buffer.data(), 100), 50);
    QCOMPARE(buffer.left(50), bytes.mid(9950));
    QCOMPARE(file.read(buffer.data(), 100), 0);
    QVERIFY(file.atEnd());
}

// Writes do not move the entry's last block, so after a member grew in one opening its entry
// is short of the chain's real end; cutting it must still give back every block after the cut.
void tst_File::shorteningAfterGrowthFreesTheWholeTail()
{
    member("/m", "seed");
    QCOMPARE(chain("/m").size(), 1);
    QByteArray model("seed");

    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(4));
    const QByteArray grown = KestTest::patternBytes(3 * B, 1);
    QCOMPARE(file.write(grown), grown.size());
    model += grown;
    QCOMPARE(chain("/m").size(), 4);
    QVERIFY(file.seek(50));
    QVERIFY(file.truncate());
    model.truncate(50);
    QCOMPARE(chain("/m").size(), 1);
    QCOMPARE(freeList().size(), 3);

    // Grow again, beyond the blocks just freed, and cut once more in the second block.
    const QByteArray again = KestTest::patternBytes(5 * B, 2);
    QCOMPARE(file.write(again), again.size());
    model += again;
    QCOMPARE(chain("/m").size(), 6);
    QVERIFY(file.seek(B + 10));
    QVERIFY(file.truncate());
    model.truncate(B + 10);
    file.close();
    audit();
    QCOMPARE(chain("/m").size(), 2);
    QCOMPARE(KestTest::readMember(*archive_, "/m"), model);

    // The same for a rewrite that ends shorter than what it wrote before in the same opening.
    File rewrite(archive_.get(), "/m");
    QVERIFY(rewrite.open(QIODevice::WriteOnly));
    QCOMPARE(rewrite.write(KestTest::patternBytes(4 * B, 3)), 4 * B);
    QVERIFY(rewrite.seek(100));
    QVERIFY(rewrite.truncate());
    QCOMPARE(rewrite.write("xyz"), 3);
    rewrite.close();
    audit();
    QCOMPARE(KestTest::readMember(*archive_, "/m"),
             KestTest::patternBytes(4 * B, 3).left(100) + "xyz");

    archive_.reset(new Archive(path()));
    QVERIFY(archive_->open(QIODevice::ReadOnly));
    audit();
}

void tst_File::chainShorterThanSizeReadsShort()
{
    const QByteArray bytes = KestTest::patternBytes(10000, 4);
    member("/m", bytes);
    const QList<int> blocks = chain("/m");
    QCOMPARE(blocks.size(), 3);
    archive_.reset();
    // The chain ends after two blocks while the entry still says 10000 bytes.
    QVERIFY(KestTest::patchHostFile(path(), HeaderSize + 4 * blocks[1], KestTest::be32(-1)));

    archive_.reset(new Archive(path()));
    QVERIFY(archive_->open(QIODevice::ReadOnly));
    const char* damaged = "readData: /m is damaged: its chain ends before its size";
    {
        File file(archive_.get(), "/m");
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), 10000);
        QByteArray buffer(10000, '\0');
        MessageLog log;
        QCOMPARE(file.readData(buffer.data(), 10000), 2 * B);
        QCOMPARE(log.messages, QStringList{damaged});
        QCOMPARE(buffer.left(2 * B), bytes.left(2 * B));
        // Past the end of the chain there is nowhere to go.
        QVERIFY(!file.seek(2 * B + 1));
    }
    {
        File file(archive_.get(), "/m");
        QVERIFY(file.open(QIODevice::ReadOnly));
        MessageLog log;
        QCOMPARE(file.readAll(), bytes.left(2 * B));
        QVERIFY(!log.messages.isEmpty());
        for (const QString& message : log.messages)
            QCOMPARE(message, QString::fromLatin1(damaged));
    }
}

void tst_File::closeWithUnreachableEndWritesNothing()
{
    member("/m", filled(10000, 'c'));
    const QList<int> blocks = chain("/m");
    const QByteArray before = hostBytes();
    {
        File file(archive_.get(), "/m");
        QVERIFY(file.open(QIODevice::ReadWrite));
        TestAccess::setNextBlock(*archive_, blocks[0], EndOfChain);
        QTest::ignoreMessage(QtDebugMsg,
                             "close: cannot move to the end of /m; nothing is written back");
        file.close();
        QVERIFY(!file.isOpen());
    }
    FileEntry* entry = findFile(*archive_, "/m");
    QCOMPARE(entry->size(), qint64(10000));
    QCOMPARE(entry->lastBlock(), blocks[2]);
    QCOMPARE(hostBytes(), before);
    TestAccess::setNextBlock(*archive_, blocks[0], blocks[1]);
    // The member no longer counts as open.
    QVERIFY(archive_->removeFile("/m"));
    audit();
}

// Writes fail once the container's mode no longer allows them; the zeros that complete the
// member's last block cannot be written when it is closed.
void tst_File::closeFailureReachesTheCaller()
{
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write("0123456789"), 10);
    TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadOnly);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, file.close());
    try {
        file.close();
    } catch (...) {
        QFAIL("a second close threw");
    }
    QVERIFY(!file.isOpen());
    TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadWrite);
}

void tst_File::destructorReportsCloseFailure()
{
    FileEntry* entry = nullptr;
    try {
        File file(archive_.get(), "/m");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write("0123456789"), 10);
        entry = TestAccess::entry(file);
        TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadOnly);
        QTest::ignoreMessage(QtDebugMsg, "~File: /m: doWriteBlock: I/O error");
    } catch (...) {
        TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadWrite);
        QFAIL("the destructor threw");
    }
    TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadWrite);
    // Nothing was written back, and the member is no longer open.
    QCOMPARE(entry->size(), qint64(0));
    QVERIFY(archive_->removeFile("/m"));
}

void tst_File::removeFileRefusesAnOpenMember()
{
    member("/m", "keep me");
    File first(archive_.get(), "/m");
    File second(archive_.get(), "m");
    QVERIFY(first.open(QIODevice::ReadOnly));
    QVERIFY(second.open(QIODevice::ReadOnly));
    QTest::ignoreMessage(QtDebugMsg, "open: /m is already open");
    QVERIFY(!first.open(QIODevice::ReadOnly)); // a refused open counts nothing
    QTest::ignoreMessage(QtDebugMsg, quoted("removeFile: m is open"));
    QVERIFY(!archive_->removeFile("/m"));
    first.close();
    QTest::ignoreMessage(QtDebugMsg, quoted("removeFile: m is open"));
    QVERIFY(!archive_->removeFile("m"));
    QCOMPARE(second.readAll(), QByteArray("keep me"));
    second.close();
    QVERIFY(archive_->removeFile("/m"));
    QVERIFY(archive_->list().isEmpty());
    audit();
}

void tst_File::flushKeepsPositionAndEntry()
{
    const QByteArray bytes = KestTest::patternBytes(5100, 12);
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes.left(5000)), 5000);
    const Archive::Position before = position();
    file.flush();
    QCOMPARE(position().block, before.block);
    QCOMPARE(position().offset, before.offset);
    // The entry keeps what the open gave it until the member is closed or truncated.
    QCOMPARE(TestAccess::entry(file)->size(), qint64(0));
    QCOMPARE(file.write(bytes.mid(5000)), 100);
    file.close();
    QCOMPARE(KestTest::readMember(*archive_, "/m"), bytes);
    audit();
}

void tst_File::transfersNeedTheirDirection()
{
    member("/m", "abc");
    char buffer[8] = {};
    File closed(archive_.get(), "/m");
    QCOMPARE(closed.readData(buffer, 3), -1);
    QCOMPARE(closed.writeData("xyz", 3), -1);

    File reader(archive_.get(), "/m");
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QCOMPARE(reader.writeData("xyz", 3), -1);
    QCOMPARE(reader.size(), 3);
    QCOMPARE(TestAccess::memberPos(reader), 0);
    reader.close();

    File writer(archive_.get(), "/m");
    QVERIFY(writer.open(QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(writer.readData(buffer, 3), -1);
    QCOMPARE(TestAccess::memberPos(writer), 3);
    writer.close();
    QCOMPARE(KestTest::readMember(*archive_, "/m"), QByteArray("abc"));
}

// The archive has one position: a member that another member's transfer has moved away from
// goes on correctly after a seek to its own position.
void tst_File::seekRestoresPositionBetweenMembers()
{
    const QByteArray a = KestTest::patternBytes(3 * B, 21);
    const QByteArray b = KestTest::patternBytes(3 * B, 22);
    member("/a", a);
    member("/b", b);
    File reader(archive_.get(), "/a");
    File writer(archive_.get(), "/b");
    QVERIFY(reader.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QVERIFY(writer.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    // Opening the writer moved the archive to the writer's start.
    QVERIFY(reader.seek(0));
    QCOMPARE(reader.read(B + 10), a.left(B + 10));
    QVERIFY(writer.seek(2 * B - 2));
    QCOMPARE(writer.write("XYZW"), 4);
    QVERIFY(reader.seek(reader.pos()));
    QCOMPARE(reader.read(B), a.mid(B + 10, B));
    QVERIFY(writer.seek(writer.pos()));
    QCOMPARE(writer.write("!"), 1);
    reader.close();
    writer.close();
    QByteArray expected = b;
    expected.replace(2 * B - 2, 5, "XYZW!");
    QCOMPARE(KestTest::readMember(*archive_, "/b"), expected);
    QCOMPARE(KestTest::readMember(*archive_, "/a"), a);
}

// With QIODevice's read buffer the member reads ahead of the position its user sees.
void tst_File::truncateAfterBufferedRead()
{
    const QByteArray bytes = KestTest::patternBytes(10000, 13);
    member("/m", bytes);
    File file(archive_.get(), "/m");
    QVERIFY(file.open(QIODevice::ReadWrite));
    QCOMPARE(file.read(100), bytes.left(100));
    QCOMPARE(file.pos(), 100);
    QVERIFY(file.truncate());
    QCOMPARE(file.size(), 100);
    QCOMPARE(file.pos(), 100);
    // Nothing is left to read: what was read ahead lies beyond the new end.
    QVERIFY(file.read(10).isEmpty());
    QVERIFY(file.atEnd());
    QCOMPARE(file.write("++"), 2);
    QVERIFY(file.seek(0));
    QCOMPARE(file.readAll(), bytes.left(100) + "++");
    file.close();
    QCOMPARE(KestTest::readMember(*archive_, "/m"), bytes.left(100) + "++");
    audit();
}

void tst_File::randomTransfers_data()
{
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<bool>("unbuffered");
    for (int bs : {64, 4096}) {
        QTest::addRow("%d, buffered", bs) << bs << false;
        QTest::addRow("%d, unbuffered", bs) << bs << true;
    }
}

// Reads, writes, seeks and truncations in random order, with and without QIODevice's buffer,
// compared step by step with the bytes they should give.
void tst_File::randomTransfers()
{
    QFETCH(int, blockSize);
    QFETCH(bool, unbuffered);
    const QString name = path("random.qel");
    archive_.reset(new Archive(name, unsigned(blockSize)));
    QVERIFY(archive_->open(QIODevice::ReadWrite));
    QByteArray model = KestTest::patternBytes(5 * blockSize + 3, 17);
    member("/m", model);

    QRandomGenerator random(quint32(blockSize) * 2 + unbuffered);
    const auto length = [&] {
        switch (random.bounded(4)) {
        case 0:
            return qint64(random.bounded(4));
        case 1:
            return qint64(blockSize + random.bounded(3) - 1);
        default:
            return qint64(random.bounded(3 * blockSize));
        }
    };
    File file(archive_.get(), "/m");
    QIODevice::OpenMode mode = QIODevice::ReadWrite;
    if (unbuffered)
        mode |= QIODevice::Unbuffered;
    QVERIFY(file.open(mode));
    for (int step = 0; step < 400; ++step) {
        const int op = random.bounded(10);
        const qint64 at = file.pos();
        QString what;
        bool ok = true;
        if (op < 3) {
            const qint64 to = random.bounded(model.size() + 1);
            what = QStringLiteral("seek(%1) from %2").arg(to).arg(at);
            ok = file.seek(to) && file.pos() == to;
        } else if (op < 6) {
            const qint64 n = length();
            what = QStringLiteral("read(%1) at %2").arg(n).arg(at);
            ok = file.read(n) == model.mid(at, n) &&
                 file.pos() == qMin<qint64>(at + n, model.size());
        } else if (op < 9) {
            const QByteArray bytes = KestTest::patternBytes(length(), quint32(step));
            what = QStringLiteral("write(%1) at %2").arg(bytes.size()).arg(at);
            ok = file.write(bytes) == bytes.size() && file.pos() == at + bytes.size();
            if (at + bytes.size() > model.size())
                model.resize(at + bytes.size());
            model.replace(at, bytes.size(), bytes);
        } else {
            what = QStringLiteral("truncate() at %1").arg(at);
            ok = file.truncate() && file.pos() == at;
            model.truncate(at);
        }
        ok = ok && file.size() == model.size();
        QVERIFY2(ok, qPrintable(QStringLiteral("step %1: %2").arg(step).arg(what)));
    }
    file.close();
    QCOMPARE(KestTest::readMember(*archive_, "/m"), model);
    audit();
    archive_.reset(new Archive(name));
    QVERIFY(archive_->open(QIODevice::ReadOnly));
    QCOMPARE(KestTest::readMember(*archive_, "/m"), model);
    audit();
}

QTEST_GUILESS_MAIN(tst_File)
#include "tst_file.moc"
