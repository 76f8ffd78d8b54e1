// The archive's lifecycle: the bytes of a new archive, loading versus creating for every mode,
// what reaches the file and when (the directory stream, the table and the header after
// write-backs and removals), reopening, damaged files, and the lock between processes.

#include "Archive.h"
#include "ArchiveTestUtil.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"
#include "qtlockedfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Kest::Ar;
using KestTest::be32;
using KestTest::be64;
using KestTest::diskFirstFreeBlock;
using KestTest::diskInt;
using KestTest::diskTableEntry;
using KestTest::findFile;
using KestTest::MessageLog;
using KestTest::qstringBytes;
using KestTest::quoted;

namespace {

constexpr int EndOfChain = -1;
constexpr int Invalid = -2;

// ---- The stored form, built by hand ----

QByteArray fileBody(const QString& name, qint64 size, int first, int last)
{
    return qstringBytes(name) + be64(size) + be32(first) + be32(last);
}

QByteArray folderBody(const QString& name, const QList<QByteArray>& children)
{
    QByteArray bytes = qstringBytes(name) + be32(qint32(children.size()));
    for (const QByteArray& child : children)
        bytes += child;
    return bytes;
}

QByteArray fileChild(const QString& name, qint64 size, int first, int last)
{
    return be32(0) + fileBody(name, size, first, last);
}

QByteArray folderChild(const QString& name, const QList<QByteArray>& children = {})
{
    return be32(1) + folderBody(name, children);
}

QByteArray root(const QList<QByteArray>& children = {})
{
    return folderBody(QStringLiteral("qel_root"), children);
}

QByteArray padded(QByteArray bytes, qint64 size)
{
    bytes.append(QByteArray(size - bytes.size(), '\0'));
    return bytes;
}

// The header of a format-4 archive of 256 bytes.
QByteArray header(Archive::Version version, qint32 blockSize, qint32 blocks, qint32 firstFree,
                  qint64 directorySize, qint32 directoryFirst, qint32 directoryLast)
{
    return padded(
        be32(0x136BD5EF) + be32(4) + be32(version.major) + be32(version.minor) +
            be32(version.patch) + be32(blockSize) + be32(blocks) + be32(blockSize / 4) +
            be32(firstFree) +
            fileBody(QStringLiteral("qel_dir"), directorySize, directoryFirst, directoryLast),
        256);
}

qint64 diskInt64(const QByteArray& file, qint64 offset)
{
    return (qint64(diskInt(file, offset)) << 32) | quint32(diskInt(file, offset + 4));
}

// The directory stream as an archive file stores it: the header's entry gives its size and
// first block, the table on disk its chain, which must end at the entry's last block.
QByteArray diskDirectory(const QByteArray& file, QString* problem)
{
    const qint64 blockSize = diskInt(file, 20);
    const qint64 size = diskInt64(file, 54);
    const int last = diskInt(file, 66);
    QByteArray stream;
    int block = diskInt(file, 62);
    for (int steps = 0; stream.size() < size; ++steps) {
        if (block < 0 || steps > diskInt(file, 24)) {
            *problem = QStringLiteral("the directory's chain breaks at %1").arg(block);
            return stream;
        }
        stream += file.mid(256 + block * blockSize, blockSize);
        if (stream.size() < size)
            block = diskTableEntry(file, block, blockSize);
    }
    if (block != last || diskTableEntry(file, block, blockSize) != EndOfChain)
        *problem = QStringLiteral("the directory's chain ends at %1, its entry says %2")
                       .arg(block)
                       .arg(last);
    return stream.left(size);
}

// Compares the directory stream on disk with its expected stored form; ends the test on a
// difference.
#define CHECK_DIRECTORY(expected)                                                                  \
    do {                                                                                           \
        checkDirectory(expected, __LINE__);                                                        \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

QString helperPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("archive_holder"));
}

// Another process that holds an archive open until it is released (or killed).
class Holder
{
public:
    // Starts the holder and returns its answer: "opened" or "failed".
    QByteArray start(const QString& path, const QString& mode)
    {
        process_.setProgram(helperPath());
        process_.setArguments({path, mode});
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        if (!process_.waitForStarted(30000))
            return "not started";
        while (!process_.canReadLine()) {
            if (!process_.waitForReadyRead(30000))
                return "no answer";
        }
        return process_.readLine().trimmed();
    }
    // Lets the holder close its archive and waits until it has exited.
    bool release()
    {
        process_.write("\n");
        process_.closeWriteChannel();
        return process_.waitForFinished(30000);
    }
    // Ends the holder without letting it close anything.
    bool kill()
    {
        process_.kill();
        return process_.waitForFinished(30000);
    }
    ~Holder()
    {
        if (process_.state() != QProcess::NotRunning && !release())
            kill();
    }

private:
    QProcess process_;
};

