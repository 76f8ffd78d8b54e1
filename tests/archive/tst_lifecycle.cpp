// The archive's lifecycle: the bytes of a new archive, loading versus creating by open mode,
// what reaches the file and when (the directory stream, the table and the header), reopening,
// damaged files, and the lock between processes.

#include "Archive.h"
#include "ArchiveTestUtil.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Kest::Ar;
using namespace KestTest;
using M = QIODevice;

namespace {

constexpr int End = -1;
constexpr int Invalid = -2;

// Stored entries: a type code (0 member, 1 folder) and a name, then a member's size, first
// and last block, or a folder's number of children and the children.
QByteArray member(const QString& name, qint64 size, int first, int last)
{
    return be32(0) + qstringBytes(name) + be64(size) + be32(first) + be32(last);
}

QByteArray folder(const QString& name, const QList<QByteArray>& children = {})
{
    QByteArray bytes = be32(1) + qstringBytes(name) + be32(qint32(children.size()));
    for (const QByteArray& child : children)
        bytes += child;
    return bytes;
}

// The root as the directory stream starts: a folder without its type code.
QByteArray root(const QList<QByteArray>& children = {})
{
    return folder(QStringLiteral("qel_root"), children).mid(4);
}

// A new archive: a 256-byte format-4 header, one table block (the table, then the directory)
// and the directory of an empty root.
QByteArray newArchive(Archive::Version version, int blockSize)
{
    const QByteArray table = be32(End) + be32(End) + be32(Invalid).repeated(blockSize / 4 - 2);
    const QByteArray header = be32(0x136BD5EF) + be32(4) + be32(version.major) +
                              be32(version.minor) + be32(version.patch) + be32(blockSize) +
                              be32(2) + be32(blockSize / 4) + be32(End) +
                              member(QStringLiteral("qel_dir"), 24, 1, 1).mid(4);
    return header.leftJustified(256, '\0') + table + root().leftJustified(blockSize, '\0');
}

// The directory stream as the file stores it: the header's entry gives its size and first
// block, the table on disk its chain, which must end at the entry's last block.
QByteArray diskDirectory(const QByteArray& file)
{
    const qint64 blockSize = diskInt(file, 20);
    const qint64 size = (qint64(diskInt(file, 54)) << 32) | quint32(diskInt(file, 58));
    QByteArray stream;
    int block = diskInt(file, 62);
    for (int steps = 0; block >= 0 && steps <= diskBlockCount(file); ++steps) {
        stream += file.mid(256 + block * blockSize, blockSize);
        if (stream.size() >= size)
            break;
        block = diskTableEntry(file, block, blockSize);
    }
    if (stream.size() < size || block != diskInt(file, 66) ||
        diskTableEntry(file, block, blockSize) != End)
        return "the directory's chain is broken at " + QByteArray::number(block);
    return stream.left(size);
}

// Another process that holds an archive open until its input is closed (or it is killed).
struct Holder : QProcess
{
    // Starts the holder; returns its answer, "opened" or "failed".
    QByteArray hold(const QString& path, const QString& mode)
    {
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        start(QDir(QCoreApplication::applicationDirPath()).filePath("archive_holder"),
              {path, mode});
        while (!canReadLine() && waitForReadyRead(30000)) {
        }
        return readLine().trimmed();
    }
    bool release()
    {
        closeWriteChannel();
        return waitForFinished(30000);
    }
    ~Holder() override { release(); }
};

} // namespace

class tst_Lifecycle : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

    // A file of its own for each test and data row.
    QString path(const char* name = "a") const
    {
        return dir_.filePath(QStringLiteral("%1-%2-%3")
                                 .arg(QTest::currentTestFunction(),
                                      QString::fromUtf8(QTest::currentDataTag()), name));
    }
    QByteArray bytes(const char* name = "a") const { return readHostFile(path(name)); }
    // A small closed archive: folder d with member m of 100 bytes, member n of 10 bytes.
    void makeSample()
    {
        Archive archive(path());
        QVERIFY(archive.open(M::ReadWrite));
        QVERIFY(archive.makeFolder("/d"));
        QVERIFY(writeMember(archive, "/d/m", patternBytes(100, 1)));
        QVERIFY(writeMember(archive, "/n", "0123456789"));
    }
    // Opens the sample and checks that it reads as made.
    void checkSample(Archive& archive, M::OpenMode mode = M::ReadOnly)
    {
        QVERIFY(archive.open(mode));
        QCOMPARE(archive.list(), (QStringList{"d", "n"}));
        QCOMPARE(readMember(archive, "/n"), QByteArray("0123456789"));
    }

