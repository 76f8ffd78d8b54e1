// kestar end to end: the real binary on real files, driven through QProcess.
//
// Round trips compare every byte; listings and figures are compared with what the library
// itself says about the same archive; damage is made by patching bytes of the archive file
// at offsets computed from the archive's own entries and table.

#include "Archive.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using Kest::Ar::Archive;
using Kest::Ar::File;
using Kest::Ar::FileEntry;
using Kest::Ar::TestAccess;
using KestTest::be32;
using KestTest::be64;
using KestTest::patchHostFile;
using KestTest::patternBytes;
using KestTest::qstringBytes;
using KestTest::readHostFile;
using KestTest::writeHostFile;

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Every file below `root`, by its path relative to `root`, with its contents; folders too
// (with a trailing "/"), so that empty folders count.
QMap<QString, QByteArray> hostTree(const QString& root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        else
            tree.insert(relative, readHostFile(path));
    }
    return tree;
}

QStringList lines(const QByteArray& text)
{
    return QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The file offset of the table entry of block `b`: entries live in the first block of each
// cluster of N = B / 4 blocks.
qint64 tableEntryOffset(qint64 headerSize, qint64 blockSize, int b)
{
    const qint64 perCluster = blockSize / 4;
    return headerSize + (b / perCluster) * perCluster * blockSize + (b % perCluster) * 4;
}

// A member's stored body (name, size, first and last block) as it stands in the directory.
QByteArray storedBody(const QString& name, qint64 size, int first, int last)
{
    return qstringBytes(name) + be64(size) + be32(first) + be32(last);
}

struct MemberBlocks
{
    qint64 size = 0;
    int first = -1;
    int last = -1;
    QList<int> chain;
};

} // namespace

class tst_Kestar : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void roundTripOfFolderTree();
    void listingsAndTree();
    void infoShowsTheLibrarysFigures();
    void checkFindsNothingOnArchivesKestarMade();
    void checkDetectsDamage_data();
    void checkDetectsDamage();
    void checkOfArchiveThatCannotOpen();
    void exitStatusesAndMessages_data();
    void exitStatusesAndMessages();
    void partialFailureStillDoesTheRest();
    void verboseShowsLibraryMessages();
    void lockedByAnotherProcess();
    void folderChangesAreWrittenBack();
    void namesUnsafeOnTheHostAreRefused();
    void addingTheArchiveToItself();
    void progressBarOnlyOnATerminal();

private:
    Run kestar(const QStringList& arguments, int timeoutMs = 120000);
    QString path(const QString& name) const { return dir_->filePath(name); }
    void makeGoodArchive();
    MemberBlocks blocksOf(const QString& archive, const QString& member);

    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_Kestar::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

Run tst_Kestar::kestar(const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.setWorkingDirectory(dir_->path());
    process.start(QStringLiteral(KESTAR_BINARY), arguments);
    Run run;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        run.err = "kestar did not finish normally";
        return run;
    }
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// good.kar: /docs with two files, /empty (an empty folder), /top.txt; and a host file and a
// host folder beside it.
void tst_Kestar::makeGoodArchive()
{
    QVERIFY(QDir(dir_->path()).mkpath(QStringLiteral("hostdir/docs")));
    QVERIFY(writeHostFile(path(QStringLiteral("hostdir/docs/b.txt")), "bee\n"));
    QVERIFY(writeHostFile(path(QStringLiteral("hostdir/docs/a.txt")), "a\n"));
    QVERIFY(writeHostFile(path(QStringLiteral("hostdir/empty")), "not a folder\n"));
    QVERIFY(writeHostFile(path(QStringLiteral("top.txt")), "top\n"));
    QVERIFY(writeHostFile(path(QStringLiteral("notarchive.txt")), "just text\n"));
    QCOMPARE(kestar({"create", "good.kar"}).status, 0);
    QCOMPARE(kestar({"add", "good.kar", "hostdir/docs", "-r"}).status, 0);
    QCOMPARE(kestar({"mkdir", "good.kar", "/empty"}).status, 0);
    QCOMPARE(kestar({"add", "good.kar", "top.txt"}).status, 0);
}