// Whether another object could take the write lock of a path right now.
bool writeLockIsFree(const QString& path)
{
    Kest::QtLockedFile probe(path);
    if (!probe.open(QIODevice::ReadWrite))
        return false;
    const bool free = probe.lock(Kest::QtLockedFile::WriteLock, false);
    if (free)
        probe.unlock();
    return free;
}

} // namespace

class tst_Lifecycle : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void newArchiveLayout_data();
    void newArchiveLayout();
    void reopenFindsAnEmptyRoot();
    void emptyFileIsNotAnArchive_data();
    void emptyFileIsNotAnArchive();
    void readOnlyOnAMissingPath();
    void extraFlagsTakeTheCreatingPath_data();
    void extraFlagsTakeTheCreatingPath();
    void secondOpenIsRefused();
    void closeOfANeverOpenedArchive();
    void writeOnlyRecreatesAnExistingArchive();
    void refusesToCreateWithABadBlockSize_data();
    void refusesToCreateWithABadBlockSize();
    void sizeCountsMemberBytes();
    void directoryStreamOnDisk();
    void directoryStreamAcrossBlocks();
    void removeFileJoinsTheFreeList();
    void memoryOnlyChangesNeedAWriteBack();
    void readOnlyArchiveWritesNothing();
    void reopenStartsFromTheConstructedState();
    void damagedFiles_data();
    void damagedFiles();
    void isLockedOnWhatIsNoArchive();
    void writerExcludesReadersAndWriters();
    void readersShare();
    void heldArchiveIsNotEmptied_data();
    void heldArchiveIsNotEmptied();
    void lockOfADeadProcessIsGone();

private:
    QString path(const QString& name = QStringLiteral("life.qel")) const
    {
        return dir_->filePath(name);
    }
    QByteArray hostBytes(const QString& name = QStringLiteral("life.qel")) const
    {
        return KestTest::readHostFile(path(name));
    }
    // A small archive with a folder and two members, closed.
    void makeSample()
    {
        Archive archive(path());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.makeFolder("/d"));
        QVERIFY(KestTest::writeMember(archive, "/d/m", KestTest::patternBytes(100, 1)));
        QVERIFY(KestTest::writeMember(archive, "/n", "0123456789"));
    }
    void checkDirectory(const QByteArray& expected, int line)
    {
        QString problem;
        const QByteArray stored = diskDirectory(hostBytes(), &problem);
        if (!QTest::qVerify(problem.isEmpty(), "problem.isEmpty()", qPrintable(problem), __FILE__,
                            line))
            return;
        QTest::qCompare(stored, expected, "stored", "expected", __FILE__, line);
    }

    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_Lifecycle::init()
{
    dir_.reset(new QTemporaryDir);
    QVERIFY(dir_->isValid());
}

void tst_Lifecycle::cleanup()
{
    dir_.reset();
}

// ---- Creating and loading -----------------------------------------------------------------

void tst_Lifecycle::newArchiveLayout_data()
{
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("mode");
    QTest::newRow("4096, ReadWrite") << 4096 << int(QIODevice::ReadWrite);
    QTest::newRow("4096, WriteOnly") << 4096 << int(QIODevice::WriteOnly);
    QTest::newRow("512, ReadWrite") << 512 << int(QIODevice::ReadWrite);
    QTest::newRow("64, ReadWrite") << 64 << int(QIODevice::ReadWrite);
}

void tst_Lifecycle::newArchiveLayout()
{
    QFETCH(int, blockSize);
    QFETCH(int, mode);
    const Archive::Version version(1, 2, 3);
    QByteArray table = be32(EndOfChain) + be32(EndOfChain);
    for (int i = 2; i < blockSize / 4; ++i)
        table += be32(Invalid);
    const QByteArray expected =
        header(version, blockSize, 2, EndOfChain, 24, 1, 1) + table + padded(root(), blockSize);
    QCOMPARE(root().size(), 24);

    Archive archive(path(), unsigned(blockSize));
    archive.setApplicationVersion(version);
    QVERIFY(archive.open(QIODevice::OpenMode(mode)));
    QCOMPARE(hostBytes(), expected);
    archive.close();
    QCOMPARE(hostBytes().size(), 256 + 2 * blockSize);
    QCOMPARE(hostBytes(), expected);
    if (blockSize == 4096)
        QCOMPARE(hostBytes().size(), 8448);
}

