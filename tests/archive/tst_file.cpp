// Member files as QIODevices: the open modes, the mapping of member positions to blocks, what
// writes, truncations and closes leave in the chain, the table and the container's bytes,
// random transfers against a model, damaged chains and failures while closing.

#include "ArchiveTestUtil.h"
#include "TestSupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <stdexcept>

using namespace Kest::Ar;

namespace {

// One step on a member and on the bytes it should hold: "s" seeks to n, "r" reads n bytes,
// "w" writes n bytes, "t" truncates. False when the member and the model disagree.
bool step(File& file, QByteArray& model, char op, qint64 n, quint32 seed)
{
    const qint64 at = file.pos();
    bool ok = true;
    if (op == 's') {
        ok = file.seek(n) && file.pos() == n;
    } else if (op == 'r') {
        ok = file.read(n) == model.mid(at, n) && file.pos() == qMin<qint64>(at + n, model.size());
    } else if (op == 'w') {
        const QByteArray bytes = KestTest::patternBytes(n, seed);
        ok = file.write(bytes) == n && file.pos() == at + n;
        model.resize(qMax<qint64>(model.size(), at + n));
        model.replace(at, n, bytes);
    } else {
        ok = file.truncate() && file.pos() == at;
        model.truncate(at);
    }
    return ok && file.size() == model.size();
}

} // namespace

class tst_File : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Archive> archive_;
    qint64 B = 4096;

    QString path() const { return dir_->filePath(QStringLiteral("file.qel")); }
    QByteArray hostBytes() const { return KestTest::readHostFile(path()); }
    // Opens the archive; a new one, of the block size given, when `blockSize` is not 0.
    void reopen(QIODevice::OpenMode mode, unsigned blockSize = 0)
    {
        archive_.reset();
        if (blockSize)
            QFile::remove(path());
        archive_.reset(new Archive(path(), blockSize ? blockSize : 4096));
        QVERIFY(archive_->open(mode));
        B = archive_->blockSize();
    }
    QList<int> chain(const QString& name)
    {
        const FileEntry* entry = KestTest::findFile(*archive_, name);
        return entry ? KestTest::chainOf(*archive_, entry->firstBlock()) : QList<int>();
    }
    // Every block is accounted for (see auditBlocks), and the file holds the table that memory
    // holds.
    void audit()
    {
        QCOMPARE(KestTest::auditBlocks(*archive_), QStringList());
        const QByteArray disk = hostBytes();
        QCOMPARE(KestTest::diskFirstFreeBlock(disk), TestAccess::firstFreeBlock(*archive_));
        for (int b = 0; b < TestAccess::nBlocks(*archive_); ++b)
            QCOMPARE(KestTest::diskTableEntry(disk, b, B), TestAccess::table(*archive_)[b]);
    }