MemberBlocks tst_Kestar::blocksOf(const QString& archivePath, const QString& member)
{
    Archive archive(archivePath);
    MemberBlocks blocks;
    if (!archive.open(QIODevice::ReadOnly) || !archive.fileExists(member))
        return blocks;
    const FileEntry* entry = TestAccess::fileEntry(archive, member);
    blocks.size = entry->size();
    blocks.first = entry->firstBlock();
    blocks.last = entry->lastBlock();
    for (int b = blocks.first; b >= 0 && blocks.chain.size() <= TestAccess::nBlocks(archive);
         b = TestAccess::table(archive).at(b))
        blocks.chain.append(b);
    return blocks;
}

// Sizes around the block size and a file of a few MiB, in nested folders with an empty one:
// what comes back out is byte for byte what went in.
void tst_Kestar::roundTripOfFolderTree()
{
    const QString src = path(QStringLiteral("src"));
    QVERIFY(QDir().mkpath(src + QStringLiteral("/sub/deeper")));
    QVERIFY(QDir().mkpath(src + QStringLiteral("/empty")));
    int seed = 1;
    for (qint64 size : {0, 1, 4095, 4096, 4097})
        QVERIFY(writeHostFile(src + QStringLiteral("/f%1").arg(size), patternBytes(size, seed++)));
    QVERIFY(
        writeHostFile(src + QStringLiteral("/sub/big"), patternBytes(3 * 1024 * 1024 + 123, 9)));
    QVERIFY(writeHostFile(src + QStringLiteral("/sub/deeper/x"), patternBytes(5000, 10)));
    QVERIFY(writeHostFile(src + QStringLiteral("/.hidden"), patternBytes(10, 11)));

    QCOMPARE(kestar({"create", "rt.kar"}).status, 0);
    const Run add = kestar({"add", "rt.kar", "src", "-r"});
    QCOMPARE(add.status, 0);
    QCOMPARE(add.err, QByteArray()); // not a terminal: no progress bar, and nothing went wrong
    const Run get = kestar({"get", "rt.kar", "/src", "-r", "-C", "out"});
    QCOMPARE(get.status, 0);
    QCOMPARE(get.err, QByteArray());
    QCOMPARE(hostTree(path(QStringLiteral("out/src"))), hostTree(src));

    const Run cat = kestar({"cat", "rt.kar", "src/sub/big"});
    QCOMPARE(cat.status, 0);
    QCOMPARE(cat.out, readHostFile(src + QStringLiteral("/sub/big")));

    // The root exported with -r lands straight in the host folder.
    QCOMPARE(kestar({"get", "rt.kar", "/", "-r", "-C", "whole"}).status, 0);
    QCOMPARE(hostTree(path(QStringLiteral("whole/src"))), hostTree(src));

    const Run check = kestar({"check", "rt.kar"});
    QCOMPARE(check.status, 0);
    QCOMPARE(lines(check.out), QStringList{QStringLiteral("rt.kar: no problems found")});
}

void tst_Kestar::listingsAndTree()
{
    makeGoodArchive();
    // Stored order: docs came first, then empty, then top.txt; inside docs, the host order.
    const Run ls = kestar({"ls", "good.kar"});
    QCOMPARE(ls.status, 0);
    QCOMPARE(lines(ls.out), (QStringList{"docs", "empty", "top.txt"}));

    QCOMPARE(lines(kestar({"ls", "good.kar", "docs"}).out), (QStringList{"a.txt", "b.txt"}));
    QCOMPARE(lines(kestar({"ls", "good.kar", "/docs/"}).out), (QStringList{"a.txt", "b.txt"}));
    QCOMPARE(lines(kestar({"ls", "good.kar", "/docs/b.txt"}).out), QStringList{"b.txt"});

    QCOMPARE(lines(kestar({"ls", "-R", "good.kar"}).out),
             (QStringList{"docs", "docs/a.txt", "docs/b.txt", "empty", "top.txt"}));
    QCOMPARE(lines(kestar({"ls", "good.kar", "-lR"}).out),
             (QStringList{"folder            -  docs", "file              2  docs/a.txt",
                          "file              4  docs/b.txt", "folder            -  empty",
                          "file              4  top.txt"}));

    const Run tree = kestar({"tree", "good.kar"});
    QCOMPARE(tree.status, 0);
    QCOMPARE(lines(tree.out),
             (QStringList{"/", "  docs/", "    a.txt  (2 bytes)", "    b.txt  (4 bytes)",
                          "  empty/", "  top.txt  (4 bytes)"}));
}