void tst_Lifecycle::reopenFindsAnEmptyRoot()
{
    {
        Archive archive(path());
        archive.setApplicationVersion(Archive::Version(7, 8, 9));
        QVERIFY(archive.open(QIODevice::ReadWrite));
    }
    Archive archive(path(), 512);
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.mode(), int(QIODevice::ReadOnly));
    QCOMPARE(archive.blockSize(), 4096u);
    QCOMPARE(archive.formatVersion(), 4);
    QCOMPARE(archive.applicationVersion().major, 7);
    QCOMPARE(archive.applicationVersion().minor, 8);
    QCOMPARE(archive.applicationVersion().patch, 9);
    QCOMPARE(archive.currentFolder(), QStringLiteral("/"));
    QVERIFY(archive.list().isEmpty());
    QCOMPARE(archive.size(), qint64(0));
    QCOMPARE(TestAccess::nBlocks(archive), 2);
    QCOMPARE(TestAccess::table(archive).mid(0, 3), (QList<int>{EndOfChain, EndOfChain, Invalid}));
    const QStringList problems = KestTest::auditBlocks(archive);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

void tst_Lifecycle::emptyFileIsNotAnArchive_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("ReadWrite") << int(QIODevice::ReadWrite);
    QTest::newRow("ReadOnly") << int(QIODevice::ReadOnly);
}

void tst_Lifecycle::emptyFileIsNotAnArchive()
{
    QFETCH(int, mode);
    QVERIFY(KestTest::writeHostFile(path(), QByteArray()));
    Archive archive(path());
    QTest::ignoreMessage(QtDebugMsg, "readHeader: not a QEL Archive");
    QVERIFY(!archive.open(QIODevice::OpenMode(mode)));
    QCOMPARE(archive.mode(), 0);
    QVERIFY(!archive.getFile().isOpen());
    QVERIFY(writeLockIsFree(path()));
    QVERIFY(QFileInfo::exists(path()));
    QCOMPARE(hostBytes(), QByteArray());
}

void tst_Lifecycle::readOnlyOnAMissingPath()
{
    Archive archive(path());
    QTest::ignoreMessage(QtDebugMsg, "open: cannot open file");
    QVERIFY(!archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.mode(), 0);
    QVERIFY(!QFileInfo::exists(path()));
}

void tst_Lifecycle::extraFlagsTakeTheCreatingPath_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("ReadOnly|Text") << int(QIODevice::ReadOnly | QIODevice::Text);
    QTest::newRow("ReadOnly|Unbuffered") << int(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void tst_Lifecycle::extraFlagsTakeTheCreatingPath()
{
    QFETCH(int, mode);
    makeSample();
    const QByteArray before = hostBytes();
    Archive archive(path());
    QTest::ignoreMessage(QtDebugMsg, "writeHeader: I/O error");
    QVERIFY(!archive.open(QIODevice::OpenMode(mode)));
    QCOMPARE(archive.mode(), 0);
    QVERIFY(writeLockIsFree(path()));
    QCOMPARE(hostBytes(), before);
    // The same object then loads the archive as usual.
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), (QList<QString>{"d", "n"}));
}

void tst_Lifecycle::secondOpenIsRefused()
{
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.makeFolder("/kept"));
    QTest::ignoreMessage(QtDebugMsg, "open: cannot open file");
    QVERIFY(!archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.mode(), int(QIODevice::ReadWrite));
    // Nothing was reset: the folder made only in memory is still there, and the archive works.
    QCOMPARE(archive.list(), QList<QString>{"kept"});
    QVERIFY(KestTest::writeMember(archive, "/kept/m", "works"));
    QCOMPARE(KestTest::readMember(archive, "/kept/m"), QByteArray("works"));
}

void tst_Lifecycle::closeOfANeverOpenedArchive()
{
    MessageLog log;
    {
        Archive archive(path());
        archive.close();
        archive.close();
        QCOMPARE(archive.mode(), 0);
    }
    QVERIFY(log.messages.isEmpty());
    QVERIFY(!QFileInfo::exists(path()));
}

