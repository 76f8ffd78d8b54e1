// The consistency check and writeBack.
//
// Healthy archives of several block sizes must give the check nothing to report after any
// sequence of operations, open or reopened. Each kind of damage is made through TestAccess on
// block numbers read back from the archive's own table, and the check must report exactly it
// while leaving the file as it was.

#include "Archive.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QtTest>

using Kest::Ar::Archive;
using Kest::Ar::TestAccess;
using KestTest::patternBytes;
using KestTest::readHostFile;

namespace {

void writeMember(Archive& archive, const QString& path, qint64 size,
                 QIODevice::OpenMode mode = QIODevice::WriteOnly)
{
    Kest::Ar::File member(&archive, path);
    QVERIFY(member.open(mode));
    QCOMPARE(member.write(patternBytes(size, quint32(size))), size);
}

QList<int> chainOf(Archive& archive, int first)
{
    QList<int> blocks;
    for (int b = first; b != -1; b = TestAccess::table(archive).at(b))
        blocks.append(b);
    return blocks;
}

} // namespace

class tst_Check : public QObject
{
    Q_OBJECT

private slots:
    void healthyArchivesStayClean();
    void damage_data();
    void damage();

private:
    QTemporaryDir dir_;
};

// Blocks of 64, 512 and 4096 bytes; writes, appends, removals and empty folders made or removed
// and written back alone, in random order: the check runs after every step and after a
// reopen. writeBack refuses an archive that is not open.
void tst_Check::healthyArchivesStayClean()
{
    for (uint blockSize : {64u, 512u, 4096u}) {
        const QString path = dir_.filePath(QStringLiteral("random-%1.kar").arg(blockSize));
        QRandomGenerator random(blockSize);
        QStringList emptyFolders;
        Archive archive(path, blockSize);
        QCOMPARE(archive.check(), QStringList{"the archive is not open"});
        QTest::ignoreMessage(
            QtDebugMsg, qPrintable(QString("\"writeBack: %1 is not open for writing\"").arg(path)));
        QVERIFY(!archive.writeBack());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QCOMPARE(archive.check(), QStringList());
        QVERIFY(archive.makeFolder("/f"));
        for (int step = 0; step < 300; ++step) {
            const QString name = QString(random.bounded(2) ? "/f/m" : "/m") + QChar('0' + step % 8);
            const int op = random.bounded(4);
            if (op < 2) {
                writeMember(archive, name, random.bounded(int(4 * blockSize + 3)),
                            QIODevice::WriteOnly | (op ? QIODevice::Append : QIODevice::NotOpen));
            } else if (op == 2 && archive.fileExists(name)) {
                QVERIFY(archive.removeFile(name));
            } else if (op == 3) {
                const QString folder = QStringLiteral("e%1").arg(step % 3);
                if (emptyFolders.removeOne(folder)) {
                    QVERIFY(archive.removeFolder("/f/" + folder));
                } else {
                    QVERIFY(archive.makeFolder("/f/" + folder));
                    emptyFolders.append(folder);
                }
                QVERIFY(archive.writeBack());
            }
            const QStringList problems = archive.check();
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join("; ")));
        }
        archive.close();
        QVERIFY(archive.open(QIODevice::ReadOnly));
        QCOMPARE(archive.check(), QStringList());
        QVERIFY(archive.setCurrentFolder("/f"));
        QCOMPARE(archive.list(Archive::Folders), emptyFolders); // in the order they were made
    }
}