// info prints the library's own figures for the archive, under the names the README uses.
void tst_Kestar::infoShowsTheLibrarysFigures()
{
    QVERIFY(writeHostFile(path(QStringLiteral("data")), patternBytes(1000, 1)));
    QCOMPARE(kestar({"create", "i.kar", "--block-size", "512", "--app-version", "2.5.7"}).status,
             0);
    QCOMPARE(kestar({"mkdir", "i.kar", "/f"}).status, 0);
    QCOMPARE(kestar({"add", "i.kar", "data", "-C", "/f"}).status, 0);
    QCOMPARE(kestar({"add", "i.kar", "data"}).status, 0);
    QCOMPARE(kestar({"rm", "i.kar", "/data"}).status, 0);
    const Run info = kestar({"info", "i.kar"});
    QCOMPARE(info.status, 0);
    QMap<QString, QString> shown;
    for (const QString& line : lines(info.out))
        shown.insert(line.section(QLatin1Char(':'), 0, 0),
                     line.section(QLatin1Char(':'), 1).trimmed());

    Archive archive(path(QStringLiteral("i.kar")));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    const Archive::Statistics figures = archive.statistics();
    QVERIFY(figures.freeBlocks >= 2); // /data's two blocks
    const QMap<QString, QString> expected{
        {"archive", "i.kar"},
        {"file size", QStringLiteral("%1 bytes").arg(QFileInfo(path("i.kar")).size())},
        {"format version", "4"},
        {"application version", "2.5.7"},
        {"block size", "512 bytes"},
        {"blocks", QString::number(figures.blocks)},
        {"table blocks", QString::number(figures.tableBlocks)},
        {"free blocks", QString::number(figures.freeBlocks)},
        {"directory size", QStringLiteral("%1 bytes").arg(figures.directorySize)},
        {"folders", "1"},
        {"member files", "1"},
        {"member bytes", "1000"},
        {"internal fragmentation",
         QString::number(archive.fragmentation(Archive::InternalFragmentation), 'f', 4)},
        {"external fragmentation",
         QString::number(archive.fragmentation(Archive::ExternalFragmentation), 'f', 4)},
    };
    QCOMPARE(shown, expected);
}

// Archives after many additions, replacements and removals, with small and default blocks.
void tst_Kestar::checkFindsNothingOnArchivesKestarMade()
{
    QVERIFY(QDir().mkpath(path(QStringLiteral("h/sub"))));
    for (int i = 0; i < 6; ++i)
        QVERIFY(writeHostFile(path(QStringLiteral("h/f%1").arg(i)), patternBytes(700 * i * i, i)));
    QVERIFY(writeHostFile(path(QStringLiteral("h/sub/g")), patternBytes(20000, 7)));
    for (const char* blockSize : {"64", "4096"}) {
        const QString name = QStringLiteral("c%1.kar").arg(blockSize);
        QCOMPARE(kestar({"create", name, "--block-size", blockSize}).status, 0);
        const QList<QStringList> steps{
            {"add", name, "h", "-r"},        {"rm", name, "/h/f2", "/h/f4"},
            {"mkdir", name, "-p", "/x/y/z"}, {"add", name, "h/f5", "-C", "/x/y"},
            {"add", name, "h", "-r"},        {"rm", name, "-r", "/h/sub"},
            {"rmdir", name, "/x/y/z"},       {"add", name, "h/f1", "-C", "/x"},
        };
        for (const QStringList& step : steps) {
            QCOMPARE(kestar(step).status, 0);
            const Run check = kestar({"check", name});
            QVERIFY2(check.status == 0, check.out.constData());
        }
    }
}