void tst_Lifecycle::writeOnlyRecreatesAnExistingArchive()
{
    makeSample();
    QVERIFY(hostBytes().size() > 8448);
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::WriteOnly));
    QCOMPARE(archive.mode(), int(QIODevice::WriteOnly));
    QVERIFY(archive.list().isEmpty());
    archive.close();
    const QByteArray bytes = hostBytes();
    QCOMPARE(bytes.size(), 8448);
    QCOMPARE(bytes.left(256), header(Archive::Version(), 4096, 2, EndOfChain, 24, 1, 1));

    // An archive opened WriteOnly takes new members; they are there when it is read again.
    QVERIFY(archive.open(QIODevice::WriteOnly));
    QVERIFY(archive.makeFolder("/w"));
    QVERIFY(KestTest::writeMember(archive, "/w/m", QByteArray(5000, 'w')));
    archive.close();
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), QList<QString>{"w"});
    QCOMPARE(KestTest::readMember(archive, "/w/m"), QByteArray(5000, 'w'));
    const QStringList problems = KestTest::auditBlocks(archive);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

void tst_Lifecycle::refusesToCreateWithABadBlockSize_data()
{
    QTest::addColumn<uint>("blockSize");
    QTest::newRow("0") << 0u;
    QTest::newRow("4") << 4u;
    QTest::newRow("7") << 7u;
    QTest::newRow("64 MiB + 4") << 64u * 1024 * 1024 + 4;
    QTest::newRow("128 MiB") << 128u * 1024 * 1024;
}

void tst_Lifecycle::refusesToCreateWithABadBlockSize()
{
    QFETCH(uint, blockSize);
    const QByteArray message = quoted(
        QStringLiteral("open: block size %1 is out of range (8 to 67108864 bytes)").arg(blockSize));
    {
        Archive archive(path(), blockSize);
        QTest::ignoreMessage(QtDebugMsg, message.constData());
        QVERIFY(!archive.open(QIODevice::ReadWrite));
        QCOMPARE(archive.mode(), 0);
    }
    QVERIFY(!QFileInfo::exists(path()));

    // An existing archive is neither emptied nor recreated ...
    makeSample();
    const QByteArray before = hostBytes();
    Archive archive(path(), blockSize);
    QTest::ignoreMessage(QtDebugMsg, message.constData());
    QVERIFY(!archive.open(QIODevice::WriteOnly));
    QCOMPARE(hostBytes(), before);
    // ... and loading it takes the block size from its header.
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QCOMPARE(archive.blockSize(), 4096u);
    QCOMPARE(archive.list(), (QList<QString>{"d", "n"}));
}

void tst_Lifecycle::sizeCountsMemberBytes()
{
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QCOMPARE(archive.size(), qint64(0));
    QVERIFY(KestTest::writeMember(archive, "/ten", "0123456789"));
    QCOMPARE(archive.size(), qint64(10));
    QVERIFY(archive.makeFolder("/d"));
    QVERIFY(archive.makeFolder("/d/e"));
    QVERIFY(KestTest::writeMember(archive, "/d/e/five", "01234"));
    QVERIFY(KestTest::writeMember(archive, "/d/big", QByteArray(5000, 'b')));
    QCOMPARE(archive.size(), qint64(5015));
    QVERIFY(archive.removeFile("/ten"));
    QCOMPARE(archive.size(), qint64(5005));
}