// Each row names one damage and the problems it must give. Damage: "link B N" sets block B's
// table entry to N; "version V" sets the format version; "twin" adds a second "b" to the root;
// "cut c0" cuts the file 10 bytes into /d/c's block. Operands and problems name blocks by the
// fixture's chains ({a0} is /a's first block, {fl} the free list's last) or by number.
void tst_Check::damage_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("problems");
    QTest::newRow("format version")
        << "version 9" << QStringList{"header: unknown format version 9 (1 to 4)"};
    QTest::newRow("table chain") << "link 0 -1"
                                 << QStringList{"the table: table block 0 links to "
                                                "END_OF_CHAIN instead of 16"};
    QTest::newRow("two chains cross-linked: too long, wrong last block")
        << "link a2 b0"
        << QStringList{"/a: the chain of 5 blocks is longer than its size of 150 bytes needs (3)",
                       "/a: the chain ends at block {b1} but the entry records last block {a2}",
                       "/b: block {b0} is also in /a (cross-linked)"};
    QTest::newRow("free list into a chain")
        << "link fl a1" << QStringList{"the free list: block {a1} is also in /a (cross-linked)"};
    QTest::newRow("cycle") << "link a2 a0"
                           << QStringList{"/a: the chain runs in a cycle: block {a2} links back "
                                          "to block {a0}"};
    QTest::newRow("skipped block: too short, and a leak")
        << "link a0 a2"
        << QStringList{"/a: the chain of 2 blocks is too short for its size of 150 bytes "
                       "(needs 3)",
                       "block {a1} is in no chain and not free (leaked)"};
    QTest::newRow("link outside the table")
        << "link b0 out"
        << QStringList{"/b: block {b0} links to {out}, outside the table (0 to {top})",
                       "block {b1} is in no chain and not free (leaked)"};
    QTest::newRow("duplicate names")
        << "twin" << QStringList{"/: more than one entry is named \"b\""};
    QTest::newRow("file cut short")
        << "cut c0" << QStringList{"/d/c: block {c0} lies past the end of the file ({cut} bytes)"};
}

// The fixture, blocks of 64 bytes (16 per cluster, so two clusters): /filler of 16 blocks, /a
// of 3, /b of 2, /d/c of 1, a free list that holds the blocks of /gone, and an empty member, whose
// only block may never reach the file without that being damage.
void tst_Check::damage()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, problems);
    const QString path = dir_.filePath(QStringLiteral("damage.kar"));
    QFile::remove(path);
    Archive archive(path, 64);
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.makeFolder("/d"));
    const QList<std::pair<QString, qint64>> members{
        {"/filler", 1000}, {"/a", 150}, {"/gone", 130}, {"/b", 100}, {"/d/c", 10}, {"/d/empty", 0}};
    for (const auto& [member, size] : members)
        writeMember(archive, member, size);
    QVERIFY(archive.removeFile("/gone"));
    QCOMPARE(archive.check(), QStringList());

    const QList<int> a = chainOf(archive, TestAccess::fileEntry(archive, "/a")->firstBlock());
    const QList<int> b = chainOf(archive, TestAccess::fileEntry(archive, "/b")->firstBlock());
    const QList<int> free = chainOf(archive, TestAccess::firstFreeBlock(archive));
    const int c = TestAccess::fileEntry(archive, "/d/c")->firstBlock();
    const int n = TestAccess::nBlocks(archive);
    QMap<QString, qint64> names{{"a0", a[0]},   {"a1", a[1]},
                                {"a2", a[2]},   {"b0", b[0]},
                                {"b1", b[1]},   {"fl", free.last()},
                                {"out", n + 5}, {"top", n - 1},
                                {"c0", c},      {"cut", 256 + c * 64 + 10}};

    const QStringList words = damage.split(' ');
    const auto operand = [&](int i) {
        return int(names.value(words.value(i), words.value(i).toInt()));
    };
    if (words[0] == "link")
        TestAccess::setNextBlock(archive, operand(1), operand(2));
    else if (words[0] == "version")
        TestAccess::version(archive) = operand(1);
    else if (words[0] == "twin")
        TestAccess::root(archive)->addChild(new Kest::Ar::FileEntry("b"));
    else
        QVERIFY(QFile::resize(path, names["cut"]));

    for (QString& problem : problems) {
        for (auto it = names.cbegin(); it != names.cend(); ++it)
            problem.replace('{' + it.key() + '}', QString::number(it.value()));
    }
    const QByteArray before = readHostFile(path);
    QCOMPARE(archive.check(), problems);
    QCOMPARE(readHostFile(path), before);
}

QTEST_GUILESS_MAIN(tst_Check)
#include "tst_check.moc"