enum class Damage {
    CrossLink,
    Cycle,
    LeakedBlocks,
    LinkOutsideTable,
    InvalidInChain,
    ChainTooShortForSize,
    WrongLastBlock,
    DuplicateNames,
    BrokenTableChain,
    FileCutShort,
};
Q_DECLARE_METATYPE(Damage)

void tst_Kestar::checkDetectsDamage_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<QString>("expected");
    QTest::newRow("cross-link") << Damage::CrossLink << 4096
                                << "/b: block %1 is also in /a (cross-linked)";
    QTest::newRow("cycle") << Damage::Cycle << 4096
                           << "/a: the chain runs in a cycle: block %2 links back to block %1";
    QTest::newRow("leaked blocks")
        << Damage::LeakedBlocks << 4096 << "are in no chain and not free (leaked)";
    QTest::newRow("link outside the table")
        << Damage::LinkOutsideTable << 4096 << "/b: block %1 links to 1000000, outside the table";
    QTest::newRow("INVALID inside a chain")
        << Damage::InvalidInChain << 4096 << "/b: block %1 holds INVALID inside the chain";
    QTest::newRow("chain too short for the size")
        << Damage::ChainTooShortForSize << 4096
        << "/b: the chain of 2 blocks is too short for its size of 409600 bytes (needs 100)";
    QTest::newRow("wrong last block")
        << Damage::WrongLastBlock << 4096
        << "/a: the chain ends at block %2 but the entry records last block %1";
    QTest::newRow("duplicate names")
        << Damage::DuplicateNames << 4096 << "/: more than one entry is named \"a\"";
    QTest::newRow("broken table chain")
        << Damage::BrokenTableChain << 64
        << "the table: table block 0 links to END_OF_CHAIN instead of 16";
    QTest::newRow("file cut short")
        << Damage::FileCutShort << 4096 << "lies past the end of the file";
}