// The stored directory after folders and members are added and removed, decoded from the
// file through the header and the table on disk.
void tst_Lifecycle::directoryStreamOnDisk()
{
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    CHECK_DIRECTORY(root());

    // Blocks are handed out in order after the table (0) and the directory (1).
    QVERIFY(archive.makeFolder("/docs"));
    QVERIFY(KestTest::writeMember(archive, "/docs/a", "0123456789"));
    const QByteArray a = fileChild("a", 10, 2, 2);
    CHECK_DIRECTORY(root({folderChild("docs", {a})}));

    QVERIFY(KestTest::writeMember(archive, "/b", QByteArray(5000, 'b')));
    const QByteArray b = fileChild("b", 5000, 3, 4);
    const QByteArray written = root({folderChild("docs", {a}), b});
    CHECK_DIRECTORY(written);
    QCOMPARE(diskInt(hostBytes(), 24), 5);

    // Changes in memory alone do not reach the file.
    QVERIFY(archive.makeFolder("/e"));
    QVERIFY(archive.makeFolder("/docs/sub"));
    CHECK_DIRECTORY(written);

    // A removal writes the whole tree back and puts the member's block on the free list.
    QVERIFY(archive.removeFile("/docs/a"));
    CHECK_DIRECTORY(root({folderChild("docs", {folderChild("sub")}), b, folderChild("e")}));
    QCOMPARE(diskFirstFreeBlock(hostBytes()), 2);
    QCOMPARE(diskTableEntry(hostBytes(), 2), EndOfChain);

    // An empty member reuses that block.
    QVERIFY(KestTest::writeMember(archive, "/e/c", QByteArray()));
    const QByteArray c = fileChild("c", 0, 2, 2);
    CHECK_DIRECTORY(root({folderChild("docs", {folderChild("sub")}), b, folderChild("e", {c})}));
    QCOMPARE(diskFirstFreeBlock(hostBytes()), EndOfChain);

    QVERIFY(archive.removeFolder("/docs/sub"));
    QVERIFY(archive.removeFile("/b"));
    CHECK_DIRECTORY(root({folderChild("docs"), folderChild("e", {c})}));
    const QByteArray disk = hostBytes();
    QCOMPARE(diskFirstFreeBlock(disk), 3);
    QCOMPARE(diskTableEntry(disk, 3), 4);
    QCOMPARE(diskTableEntry(disk, 4), EndOfChain);
    QCOMPARE(diskInt(disk, 24), 5);
    QCOMPARE(disk.size(), 256 + 5 * 4096);
}

// With blocks of 64 bytes the directory spans several blocks; it grows and shrinks with the
// tree, and the blocks it no longer needs go to the free list.
void tst_Lifecycle::directoryStreamAcrossBlocks()
{
    Archive archive(path(), 64);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QList<QByteArray> folders;
    for (int i = 0; i < 12; ++i) {
        const QString name = QStringLiteral("folder number %1").arg(i);
        QVERIFY(archive.makeFolder(QLatin1Char('/') + name));
        folders << folderChild(name);
    }
    QVERIFY(KestTest::writeMember(archive, "/m", QByteArray()));
    const FileEntry* m = findFile(archive, "/m");
    const QByteArray member = fileChild("m", 0, m->firstBlock(), m->firstBlock());
    CHECK_DIRECTORY(root(folders + QList<QByteArray>{member}));
    const int directoryBlocks =
        KestTest::chainOf(archive, TestAccess::directory(archive)->firstBlock()).size();
    QVERIFY(directoryBlocks > 6);

    for (int i = 0; i < 11; ++i)
        QVERIFY(archive.removeFolder(QStringLiteral("/folder number %1").arg(i)));
    QVERIFY(archive.removeFile("/m"));
    CHECK_DIRECTORY(root({folders.last()}));
    QCOMPARE(KestTest::chainOf(archive, TestAccess::directory(archive)->firstBlock()).size(), 2);
    QStringList problems = KestTest::auditBlocks(archive);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));

    archive.close();
    Archive reloaded(path());
    QVERIFY(reloaded.open(QIODevice::ReadOnly));
    QCOMPARE(reloaded.list(), QList<QString>{"folder number 11"});
    QCOMPARE(KestTest::chainOf(reloaded, TestAccess::firstFreeBlock(reloaded)).size(),
             directoryBlocks - 2 + 1);
    problems = KestTest::auditBlocks(reloaded);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