private slots:
    // The bytes of a new archive at open (close adds nothing). Reopened, it has an empty root
    // and keeps its own block size whatever the constructor says; read-only, it writes
    // nothing; after close, the same object creates a new archive with the constructor's
    // block size again.
    void newArchiveLayout_data()
    {
        QTest::addColumn<int>("blockSize");
        QTest::addColumn<M::OpenMode>("mode");
        QTest::newRow("4096 ReadWrite") << 4096 << M::OpenMode(M::ReadWrite);
        QTest::newRow("4096 WriteOnly") << 4096 << M::OpenMode(M::WriteOnly);
        QTest::newRow("64 ReadWrite") << 64 << M::OpenMode(M::ReadWrite);
    }
    void newArchiveLayout()
    {
        QFETCH(int, blockSize);
        QFETCH(M::OpenMode, mode);
        const QByteArray expected = newArchive(Archive::Version(1, 2, 3), blockSize);
        {
            Archive archive(path(), unsigned(blockSize));
            archive.setApplicationVersion(Archive::Version(1, 2, 3));
            QVERIFY(archive.open(mode));
            QCOMPARE(bytes(), expected);
        }
        QCOMPARE(bytes(), expected);
        QCOMPARE(bytes().size(), qsizetype(blockSize == 4096 ? 8448 : 256 + 2 * 64));
        Archive archive(path(), 512);
        QVERIFY(archive.open(M::ReadOnly));
        QCOMPARE(archive.blockSize(), unsigned(blockSize));
        QCOMPARE(archive.formatVersion(), 4);
        QCOMPARE(archive.applicationVersion().patch, 3);
        QVERIFY(archive.list().isEmpty());
        QCOMPARE(TestAccess::table(archive).mid(0, 3), (QList<int>{End, End, Invalid}));
        QCOMPARE(auditBlocks(archive), QStringList());
        // Opened ReadOnly, it writes nothing, not even when flushed.
        QVERIFY(archive.makeFolder("/x"));
        TestAccess::flush(archive, true);
        archive.close();
        QCOMPARE(bytes(), expected);
        archive.setFile(path("fresh"));
        archive.setApplicationVersion(Archive::Version(5, 6, 7));
        QVERIFY(archive.open(M::ReadWrite));
        archive.close();
        QCOMPARE(bytes("fresh"), newArchive(Archive::Version(5, 6, 7), 512));
    }

    // A block size below 8 bytes or above 64 MiB: nothing is created, an existing archive is
    // not emptied, and loading it takes the block size from its header.
    void refusesBadBlockSizes()
    {
        makeSample();
        const QByteArray sample = bytes();
        for (uint blockSize : {0u, 7u, 64u * 1024 * 1024 + 4}) {
            const QByteArray message =
                quoted(QStringLiteral("open: block size %1 is out of range (8 to 67108864 bytes)")
                           .arg(blockSize));
            Archive archive(path("new"), blockSize);
            QTest::ignoreMessage(QtDebugMsg, message.constData());
            QVERIFY(!archive.open(M::ReadWrite));
            QCOMPARE(archive.mode(), 0);
            QVERIFY(!QFileInfo::exists(path("new")));
            archive.setFile(path());
            QTest::ignoreMessage(QtDebugMsg, message.constData());
            QVERIFY(!archive.open(M::WriteOnly));
            QCOMPARE(bytes(), sample);
            checkSample(archive, M::ReadWrite);
            QCOMPARE(archive.blockSize(), 4096u);
        }
    }

    // What reaches the file and when: the directory stream (decoded through the header and the
    // table on disk), the table and the header after members are written and removed. Folders
    // made and the version set in memory are written only by a member's close or a removal;
    // reopening starts at the root.
    void writeBacksOnDisk()
    {
        Archive archive(path());
        QVERIFY(archive.open(M::ReadWrite));
        const auto append = [&](const QString& name, const QByteArray& data) {
            File file(&archive, name);
            return file.open(M::WriteOnly | M::Append) && file.write(data) == data.size();
        };
        // Blocks are handed out in order after the table (0) and the directory (1).
        for (const char* name : {"p", "q", "r", "x"}) // blocks 2, 3, 4, 5
            QVERIFY(append(name, name));
        QVERIFY(append("s", QByteArray(3 * 4096, 's'))); // 6, 7, 8
        QVERIFY(append("x", QByteArray(4096, 'x')));     // 9
        QVERIFY(append("t", QByteArray(2 * 4096, 't'))); // 10, 11
        QVERIFY(append("x", QByteArray(4096, 'x')));     // 12
        QVERIFY(archive.makeFolder("/docs"));
        archive.setApplicationVersion(Archive::Version(3, 3, 3));
        const QByteArray p = member("p", 1, 2, 2), r = member("r", 1, 4, 4);
        const QByteArray s = member("s", 3 * 4096, 6, 8), t = member("t", 2 * 4096, 10, 11);
        QCOMPARE(diskDirectory(bytes()),
                 root({p, member("q", 1, 3, 3), r, member("x", 1 + 2 * 4096, 5, 12), s, t}));
        QCOMPARE(diskInt(bytes(), 8), 0);

        // A removed member's whole chain joins the front of the free list.
        QVERIFY(archive.removeFile("q"));
        QVERIFY(archive.removeFile("x"));
        QCOMPARE(chainOf(archive, TestAccess::firstFreeBlock(archive)), (QList<int>{5, 9, 12, 3}));
        QByteArray disk = bytes();
        QCOMPARE(diskDirectory(disk), root({p, r, s, t, folder("docs")}));
        QCOMPARE(diskInt(disk, 8), 3);
        QCOMPARE(diskBlockCount(disk), 13);
        QCOMPARE(diskFirstFreeBlock(disk), 5);
        QCOMPARE((QList<int>{diskTableEntry(disk, 5), diskTableEntry(disk, 9),
                             diskTableEntry(disk, 12), diskTableEntry(disk, 3)}),
                 (QList<int>{9, 12, 3, End}));
        QCOMPARE(disk.size(), 256 + 13 * 4096);

        // An empty member takes the first free block; a folder made after it is lost at close.
        QVERIFY(writeMember(archive, "/docs/c", QByteArray()));
        QVERIFY(archive.makeFolder("/docs/lost"));
        QVERIFY(archive.setCurrentFolder("/docs"));
        archive.close();
        disk = bytes();
        QCOMPARE(diskDirectory(disk), root({p, r, s, t, folder("docs", {member("c", 0, 5, 5)})}));
        QCOMPARE(diskFirstFreeBlock(disk), 9);
        QVERIFY(archive.open(M::ReadOnly));
        QCOMPARE(archive.currentFolder(), QStringLiteral("/"));
        QCOMPARE(archive.list(), (QStringList{"p", "r", "s", "t", "docs"}));
    }

    // With blocks of 64 bytes the directory spans several blocks; it grows and shrinks with
    // the tree, and the blocks it no longer needs go to the free list.
    void directoryStreamAcrossBlocks()
    {
        Archive archive(path(), 64);
        QVERIFY(archive.open(M::ReadWrite));
        QList<QByteArray> folders;
        for (int i = 0; i < 12; ++i) {
            folders << folder(QStringLiteral("folder number %1").arg(i));
            QVERIFY(archive.makeFolder(QStringLiteral("/folder number %1").arg(i)));
        }
        QVERIFY(writeMember(archive, "/m", QByteArray()));
        const int m = findFile(archive, "/m")->firstBlock();
        QCOMPARE(diskDirectory(bytes()), root(folders + QList<QByteArray>{member("m", 0, m, m)}));
        const int grown = chainOf(archive, TestAccess::directory(archive)->firstBlock()).size();
        QVERIFY(grown > 6);
        for (int i = 0; i < 11; ++i)
            QVERIFY(archive.removeFolder(QStringLiteral("/folder number %1").arg(i)));
        QVERIFY(archive.removeFile("/m"));
        QCOMPARE(diskDirectory(bytes()), root({folders.last()}));
        archive.close();
        QVERIFY(archive.open(M::ReadOnly));
        QCOMPARE(chainOf(archive, TestAccess::directory(archive)->firstBlock()).size(), 2);
        QCOMPARE(chainOf(archive, TestAccess::firstFreeBlock(archive)).size(), grown - 2 + 1);
        QCOMPARE(auditBlocks(archive), QStringList());
    }

    // Damaged or missing files: open fails with the message of the first problem and leaves
    // the file as it is, unlocked; the same object then opens the sound archive.
    void damagedFiles_data()
    {
        QTest::addColumn<M::OpenMode>("mode");
        QTest::addColumn<int>("keep");      // bytes of the sample kept; -1 all, -2 no file
        QTest::addColumn<int>("badTypeAt"); // where a type code of 7 goes; 0 nowhere
        QTest::addColumn<QStringList>("messages");
        for (M::OpenMode mode : {M::OpenMode(M::ReadOnly), M::OpenMode(M::ReadWrite)}) {
            const char* m = mode == M::ReadOnly ? "ReadOnly" : "ReadWrite";
            QTest::addRow("%s: empty", m)
                << mode << 0 << 0 << QStringList{"readHeader: not a QEL Archive"};
            QTest::addRow("%s: cut in the header", m)
                << mode << 40 << 0 << QStringList{"readHeader: I/O error"};
            QTest::addRow("%s: cut in the table", m)
                << mode << 356 << 0 << QStringList{"readBAT: cannot read BAT block"};
            QTest::addRow("%s: cut in the directory", m)
                << mode << 4382 << 0 << QStringList{"readDirectory: I/O error"};
            // The root's first child (the folder d), after its name and number of children.
            QTest::addRow("%s: bad type code", m)
                << mode << -1 << 4376
                << QStringList{"Invalid entry type 7", "readDirectory: I/O error"};
        }
        QTest::newRow("ReadOnly: missing")
            << M::OpenMode(M::ReadOnly) << -2 << 0 << QStringList{"open: cannot open file"};
    }
    void damagedFiles()
    {
        QFETCH(M::OpenMode, mode);
        QFETCH(int, keep);
        QFETCH(int, badTypeAt);
        QFETCH(QStringList, messages);
        makeSample();
        const QByteArray sample = bytes();
        QByteArray damaged = keep < 0 ? sample : sample.left(keep);
        if (badTypeAt > 0)
            damaged.replace(badTypeAt, 4, be32(7));
        QVERIFY(keep == -2 ? QFile::remove(path()) : writeHostFile(path(), damaged));
        for (const QString& message : messages)
            QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
        Archive archive(path());
        QVERIFY(!archive.open(mode));
        QCOMPARE(archive.mode(), 0);
        QCOMPARE(QFileInfo::exists(path()), keep != -2);
        QVERIFY(keep == -2 || bytes() == damaged);
        QVERIFY(writeHostFile(path(), sample));
        QCOMPARE(Holder().hold(path(), "readwrite"), QByteArray("opened")); // no lock was left
        checkSample(archive, mode);
    }

    void isLockedOnWhatIsNoArchive()
    {
        for (const QString& what : {dir_.path(), path()}) {
            QTest::ignoreMessage(
                QtDebugMsg,
                quoted(QStringLiteral("isLocked: %1 is not an existing file").arg(what)));
            QVERIFY(!Archive::isLocked(what));
        }
        // A file that cannot be loaded counts as locked.
        QVERIFY(writeHostFile(path(), "not an archive at all"));
        QTest::ignoreMessage(QtDebugMsg, "readHeader: not a QEL Archive");
        QVERIFY(Archive::isLocked(path()));
    }

    // Locks between processes: readers share an archive and keep writers out; a writer keeps
    // out everyone; an archive held either way is never emptied by WriteOnly, here or in
    // another process; a holder that dies without closing takes its lock with it; then
    // WriteOnly recreates the archive, which takes members again.
    void locksBetweenProcesses()
    {
        makeSample();
        const QByteArray sample = bytes();
        Archive archive(path());
        // Whether this process and another are refused the archive in a mode.
        const auto refused = [&](M::OpenMode mode, const char* holderMode) {
            QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
            const bool opened = archive.open(mode);
            archive.close();
            return !opened && Holder().hold(path(), holderMode) == "failed";
        };
        {
            Holder first;
            Holder second;
            QCOMPARE(first.hold(path(), "read"), QByteArray("opened"));
            QCOMPARE(second.hold(path(), "read"), QByteArray("opened"));
            QVERIFY(!Archive::isLocked(path()));
            QVERIFY(refused(M::ReadWrite, "readwrite"));
            QVERIFY(refused(M::WriteOnly, "writeonly"));
            checkSample(archive);
            archive.close();
            QVERIFY(first.release());
            QVERIFY(refused(M::WriteOnly, "writeonly"));
        }
        Holder writer;
        QCOMPARE(writer.hold(path(), "readwrite"), QByteArray("opened"));
        QVERIFY(refused(M::ReadOnly, "read"));
        QVERIFY(refused(M::ReadWrite, "readwrite"));
        QVERIFY(refused(M::WriteOnly, "writeonly"));
        QTest::ignoreMessage(QtDebugMsg, "open: cannot acquire lock");
        QVERIFY(Archive::isLocked(path()));
        QCOMPARE(bytes(), sample);
        writer.kill();
        QVERIFY(writer.waitForFinished(30000));
        QVERIFY(!Archive::isLocked(path()));

        QVERIFY(archive.open(M::WriteOnly));
        QVERIFY(archive.list().isEmpty());
        archive.close();
        QCOMPARE(bytes(), newArchive(Archive::Version(), 4096));
        QVERIFY(archive.open(M::WriteOnly));
        QVERIFY(writeMember(archive, "/w", QByteArray(5000, 'w')));
        archive.close();
        QVERIFY(archive.open(M::ReadOnly));
        QCOMPARE(readMember(archive, "/w"), QByteArray(5000, 'w'));
        QCOMPARE(auditBlocks(archive), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_Lifecycle)
#include "tst_lifecycle.moc"