// The fixture: /a of 2.5 blocks, /b of 1.5 blocks, /gone of 12 blocks removed (its blocks are
// free; with blocks of 64 bytes it makes a second cluster), then
// one kind of damage patched into the file. check reports it, exits with 1, and leaves the
// file as it found it.
void tst_Kestar::checkDetectsDamage()
{
    QFETCH(Damage, damage);
    QFETCH(int, blockSize);
    QFETCH(QString, expected);
    const QString archive = path(QStringLiteral("d.kar"));
    QVERIFY(writeHostFile(path(QStringLiteral("a")), patternBytes(blockSize * 5 / 2, 1)));
    QVERIFY(writeHostFile(path(QStringLiteral("b")), patternBytes(blockSize * 3 / 2, 2)));
    QVERIFY(writeHostFile(path(QStringLiteral("gone")), patternBytes(blockSize * 12, 3)));
    QCOMPARE(kestar({"create", "d.kar", "--block-size", QString::number(blockSize)}).status, 0);
    QCOMPARE(kestar({"add", "d.kar", "gone", "a", "b"}).status, 0);
    QCOMPARE(kestar({"rm", "d.kar", "gone"}).status, 0);
    QCOMPARE(kestar({"check", "d.kar"}).status, 0);

    const MemberBlocks a = blocksOf(archive, QStringLiteral("/a"));
    const MemberBlocks b = blocksOf(archive, QStringLiteral("/b"));
    QCOMPARE(a.chain.size(), 3);
    QCOMPARE(b.chain.size(), 2);
    const qint64 header = 256;
    const auto setLink = [&](int block, int next) {
        return patchHostFile(archive, tableEntryOffset(header, blockSize, block), be32(next));
    };
    const auto patchBody = [&](const QByteArray& before, const QByteArray& after) {
        QByteArray bytes = readHostFile(archive);
        const qsizetype at = bytes.indexOf(before);
        return at >= 0 && bytes.indexOf(before, at + 1) < 0 && patchHostFile(archive, at, after);
    };
    int first = -1;
    int second = -1;
    switch (damage) {
    case Damage::CrossLink:
        QVERIFY(setLink(a.last, b.first));
        first = b.first;
        break;
    case Damage::Cycle:
        QVERIFY(setLink(a.last, a.first));
        first = a.first;
        second = a.last;
        break;
    case Damage::LeakedBlocks:
        QVERIFY(patchHostFile(archive, 32, be32(-1))); // the header's free-list head
        break;
    case Damage::LinkOutsideTable:
        QVERIFY(setLink(b.first, 1000000));
        first = b.first;
        break;
    case Damage::InvalidInChain:
        QVERIFY(setLink(b.first, -2));
        first = b.first;
        break;
    case Damage::ChainTooShortForSize:
        QVERIFY(patchBody(storedBody("b", b.size, b.first, b.last),
                          storedBody("b", 100 * blockSize, b.first, b.last)));
        break;
    case Damage::WrongLastBlock:
        QVERIFY(patchBody(storedBody("a", a.size, a.first, a.last),
                          storedBody("a", a.size, a.first, a.chain[1])));
        first = a.chain[1];
        second = a.last;
        break;
    case Damage::DuplicateNames:
        QVERIFY(patchBody(storedBody("b", b.size, b.first, b.last),
                          storedBody("a", b.size, b.first, b.last)));
        break;
    case Damage::BrokenTableChain:
        QVERIFY(Archive::isArchive(archive));
        QVERIFY(QFileInfo(archive).size() > header + 16 * blockSize); // two clusters
        QVERIFY(setLink(0, -1));
        break;
    case Damage::FileCutShort: {
        const int highest = std::max(a.chain.last(), b.chain.last());
        QVERIFY(QFile::resize(archive, header + qint64(highest) * blockSize + 10));
        break;
    }
    }
    if (first >= 0)
        expected = expected.arg(first);
    if (second >= 0)
        expected = expected.arg(second);

    const QByteArray before = readHostFile(archive);
    const Run check = kestar({"check", "d.kar"});
    QCOMPARE(check.status, 1);
    QVERIFY2(check.out.contains(expected.toUtf8()), check.out.constData());
    QVERIFY(lines(check.out).last().contains(QStringLiteral("found")));
    QCOMPARE(check.err, QByteArray());
    QCOMPARE(readHostFile(archive), before);
}

void tst_Kestar::checkOfArchiveThatCannotOpen()
{
    QCOMPARE(kestar({"create", "h.kar"}).status, 0);
    QVERIFY(patchHostFile(path(QStringLiteral("h.kar")), 20, be32(0))); // block size 0
    const Run check = kestar({"check", "h.kar"});
    QCOMPARE(check.status, 1);
    QCOMPARE(check.out, QByteArray());
    QVERIFY2(check.err.contains("h.kar: the archive is damaged and cannot be opened "
                                "(readHeader: block size 0 is out of range)"),
             check.err.constData());
}