// A member whose chain is 5, 9, 12 is removed while the free list starts at 3: its whole chain
// joins the front of the free list, 5, 9, 12, 3.
void tst_Lifecycle::removeFileJoinsTheFreeList()
{
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    const auto append = [&](const QString& name, const QByteArray& bytes) {
        File member(&archive, name);
        return member.open(QIODevice::WriteOnly | QIODevice::Append) &&
               member.write(bytes) == bytes.size();
    };
    QVERIFY(append("p", "p"));                       // block 2
    QVERIFY(append("q", "q"));                       // 3
    QVERIFY(append("r", "r"));                       // 4
    QVERIFY(append("x", "x"));                       // 5
    QVERIFY(append("s", QByteArray(3 * 4096, 's'))); // 6, 7, 8
    QVERIFY(append("x", QByteArray(4096, 'x')));     // 9
    QVERIFY(append("t", QByteArray(2 * 4096, 't'))); // 10, 11
    QVERIFY(append("x", QByteArray(4096, 'x')));     // 12
    QVERIFY(archive.removeFile("q"));
    QCOMPARE(KestTest::chainOf(archive, findFile(archive, "/x")->firstBlock()),
             (QList<int>{5, 9, 12}));
    QCOMPARE(findFile(archive, "/x")->lastBlock(), 12);
    QCOMPARE(KestTest::chainOf(archive, TestAccess::firstFreeBlock(archive)), QList<int>{3});

    QVERIFY(archive.removeFile("x"));
    QCOMPARE(KestTest::chainOf(archive, TestAccess::firstFreeBlock(archive)),
             (QList<int>{5, 9, 12, 3}));
    QCOMPARE(archive.list(Archive::All), (QList<QString>{"p", "r", "s", "t"}));
    const QByteArray disk = hostBytes();
    QCOMPARE(diskFirstFreeBlock(disk), 5);
    QCOMPARE(diskTableEntry(disk, 5), 9);
    QCOMPARE(diskTableEntry(disk, 9), 12);
    QCOMPARE(diskTableEntry(disk, 12), 3);
    QCOMPARE(diskTableEntry(disk, 3), EndOfChain);
    QCOMPARE(diskInt(disk, 24), 13);
    CHECK_DIRECTORY(root({fileChild("p", 1, 2, 2), fileChild("r", 1, 4, 4),
                          fileChild("s", 3 * 4096, 6, 8), fileChild("t", 2 * 4096, 10, 11)}));
}

void tst_Lifecycle::memoryOnlyChangesNeedAWriteBack()
{
    {
        Archive archive(path());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.makeFolder("/kept"));
        QVERIFY(KestTest::writeMember(archive, "/kept/m", "m"));
        // None of these is written: no member is closed and nothing is removed after them.
        QVERIFY(archive.makeFolder("/lost"));
        QTest::ignoreMessage(QtDebugMsg, quoted("removeFolder: none does not exist"));
        QVERIFY(archive.removeFolder("/kept/none"));
        archive.setApplicationVersion(Archive::Version(3, 3, 3));
        QTest::ignoreMessage(QtDebugMsg, quoted("removeFile: nothing does not exist"));
        QVERIFY(archive.removeFile("/nothing"));
    }
    {
        Archive archive(path());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QCOMPARE(archive.list(), QList<QString>{"kept"});
        QCOMPARE(archive.applicationVersion().major, 0);
        QVERIFY(archive.makeFolder("/now"));
        archive.setApplicationVersion(Archive::Version(3, 3, 3));
        // Any member's close writes the whole tree and the header back.
        File member(&archive, "/kept/m");
        QVERIFY(member.open(QIODevice::ReadWrite));
        member.close();
    }
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), (QList<QString>{"kept", "now"}));
    QCOMPARE(archive.applicationVersion().major, 3);
}

void tst_Lifecycle::readOnlyArchiveWritesNothing()
{
    makeSample();
    const QByteArray before = hostBytes();
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QVERIFY(archive.makeFolder("/x"));
    archive.setApplicationVersion(Archive::Version(9, 9, 9));
    TestAccess::flush(archive, true);
    {
        File member(&archive, "/n");
        QVERIFY(member.open(QIODevice::ReadOnly));
        member.flush();
        QVERIFY(!member.truncate());
        member.close();
    }
    QVERIFY(archive.removeFile("/d/m"));
    QCOMPARE(hostBytes(), before);
    archive.close();
    QCOMPARE(hostBytes(), before);
}