private slots:
    void init()
    {
        archive_.reset();
        dir_.reset(new QTemporaryDir);
        reopen(QIODevice::ReadWrite, 4096);
    }

    void transfers_data()
    {
        QTest::addColumn<qint64>("initial");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("blockSize");
        const auto row = [](const char* name, qint64 initial, int mode, const char* refusal,
                            qint64 size, const char* script, int bs = 4096) {
            QTest::newRow(name) << initial << mode << QString(refusal) << size << QString(script)
                                << bs;
        };
        const int RO = QIODevice::ReadOnly, WO = QIODevice::WriteOnly, RW = QIODevice::ReadWrite,
                  AP = QIODevice::Append, TR = QIODevice::Truncate, UB = QIODevice::Unbuffered;
        const char* missing = "open: /m must already exist";
        const char* readOnly = "open: archive is read-only";
        // Each open mode on a member of 10000 bytes and on a missing one: the size and the start
        // position it opens with, or its refusal. Truncate has no effect of its own.
        row("ReadOnly", 10000, RO, "", 10000, "");
        row("ReadOnly, missing", -1, RO, missing, 0, "");
        row("WriteOnly", 10000, WO, "", 0, "");
        row("WriteOnly, missing", -1, WO, "", 0, "");
        row("WriteOnly|Append", 10000, WO | AP, "", 10000, "");
        row("WriteOnly|Append, missing", -1, WO | AP, "", 0, "");
        row("ReadWrite", 10000, RW, "", 10000, "");
        row("ReadWrite, missing", -1, RW, missing, 0, "");
        row("ReadWrite|Append", 10000, RW | AP, "", 10000, "");
        row("ReadWrite|Append, missing", -1, RW | AP, missing, 0, "");
        row("ReadOnly|Append", 10000, RO | AP, "", 10000, "");
        row("WriteOnly|Truncate", 10000, WO | TR, "", 0, "");
        row("ReadWrite|Truncate", 10000, RW | TR, "", 10000, "");
        row("read-only archive, WriteOnly", -1, WO, readOnly, 0, "");
        row("read-only archive, ReadWrite", 10000, RW, readOnly, 0, "");
        row("read-only archive, WriteOnly|Append", 10000, WO | AP, readOnly, 0, "");
        // What writes, truncations and closes leave. Writes do not move the entry's last block:
        // a cut after growth must free the whole tail all the same.
        row("new, one byte", -1, WO, "", 0, "w 1");
        row("new, one block", -1, WO, "", 0, "w 4096");
        row("new, one block and a byte", -1, WO, "", 0, "w 4097");
        row("rewrite shorter", 10000, WO, "", 0, "w 100");
        row("append", 10000, WO | AP, "", 10000, "w 10");
        row("truncate in the middle", 10000, RW, "", 10000, "s 5000 t r 100 w 4");
        row("truncate to zero", 12287, RW, "", 12287, "t");
        row("grow, then cut", 4, RW, "", 4, "s 4 w 12288 s 50 t w 20480 s 4106 t");
        row("rewrite longer, then cut", 5000, WO, "", 0, "w 16384 s 100 t w 3");
        // "p POS INDEX OFFSET" seeks to POS and expects the archive at the block of index INDEX
        // in the member's chain (which is not contiguous), at OFFSET: a position on a boundary
        // is the end of the earlier block.
        row("positions", 12288, RO, "", 12288,
            "p 0 0 0 p 1 0 1 p 4095 0 4095 r 2 p 4096 0 4096 r 2 p 4097 1 1 p 8192 1 4096 "
            "p 8199 2 7 r 4096 p 12288 2 4096");
        row("positions, 64", 192, RO, "", 192,
            "p 0 0 0 p 1 0 1 p 63 0 63 r 2 p 64 0 64 r 2 p 65 1 1 p 128 1 64 p 135 2 7 r 64 "
            "p 192 2 64",
            64);
        // Random steps, with and without QIODevice's buffer.
        row("random, 64", 323, RW, "", 323, "random", 64);
        row("random, 64, unbuffered", 323, RW | UB, "", 323, "random", 64);
        row("random, 4096", 10000, RW, "", 10000, "random");
        row("random, 4096, unbuffered", 10000, RW | UB, "", 10000, "random");
    }

    // Opens a member of `initial` bytes (none when negative) whose blocks, like the free ones,
    // held other bytes before, then takes scripted or random steps (see step()). A refused open
    // leaves the member closed and the file as it was. Afterwards the member holds what the
    // model holds from the same first block, the rest of its last block is zeros, and every
    // block is accounted for: the chain holds exactly the blocks the size needs, up to the
    // entry's last block, and the rest of a chain that got shorter is free.
    void transfers()
    {
        QFETCH(qint64, initial);
        QFETCH(int, mode);
        QFETCH(QString, refusal);
        QFETCH(qint64, size);
        QFETCH(QString, script);
        QFETCH(int, blockSize);
        reopen(QIODevice::ReadWrite, unsigned(blockSize));
        for (const char* junk : {"/j1", "/j2"})
            QVERIFY(KestTest::writeMember(*archive_, junk, QByteArray(2 * B, '\xEE')));
        // Removed in this order, they leave the free blocks out of order: the member's chain is
        // not contiguous.
        for (const char* junk : {"/j1", "/j2"})
            QVERIFY(archive_->removeFile(junk));
        const QByteArray original = KestTest::patternBytes(qMax<qint64>(initial, 0), 1);
        if (initial >= 0)
            QVERIFY(KestTest::writeMember(*archive_, "/m", original));
        const QList<int> before = chain("/m");
        if (refusal == "open: archive is read-only")
            reopen(QIODevice::ReadOnly);
        const QByteArray disk = hostBytes();
        QByteArray model = refusal.isEmpty() ? original.left(size) : original;
        {
            File file(archive_.get(), "/m");
            QVERIFY(!file.seek(0));
            if (!refusal.isEmpty())
                QTest::ignoreMessage(QtDebugMsg, qPrintable(refusal));
            QCOMPARE(file.open(QIODevice::OpenMode(mode)), refusal.isEmpty());
            QCOMPARE(file.isOpen(), refusal.isEmpty());
            if (file.isOpen()) {
                QCOMPARE(file.size(), size);
                QCOMPARE(file.pos(), mode & QIODevice::Append ? size : 0);
                QVERIFY(!file.seek(size + 1) && !file.seek(-1));
                QCOMPARE(chain("/m").size(), qMax(before.size(), qsizetype(1)));
                QTest::ignoreMessage(QtDebugMsg, "open: /m is already open");
                QVERIFY(!file.open(QIODevice::OpenMode(mode)));
                QVERIFY(mode & QIODevice::WriteOnly || !file.truncate());
            }
            const bool random = script == "random";
            const QStringList words = script.split(' ', Qt::SkipEmptyParts);
            QRandomGenerator generator{quint32(mode)};
            for (qsizetype i = 0; i < (random ? 400 : words.size()); ++i) {
                char op = random ? "sssrrrwwwt"[generator.bounded(10)] : words[i][0].toLatin1();
                // Random lengths around one block are the likeliest to go wrong.
                qint64 n = op == 's'                   ? generator.bounded(int(model.size()) + 1)
                           : generator.bounded(3) == 0 ? B - 1 + generator.bounded(3)
                                                       : generator.bounded(3 * int(B));
                if (!random)
                    n = op == 't' ? 0 : words[++i].toLongLong();
                if (op == 'p') {
                    QVERIFY(file.seek(n));
                    const Archive::Position at = TestAccess::currentPosition(*archive_);
                    QCOMPARE(at.block, chain("/m")[words[++i].toInt()]);
                    QCOMPARE(at.offset, words[++i].toLongLong());
                    continue;
                }
                QVERIFY2(step(file, model, op, n, quint32(i)),
                         qPrintable(QStringLiteral("step %1: %2 %3").arg(i).arg(op).arg(n)));
            }
        }
        if (!refusal.isEmpty())
            QCOMPARE(hostBytes(), disk);
        QCOMPARE(archive_->fileExists("/m"), initial >= 0 || refusal.isEmpty());
        if (!archive_->fileExists("/m"))
            return;
        const QList<int> blocks = chain("/m");
        QCOMPARE(KestTest::findFile(*archive_, "/m")->size(), qint64(model.size()));
        if (!before.isEmpty())
            QCOMPARE(blocks.first(), before.first());
        const qint64 used = model.size() - (blocks.size() - 1) * B;
        if (used > 0)
            QCOMPARE(hostBytes().mid(256 + blocks.last() * B + used, B - used),
                     QByteArray(B - used, '\0'));
        audit();
        reopen(QIODevice::ReadOnly);
        QCOMPARE(KestTest::readMember(*archive_, "/m"), model);
    }

    // A chain cut short of the recorded size (here in memory) reads short and reports the
    // damage, cannot be sought past its end, and is closed without writing anything back.
    void brokenChain()
    {
        const QByteArray bytes = KestTest::patternBytes(10000, 4);
        QVERIFY(KestTest::writeMember(*archive_, "/m", bytes));
        const QList<int> blocks = chain("/m");
        const QByteArray before = hostBytes();
        File file(archive_.get(), "/m");
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        TestAccess::setNextBlock(*archive_, blocks[1], -1);
        QTest::ignoreMessage(QtDebugMsg, "readData: /m is damaged: its chain ends before its size");
        QCOMPARE(file.read(10000), bytes.left(2 * B));
        QVERIFY(!file.seek(2 * B + 1));
        QTest::ignoreMessage(QtDebugMsg,
                             "close: cannot move to the end of /m; nothing is written back");
        file.close();
        QCOMPARE(hostBytes(), before);
        TestAccess::setNextBlock(*archive_, blocks[1], blocks[2]);
        QVERIFY(archive_->removeFile("/m")); // the member no longer counts as open
        audit();
    }

    // Once the container refuses writes, the zeros that complete a member's last block cannot
    // be written: close throws to its caller, the destructor reports and never throws, and
    // neither writes the entry back.
    void closeFailures()
    {
        File first(archive_.get(), "/m");
        auto second = std::make_unique<File>(archive_.get(), "/n");
        for (File* file : {&first, second.get()}) {
            QVERIFY(file->open(QIODevice::WriteOnly));
            QCOMPARE(file->write("0123456789"), 10);
        }
        TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadOnly);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, first.close());
        QVERIFY(!first.isOpen());
        QTest::ignoreMessage(QtDebugMsg, "~File: /n: doWriteBlock: I/O error");
        second.reset();
        TestAccess::file(*archive_).restrictOpenMode(QIODevice::ReadWrite);
        QCOMPARE(KestTest::findFile(*archive_, "/n")->size(), 0);
        QVERIFY(archive_->removeFile("/m"));
        QVERIFY(archive_->removeFile("/n"));
    }
};

QTEST_GUILESS_MAIN(tst_File)
#include "tst_file.moc"