void tst_Kestar::exitStatusesAndMessages_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // on standard error; "" when none is expected

    QTest::newRow("no command") << QStringList{} << 2 << "kestar: no command given";
    QTest::newRow("unknown command")
        << QStringList{"frob"} << 2 << "kestar: unknown command 'frob'";
    QTest::newRow("unknown option")
        << QStringList{"ls", "good.kar", "-x"} << 2 << "kestar ls: unknown option -x";
    QTest::newRow("option without its value")
        << QStringList{"add", "good.kar", "top.txt", "-C"} << 2 << "option -C needs a value";
    QTest::newRow("missing argument")
        << QStringList{"cat", "good.kar"} << 2 << "kestar cat: missing arguments";
    QTest::newRow("too many arguments")
        << QStringList{"info", "good.kar", "x"} << 2 << "kestar info: too many arguments";
    QTest::newRow("block size out of range")
        << QStringList{"create", "n.kar", "--block-size", "4"} << 2
        << "--block-size must be a number of bytes from 8 to 67108864";
    QTest::newRow("bad application version")
        << QStringList{"create", "n.kar", "--app-version", "1.2.3.4"} << 2 << "--app-version";

    QTest::newRow("missing archive")
        << QStringList{"ls", "missing.kar"} << 1 << "kestar ls: missing.kar: no such archive";
    QTest::newRow("not an archive") << QStringList{"info", "notarchive.txt"} << 1
                                    << "kestar info: notarchive.txt: not an archive";
    QTest::newRow("a folder as archive")
        << QStringList{"tree", "hostdir"} << 1 << "hostdir: is a folder, not an archive";
    QTest::newRow("archive exists")
        << QStringList{"create", "good.kar"} << 1 << "kestar create: good.kar: already exists";
    QTest::newRow("bad path") << QStringList{"ls", "good.kar", "/nope/x"} << 1
                              << "kestar ls: /nope/x: no such file or folder in the archive";
    QTest::newRow("cat of a folder")
        << QStringList{"cat", "good.kar", "docs"} << 1 << "kestar cat: /docs: is a folder";
    QTest::newRow("cat of nothing") << QStringList{"cat", "good.kar", "/docs/zz"} << 1
                                    << "/docs/zz: no such member file in the archive";
    QTest::newRow("get of nothing") << QStringList{"get", "good.kar", "nope"} << 1
                                    << "kestar get: /nope: no such file or folder in the archive";
    QTest::newRow("get of a folder without -r")
        << QStringList{"get", "good.kar", "docs"} << 1 << "/docs: is a folder (use -r)";
    QTest::newRow("add of a missing host file") << QStringList{"add", "good.kar", "nohost"} << 1
                                                << "kestar add: nohost: no such file or folder";
    QTest::newRow("add of a host folder without -r")
        << QStringList{"add", "good.kar", "hostdir"} << 1 << "hostdir: is a folder (use -r)";
    QTest::newRow("add into a missing folder")
        << QStringList{"add", "good.kar", "top.txt", "-C", "/nofolder"} << 1
        << "/nofolder: no such folder in the archive";
    QTest::newRow("add over a folder") << QStringList{"add", "good.kar", "hostdir/empty"} << 1
                                       << "kestar add: /empty: is a folder in the archive";
    QTest::newRow("mkdir without parent") << QStringList{"mkdir", "good.kar", "/x/y"} << 1
                                          << "/x/y: the parent folder /x does not exist";
    QTest::newRow("mkdir of an existing folder")
        << QStringList{"mkdir", "good.kar", "docs"} << 1 << "/docs: already exists";
    QTest::newRow("mkdir over a member") << QStringList{"mkdir", "good.kar", "-p", "/top.txt/x"}
                                         << 1 << "/top.txt: a member file has that name";
    QTest::newRow("rm of a folder without -r")
        << QStringList{"rm", "good.kar", "docs"} << 1 << "/docs: is a folder (use -r";
    QTest::newRow("rm of nothing") << QStringList{"rm", "good.kar", "/nope"} << 1
                                   << "/nope: no such file or folder in the archive";
    QTest::newRow("rm of the root")
        << QStringList{"rm", "-r", "good.kar", "/"} << 1 << "/: the root folder cannot be removed";
    QTest::newRow("rmdir of a full folder")
        << QStringList{"rmdir", "good.kar", "docs"} << 1 << "/docs: the folder is not empty";
    QTest::newRow("rmdir of a member") << QStringList{"rmdir", "good.kar", "top.txt"} << 1
                                       << "/top.txt: is a member file, not a folder";

    QTest::newRow("help") << QStringList{"--help"} << 0 << "";
    QTest::newRow("help of a command") << QStringList{"add", "--help"} << 0 << "";
    QTest::newRow("help command") << QStringList{"help", "get"} << 0 << "";
    QTest::newRow("ls") << QStringList{"ls", "good.kar"} << 0 << "";
    QTest::newRow("options after arguments")
        << QStringList{"ls", "good.kar", "docs", "-l"} << 0 << "";
}