void tst_Lifecycle::reopenStartsFromTheConstructedState()
{
    Archive archive(path(), 512);
    archive.setApplicationVersion(Archive::Version(2, 3, 4));
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.makeFolder("/f"));
    QVERIFY(KestTest::writeMember(archive, "/f/m", QByteArray(1000, 'm')));
    QVERIFY(archive.setCurrentFolder("/f"));
    QVERIFY(archive.makeFolder("/f/volatile"));
    archive.close();

    QVERIFY(archive.open(QIODevice::ReadWrite));
    QCOMPARE(archive.currentFolder(), QStringLiteral("/"));
    QCOMPARE(TestAccess::currentFolderEntry(archive), TestAccess::root(archive));
    QCOMPARE(archive.list(), QList<QString>{"f"});
    QVERIFY(archive.setCurrentFolder("/f"));
    QCOMPARE(archive.list(), QList<QString>{"m"});
    QCOMPARE(archive.blockSize(), 512u);
    QCOMPARE(archive.applicationVersion().minor, 3);
    QCOMPARE(KestTest::readMember(archive, "/f/m"), QByteArray(1000, 'm'));
    QStringList problems = KestTest::auditBlocks(archive);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    archive.close();

    // Loading another archive takes its block size from its header ...
    {
        Archive other(path("other.qel"));
        QVERIFY(other.open(QIODevice::ReadWrite));
    }
    archive.setFile(path("other.qel"));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.blockSize(), 4096u);
    QCOMPARE(TestAccess::nBlocksPerCluster(archive), 1024);
    archive.close();

    // ... while a new archive gets the constructor's block size again, with the version set.
    archive.setFile(path("fresh.qel"));
    archive.setApplicationVersion(Archive::Version(5, 6, 7));
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QCOMPARE(archive.blockSize(), 512u);
    QVERIFY(archive.list().isEmpty());
    archive.close();
    QByteArray table = be32(EndOfChain) + be32(EndOfChain);
    for (int i = 2; i < 128; ++i)
        table += be32(Invalid);
    QCOMPARE(hostBytes("fresh.qel"),
             header(Archive::Version(5, 6, 7), 512, 2, EndOfChain, 24, 1, 1) + table +
                 padded(root(), 512));
}

// ---- Damaged files ------------------------------------------------------------------------

void tst_Lifecycle::damagedFiles_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("keep");           // bytes of the sample kept; -1 for all
    QTest::addColumn<qint64>("patchAt");     // where a type code of 7 is written; -1 for none
    QTest::addColumn<QStringList>("reason"); // the last messages, in order

    const qint64 directory = 256 + 4096;
    for (int mode : {int(QIODevice::ReadOnly), int(QIODevice::ReadWrite)}) {
        const char* m = mode == QIODevice::ReadOnly ? "ReadOnly" : "ReadWrite";
        QTest::addRow("%s: empty", m)
            << mode << 0 << -1LL << QStringList{"readHeader: not a QEL Archive"};
        QTest::addRow("%s: cut in the header", m)
            << mode << 40 << -1LL << QStringList{"readHeader: I/O error"};
        QTest::addRow("%s: cut in the table", m)
            << mode << 256 + 100 << -1LL << QStringList{"readBAT: cannot read BAT block"};
        QTest::addRow("%s: cut in the directory", m)
            << mode << int(directory + 30) << -1LL << QStringList{"readDirectory: I/O error"};
        // The root's first child: after the root's name (20 bytes) and its child count.
        QTest::addRow("%s: bad type code", m)
            << mode << -1 << directory + 24
            << QStringList{"Invalid entry type 7", "readDirectory: I/O error"};
    }
}

void tst_Lifecycle::damagedFiles()
{
    QFETCH(int, mode);
    QFETCH(int, keep);
    QFETCH(qint64, patchAt);
    QFETCH(QStringList, reason);
    makeSample();
    const QByteArray sample = hostBytes();
    QCOMPARE(diskInt(sample, 256 + 4096 + 24), 1); // the folder "d" comes first
    QByteArray damaged = keep < 0 ? sample : sample.left(keep);
    if (patchAt >= 0)
        damaged.replace(patchAt, 4, be32(7));
    QVERIFY(KestTest::writeHostFile(path(), damaged));

    Archive archive(path());
    QStringList messages;
    {
        MessageLog log;
        QVERIFY(!archive.open(QIODevice::OpenMode(mode)));
        messages = log.messages;
    }
    QVERIFY2(messages.size() >= reason.size() &&
                 messages.mid(messages.size() - reason.size()) == reason,
             qPrintable(messages.join(QLatin1Char('\n'))));
    // Reading a cut directory may also say where its chain ended.
    for (const QString& message : messages.mid(0, messages.size() - reason.size()))
        QCOMPARE(message,
                 QStringLiteral("readData: qel_dir is damaged: its chain ends before its size"));
    QCOMPARE(archive.mode(), 0);
    QVERIFY(writeLockIsFree(path()));
    QCOMPARE(hostBytes(), damaged);

    // The same object opens the repaired file.
    QVERIFY(KestTest::writeHostFile(path(), sample));
    QVERIFY(archive.open(QIODevice::OpenMode(mode)));
    QCOMPARE(archive.list(), (QList<QString>{"d", "n"}));
    QCOMPARE(KestTest::readMember(archive, "/n"), QByteArray("0123456789"));
}