void tst_Kestar::exitStatusesAndMessages()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    makeGoodArchive();
    const QByteArray before = readHostFile(path(QStringLiteral("good.kar")));
    const Run run = kestar(arguments);
    QCOMPARE(run.status, status);
    if (message.isEmpty())
        QCOMPARE(run.err, QByteArray());
    else
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    // The library's own messages are not shown without -v.
    QVERIFY2(!run.err.contains("[debug]"), run.err.constData());
    if (status != 0)
        QCOMPARE(readHostFile(path(QStringLiteral("good.kar"))), before);
}

// One failing item does not stop the others, but the exit status says that not all was done.
void tst_Kestar::partialFailureStillDoesTheRest()
{
    makeGoodArchive();
    QVERIFY(writeHostFile(path(QStringLiteral("second.txt")), "2nd\n"));
    const Run add = kestar({"add", "good.kar", "nohost", "second.txt"});
    QCOMPARE(add.status, 1);
    QVERIFY(add.err.contains("nohost: no such file or folder"));
    QCOMPARE(kestar({"cat", "good.kar", "/second.txt"}).out, QByteArray("2nd\n"));

    const Run rm = kestar({"rm", "good.kar", "/nope", "/second.txt"});
    QCOMPARE(rm.status, 1);
    QCOMPARE(lines(kestar({"ls", "good.kar"}).out), (QStringList{"docs", "empty", "top.txt"}));
}

void tst_Kestar::verboseShowsLibraryMessages()
{
    makeGoodArchive();
    const Run quiet = kestar({"ls", "good.kar", "/nofolder/x"});
    QCOMPARE(quiet.status, 1);
    QVERIFY(!quiet.err.contains("parent: nofolder does not exist"));
    const Run verbose = kestar({"-v", "ls", "good.kar", "/nofolder/x"});
    QCOMPARE(verbose.status, 1);
    QVERIFY2(verbose.err.contains("kestar: [debug] \"parent: nofolder does not exist\""),
             verbose.err.constData());
    QCOMPARE(kestar({"ls", "good.kar", "/nofolder/x", "--verbose"}).err, verbose.err);
}

// Another process holds the archive for writing: readers and writers are refused at once,
// with a message that says why, and work again once it lets go.
void tst_Kestar::lockedByAnotherProcess()
{
    makeGoodArchive();
    QProcess holder;
    holder.start(QStringLiteral(LOCK_HOLDER_BINARY), {path(QStringLiteral("good.kar"))});
    QVERIFY(holder.waitForStarted());
    QVERIFY(holder.waitForReadyRead(30000));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("locked"));

    const Run ls = kestar({"ls", "good.kar"});
    QCOMPARE(ls.status, 1);
    QVERIFY2(ls.err.contains("good.kar: the archive is being changed by another process "
                             "(locked)"),
             ls.err.constData());
    const Run add = kestar({"add", "good.kar", "notarchive.txt"});
    QCOMPARE(add.status, 1);
    QVERIFY2(add.err.contains("good.kar: the archive is in use by another process (locked)"),
             add.err.constData());

    holder.write("\n");
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(30000));
    QCOMPARE(holder.exitCode(), 0);
    QCOMPARE(kestar({"ls", "good.kar"}).status, 0);
    QCOMPARE(kestar({"add", "good.kar", "notarchive.txt"}).status, 0);
}

// mkdir, rmdir and rm -r change folders only; they must reach the file all the same.
void tst_Kestar::folderChangesAreWrittenBack()
{
    makeGoodArchive();
    QCOMPARE(kestar({"mkdir", "good.kar", "-p", "/x/y/z", "/docs/w"}).status, 0);
    QCOMPARE(lines(kestar({"ls", "-R", "good.kar", "x"}).out), (QStringList{"y", "y/z"}));
    QCOMPARE(kestar({"rmdir", "good.kar", "/x/y/z", "/empty"}).status, 0);
    QCOMPARE(lines(kestar({"ls", "-R", "good.kar"}).out),
             (QStringList{"docs", "docs/a.txt", "docs/b.txt", "docs/w", "top.txt", "x", "x/y"}));
    const Run rm = kestar({"rm", "-r", "good.kar", "/docs", "/x"});
    QCOMPARE(rm.status, 0);
    QCOMPARE(lines(kestar({"ls", "good.kar"}).out), QStringList{"top.txt"});
    QCOMPARE(kestar({"check", "good.kar"}).status, 0);

    Archive archive(path(QStringLiteral("good.kar")));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.list(), QList<QString>{QStringLiteral("top.txt")});
    QVERIFY(archive.statistics().freeBlocks >= 2); // a.txt and b.txt gave theirs back
}