// ---- Locks --------------------------------------------------------------------------------

void tst_Lifecycle::isLockedOnWhatIsNoArchive()
{
    const QString folder = dir_->path();
    QTest::ignoreMessage(
        QtDebugMsg, quoted(QStringLiteral("isLocked: %1 is not an existing file").arg(folder)));
    QVERIFY(!Archive::isLocked(folder));
    QTest::ignoreMessage(
        QtDebugMsg, quoted(QStringLiteral("isLocked: %1 is not an existing file").arg(path())));
    QVERIFY(!Archive::isLocked(path()));

    // A file that cannot be loaded counts as locked.
    QVERIFY(KestTest::writeHostFile(path(), "not an archive at all"));
    QTest::ignoreMessage(QtDebugMsg, "readHeader: not a QEL Archive");
    QVERIFY(Archive::isLocked(path()));

    QVERIFY(QFile::remove(path()));
    makeSample();
    QVERIFY(!Archive::isLocked(path()));
}

void tst_Lifecycle::writerExcludesReadersAndWriters()
{
    makeSample();
    Holder writer;
    QCOMPARE(writer.start(path(), "readwrite"), QByteArray("opened"));

    Archive archive(path());
    QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
    QVERIFY(!archive.open(QIODevice::ReadOnly));
    // Open without a lock: a second open is refused until close.
    QTest::ignoreMessage(QtDebugMsg, "open: cannot open file");
    QVERIFY(!archive.open(QIODevice::ReadOnly));
    archive.close();
    QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
    QVERIFY(!archive.open(QIODevice::ReadWrite));
    archive.close();
    QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
    QVERIFY(Archive::isLocked(path()));

    Holder reader;
    QCOMPARE(reader.start(path(), "read"), QByteArray("failed"));
    Holder secondWriter;
    QCOMPARE(secondWriter.start(path(), "readwrite"), QByteArray("failed"));

    QVERIFY(writer.release());
    QVERIFY(!Archive::isLocked(path()));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), (QList<QString>{"d", "n"}));
}

void tst_Lifecycle::readersShare()
{
    makeSample();
    Holder first;
    Holder second;
    QCOMPARE(first.start(path(), "read"), QByteArray("opened"));
    QCOMPARE(second.start(path(), "read"), QByteArray("opened"));
    QVERIFY(!Archive::isLocked(path()));

    Archive reader(path());
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QCOMPARE(KestTest::readMember(reader, "/n"), QByteArray("0123456789"));

    Archive writer(path());
    QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
    QVERIFY(!writer.open(QIODevice::ReadWrite));
    writer.close();
    Holder otherWriter;
    QCOMPARE(otherWriter.start(path(), "readwrite"), QByteArray("failed"));

    // Once every reader has gone, a writer gets the archive.
    reader.close();
    QVERIFY(first.release());
    QVERIFY(second.release());
    QVERIFY(writer.open(QIODevice::ReadWrite));
}

void tst_Lifecycle::heldArchiveIsNotEmptied_data()
{
    QTest::addColumn<QString>("holderMode");
    QTest::newRow("held by a reader") << "read";
    QTest::newRow("held by a writer") << "readwrite";
}

void tst_Lifecycle::heldArchiveIsNotEmptied()
{
    QFETCH(QString, holderMode);
    makeSample();
    const QByteArray before = hostBytes();
    Holder holder;
    QCOMPARE(holder.start(path(), holderMode), QByteArray("opened"));

    Archive archive(path());
    QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
    QVERIFY(!archive.open(QIODevice::WriteOnly));
    archive.close();
    QCOMPARE(hostBytes(), before);

    // Another process that asks to recreate it is refused the same way.
    Holder recreator;
    QCOMPARE(recreator.start(path(), "writeonly"), QByteArray("failed"));
    QVERIFY(recreator.release());
    QCOMPARE(hostBytes(), before);

    QVERIFY(holder.release());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), (QList<QString>{"d", "n"}));
}

void tst_Lifecycle::lockOfADeadProcessIsGone()
{
    makeSample();
    Holder writer;
    QCOMPARE(writer.start(path(), "readwrite"), QByteArray("opened"));
    QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
    QVERIFY(Archive::isLocked(path()));
    QVERIFY(writer.kill());
    QVERIFY(!Archive::isLocked(path()));
    Archive archive(path());
    QVERIFY(archive.open(QIODevice::ReadWrite));
}

QTEST_GUILESS_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