// A member named ".." must not be written outside the target folder.
void tst_Kestar::namesUnsafeOnTheHostAreRefused()
{
    {
        Archive archive(path(QStringLiteral("u.kar")));
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.makeFolder(QStringLiteral("/f")));
        File escape(&archive, QStringLiteral("/f/.."));
        QVERIFY(escape.open(QIODevice::WriteOnly));
        QCOMPARE(escape.write("escaped"), qint64(7));
        escape.close();
        File fine(&archive, QStringLiteral("/f/fine"));
        QVERIFY(fine.open(QIODevice::WriteOnly));
        QCOMPARE(fine.write("ok"), qint64(2));
    }
    const Run get = kestar({"get", "u.kar", "/", "-r", "-C", "out/inner"});
    QCOMPARE(get.status, 1);
    QVERIFY2(get.err.contains("/f/..: the name cannot be used for a host file"),
             get.err.constData());
    const QMap<QString, QByteArray> written{
        {"inner/", {}}, {"inner/f/", {}}, {"inner/f/fine", "ok"}};
    QCOMPARE(hostTree(path(QStringLiteral("out"))), written);
}

// The archive lies inside the folder being added: it is left out, and the command ends.
void tst_Kestar::addingTheArchiveToItself()
{
    QVERIFY(writeHostFile(path(QStringLiteral("other")), patternBytes(100, 1)));
    QCOMPARE(kestar({"create", "self.kar"}).status, 0);
    const Run add = kestar({"add", "self.kar", ".", "-r"}, 60000);
    QCOMPARE(add.status, 0);
    QVERIFY2(add.err.contains("self.kar: the archive itself, not added"), add.err.constData());
    const QString folder = QFileInfo(dir_->path()).fileName();
    QCOMPARE(lines(kestar({"ls", "self.kar", folder}).out), QStringList{"other"});
}

// The bar is drawn on standard error only when that is a terminal (here a pseudo-terminal
// made by script(1)); through pipes, standard error stays empty.
void tst_Kestar::progressBarOnlyOnATerminal()
{
    QVERIFY(writeHostFile(path(QStringLiteral("big")), patternBytes(9 * 1024 * 1024, 3)));
    QCOMPARE(kestar({"create", "p.kar"}).status, 0);
    const Run piped = kestar({"add", "p.kar", "big"});
    QCOMPARE(piped.status, 0);
    QCOMPARE(piped.err, QByteArray());

    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1) is not installed: no pseudo-terminal to show the bar on");
    QProcess process;
    process.setWorkingDirectory(dir_->path());
    const QString command = QStringLiteral("'%1' add p.kar big -C /").arg(KESTAR_BINARY);
    process.start(script, {"-qec", command, "/dev/null"});
    QVERIFY(process.waitForFinished(120000));
    const QByteArray seen = process.readAllStandardOutput();
    if (process.exitCode() != 0 && (seen + process.readAllStandardError()).contains("script:"))
        QSKIP("script(1) cannot make a pseudo-terminal here");
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(seen.contains("] 100%  9.0 / 9.0 MiB"), seen.constData());
    QVERIFY(seen.contains('\r'));
    QCOMPARE(kestar({"cat", "p.kar", "big"}).out, readHostFile(path(QStringLiteral("big"))));
}

QTEST_GUILESS_MAIN(tst_Kestar)
#include "tst_kestar.moc"
