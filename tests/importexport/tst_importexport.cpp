// Import and export: whole files copied between the host and an archive in chunks of 16384
// bytes, with every failure reported and the partial result of a failed copy kept.

#include "Archive.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using Kest::Ar::Archive;
using Kest::Ar::File;
using Kest::Ar::FileEntry;
using Kest::Ar::TestAccess;
using KestTest::patternBytes;
using KestTest::readHostFile;
using KestTest::writeHostFile;

namespace {

constexpr qint64 Chunk = 16384;

QByteArray quoted(const QString& text)
{
    return "\"" + text.toUtf8() + "\"";
}

// Records the debug messages written while it lives, in order, so that a test can check the
// order in which a failure is reported.
class MessageRecorder
{
public:
    MessageRecorder() : previous_(qInstallMessageHandler(record)) { current = this; }
    ~MessageRecorder()
    {
        qInstallMessageHandler(previous_);
        current = nullptr;
    }
    QStringList messages;

private:
    static void record(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        current->messages.append(text);
    }
    static inline MessageRecorder* current = nullptr;
    QtMessageHandler previous_;
};

// A source that serves `data`, records what each read delivered, and can be told to fail
// (-1) or to run dry (0) once `limit` bytes have been served, while still reporting the
// full size.
class RecordingSource : public QIODevice
{
public:
    enum class AfterLimit { Fail, RunDry };

    explicit RecordingSource(QByteArray data, qint64 limit = -1,
                             AfterLimit after = AfterLimit::Fail)
        : data_(std::move(data)), limit_(limit < 0 ? data_.size() : limit), after_(after)
    {
    }
    qint64 size() const override { return data_.size(); }
    QList<qint64> reads;

protected:
    qint64 readData(char* out, qint64 max) override
    {
        const qint64 at = pos();
        if (at >= limit_)
            return after_ == AfterLimit::Fail ? -1 : 0;
        const qint64 n = qMin(max, limit_ - at);
        memcpy(out, data_.constData() + at, size_t(n));
        reads.append(n);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray data_;
    qint64 limit_;
    AfterLimit after_;
};

// A sink that keeps what it accepts and records each write; once it holds `capacity` bytes
// it accepts only part of a write (or nothing, returning `refusal`).
class RecordingSink : public QIODevice
{
public:
    explicit RecordingSink(qint64 capacity = -1, qint64 refusal = 0)
        : capacity_(capacity), refusal_(refusal)
    {
    }
    QByteArray data;
    QList<qint64> writes;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* in, qint64 len) override
    {
        writes.append(len);
        qint64 n = len;
        if (capacity_ >= 0) {
            n = qMin(len, capacity_ - data.size());
            if (n <= 0)
                return refusal_;
        }
        data.append(in, n);
        return n;
    }

private:
    qint64 capacity_;
    qint64 refusal_;
};

FileEntry* entryOf(Archive& archive, const QString& path)
{
    return TestAccess::fileEntry(archive, path);
}

int chainLength(Archive& archive, int first)
{
    int length = 0;
    for (int b = first; b != -1; b = TestAccess::table(archive).at(b))
        ++length;
    return length;
}

QList<int> chainOf(Archive& archive, int first)
{
    QList<int> blocks;
    for (int b = first; b != -1; b = TestAccess::table(archive).at(b))
        blocks.append(b);
    return blocks;
}

QByteArray readMember(Archive& archive, const QString& path)
{
    File member(&archive, path);
    if (!member.open(QIODevice::ReadOnly))
        return QByteArray("<cannot open>");
    return member.readAll();
}

} // namespace

class tst_ImportExport : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void roundTripAtChunkBoundaries_data();
    void roundTripAtChunkBoundaries();
    void copyMovesChunksOf16384();
    void emptyFileHoldsOneBlock();
    void longMemberRewrittenByShortFile();

    void importIntoMissingFolder();
    void importIntoReadOnlyArchive();
    void importOntoFolder();
    void importOfUnusableHostPath_data();
    void importOfUnusableHostPath();

    void copyFailures_data();
    void copyFailures();
    void importKeepsPartialMemberWhenWriteFails();
    void exportKeepsPartialHostFileWhenReadFails();

    void exportOfMissingMember_data();
    void exportOfMissingMember();
    void exportOfDamagedMember();
    void exportToUnwritableHostPath();
    void exportOverLongerHostFile();
    void exportToFullDevice();

private:
    QString archivePath() const { return dir_->filePath(QStringLiteral("a.kar")); }
    QString hostPath(const QString& name) const { return dir_->filePath(name); }

    std::unique_ptr<QTemporaryDir> dir_;
};

void tst_ImportExport::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void tst_ImportExport::roundTripAtChunkBoundaries_data()
{
    QTest::addColumn<qint64>("size");
    for (qint64 size : {0, 1, 16383, 16384, 16385, 40000})
        QTest::addRow("%lld bytes", size) << size;
}

// Around the chunk size and the block size the member must hold exactly the host file's
// bytes in max(1, ceil(size / 4096)) blocks, and come back out unchanged after a reopen.
void tst_ImportExport::roundTripAtChunkBoundaries()
{
    QFETCH(qint64, size);
    const QByteArray bytes = patternBytes(size, quint32(size));
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), bytes));
    {
        Archive archive(archivePath());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
        FileEntry* entry = entryOf(archive, QStringLiteral("/m"));
        QCOMPARE(entry->size(), size);
        const int blocks = qMax<int>(1, int((size + 4095) / 4096));
        QCOMPARE(chainLength(archive, entry->firstBlock()), blocks);
        QCOMPARE(archive.check(), QStringList());
    }
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QVERIFY(archive.exportFileToDisk(QStringLiteral("/m"), hostPath(QStringLiteral("out"))));
    QCOMPARE(readHostFile(hostPath(QStringLiteral("out"))), bytes);
}

// 40000 bytes go across as 16384, 16384 and 7232, read and written whole, into a real member.
void tst_ImportExport::copyMovesChunksOf16384()
{
    const QByteArray bytes = patternBytes(40000, 7);
    {
        RecordingSource source(bytes);
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        RecordingSink sink;
        QVERIFY(sink.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        Archive archive(archivePath());
        QVERIFY(TestAccess::copy(archive, source, sink));
        const QList<qint64> chunks{16384, 16384, 7232};
        QCOMPARE(source.reads, chunks);
        QCOMPARE(sink.writes, chunks);
        QCOMPARE(sink.data, bytes);
    }
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    {
        RecordingSource source(bytes);
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        File member(&archive, QStringLiteral("/m"));
        QVERIFY(member.open(QIODevice::WriteOnly));
        QVERIFY(TestAccess::copy(archive, source, member));
    }
    QCOMPARE(readMember(archive, QStringLiteral("/m")), bytes);
}

void tst_ImportExport::emptyFileHoldsOneBlock()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("empty")), QByteArray()));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    const int blocksBefore = TestAccess::nBlocks(archive);
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/e"), hostPath(QStringLiteral("empty"))));
    FileEntry* entry = entryOf(archive, QStringLiteral("/e"));
    QCOMPARE(entry->size(), qint64(0));
    QVERIFY(entry->firstBlock() > 1);
    QCOMPARE(entry->lastBlock(), entry->firstBlock());
    QCOMPARE(TestAccess::nextBlock(archive, entry->firstBlock()), -1);
    QCOMPARE(TestAccess::nBlocks(archive), blocksBefore + 1);

    QFile::remove(hostPath(QStringLiteral("empty")));
    QVERIFY(archive.exportFileToDisk(QStringLiteral("/e"), hostPath(QStringLiteral("empty"))));
    QVERIFY(QFileInfo::exists(hostPath(QStringLiteral("empty"))));
    QCOMPARE(QFileInfo(hostPath(QStringLiteral("empty"))).size(), qint64(0));
}

// Rewriting a member from its start: the 24 blocks after the first go to the free list.
void tst_ImportExport::longMemberRewrittenByShortFile()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("long")), patternBytes(100000, 1)));
    const QByteArray shortBytes = patternBytes(10, 2);
    QVERIFY(writeHostFile(hostPath(QStringLiteral("short")), shortBytes));
    {
        Archive archive(archivePath());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("long"))));
        const int first = entryOf(archive, QStringLiteral("/m"))->firstBlock();
        QCOMPARE(chainLength(archive, first), 25);
        const int freeBefore = TestAccess::nFreeBlocks(archive);
        const int blocksBefore = TestAccess::nBlocks(archive);

        QVERIFY(
            archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("short"))));
        FileEntry* entry = entryOf(archive, QStringLiteral("/m"));
        QCOMPARE(entry->size(), qint64(10));
        QCOMPARE(entry->firstBlock(), first);
        QCOMPARE(entry->lastBlock(), first);
        QCOMPARE(TestAccess::nFreeBlocks(archive), freeBefore + 24);
        QCOMPARE(TestAccess::nBlocks(archive), blocksBefore);
        QCOMPARE(archive.check(), QStringList());
    }
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(readMember(archive, QStringLiteral("/m")), shortBytes);
    QCOMPARE(archive.statistics().freeBlocks, 24);
}

// The member's own messages come first, then the import's; nothing reaches the file.
void tst_ImportExport::importIntoMissingFolder()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), patternBytes(100, 3)));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    const QByteArray before = readHostFile(archivePath());
    {
        MessageRecorder recorder;
        QVERIFY(!archive.importFileFromDisk(QStringLiteral("/nofolder/x"),
                                            hostPath(QStringLiteral("in"))));
        const QStringList expected{
            QString::fromUtf8(quoted("parent: nofolder does not exist")),
            QString::fromUtf8(quoted("fileEntry: parent of x does not exist")),
            QString::fromUtf8(quoted("Cannot open /nofolder/x to write"))};
        QCOMPARE(recorder.messages, expected);
    }
    QCOMPARE(archive.list(), QList<QString>());
    QCOMPARE(readHostFile(archivePath()), before);
}

void tst_ImportExport::importIntoReadOnlyArchive()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), patternBytes(100, 4)));
    {
        Archive archive(archivePath());
        QVERIFY(archive.open(QIODevice::ReadWrite));
    }
    const QByteArray before = readHostFile(archivePath());
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    {
        MessageRecorder recorder;
        QVERIFY(!archive.importFileFromDisk(QStringLiteral("/x"), hostPath(QStringLiteral("in"))));
        const QStringList expected{QStringLiteral("open: archive is read-only"),
                                   QString::fromUtf8(quoted("Cannot open /x to write"))};
        QCOMPARE(recorder.messages, expected);
    }
    QCOMPARE(archive.list(), QList<QString>());
    archive.close();
    QCOMPARE(readHostFile(archivePath()), before);
}

void tst_ImportExport::importOntoFolder()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), patternBytes(100, 5)));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.makeFolder(QStringLiteral("/d")));
    QTest::ignoreMessage(QtDebugMsg, quoted("fileEntry: d is a folder"));
    QTest::ignoreMessage(QtDebugMsg, quoted("Cannot open /d to write"));
    QVERIFY(!archive.importFileFromDisk(QStringLiteral("/d"), hostPath(QStringLiteral("in"))));
    QCOMPARE(archive.list(Archive::Folders), QList<QString>{QStringLiteral("d")});
    QCOMPARE(archive.list(Archive::Files), QList<QString>());
}

void tst_ImportExport::importOfUnusableHostPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << QStringLiteral("missing")
                             << QStringLiteral("%1 does not exist on disk");
    // A folder exists but cannot be opened as a file.
    QTest::newRow("a folder") << QStringLiteral("folder")
                              << QStringLiteral("Cannot open %1 to read");
}

void tst_ImportExport::importOfUnusableHostPath()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("folder")));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    const QByteArray before = readHostFile(archivePath());
    QTest::ignoreMessage(QtDebugMsg, quoted(message.arg(hostPath(name))));
    QVERIFY(!archive.importFileFromDisk(QStringLiteral("/x"), hostPath(name)));
    QCOMPARE(archive.list(), QList<QString>());
    QCOMPARE(readHostFile(archivePath()), before);
}

void tst_ImportExport::copyFailures_data()
{
    QTest::addColumn<qint64>("sourceLimit");
    QTest::addColumn<bool>("sourceRunsDry");
    QTest::addColumn<qint64>("sinkCapacity");
    QTest::addColumn<qint64>("sinkRefusal");
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("kept");

    // 40000 bytes offered; what reached the sink before the failure stays there.
    QTest::newRow("read error after one chunk")
        << Chunk << false << qint64(-1) << qint64(0) << "Failure to read source file" << Chunk;
    QTest::newRow("source ends early") << qint64(20000) << true << qint64(-1) << qint64(0)
                                       << "Failure to read source file" << qint64(20000);
    QTest::newRow("chunk written short") << qint64(-1) << false << qint64(20000) << qint64(0)
                                         << "Failure to write block" << qint64(20000);
    QTest::newRow("write error on the second chunk")
        << qint64(-1) << false << Chunk << qint64(-1) << "Failure to write block" << Chunk;
}

void tst_ImportExport::copyFailures()
{
    QFETCH(qint64, sourceLimit);
    QFETCH(bool, sourceRunsDry);
    QFETCH(qint64, sinkCapacity);
    QFETCH(qint64, sinkRefusal);
    QFETCH(QString, message);
    QFETCH(qint64, kept);

    const QByteArray bytes = patternBytes(40000, 8);
    RecordingSource source(bytes, sourceLimit,
                           sourceRunsDry ? RecordingSource::AfterLimit::RunDry
                                         : RecordingSource::AfterLimit::Fail);
    QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    RecordingSink sink(sinkCapacity, sinkRefusal);
    QVERIFY(sink.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    Archive archive(archivePath());
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QVERIFY(!TestAccess::copy(archive, source, sink));
    QCOMPARE(sink.data, bytes.left(kept));
}

// A write that fails part-way (the member's old chain is damaged after its fourth block):
// the member keeps the first chunk, written back with its size, and no more.
void tst_ImportExport::importKeepsPartialMemberWhenWriteFails()
{
    const QByteArray bytes = patternBytes(40000, 9);
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), bytes));
    {
        Archive archive(archivePath());
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(writeHostFile(hostPath(QStringLiteral("old")), patternBytes(24000, 10)));
        QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("old"))));
        const QList<int> chain =
            chainOf(archive, entryOf(archive, QStringLiteral("/m"))->firstBlock());
        QCOMPARE(chain.size(), 6);
        TestAccess::setNextBlock(archive, chain[3], 99999);

        QTest::ignoreMessage(
            QtDebugMsg,
            qPrintable(
                QStringLiteral("writeData: damaged chain: block %1 links to 99999").arg(chain[3])));
        QTest::ignoreMessage(QtDebugMsg, "Failure to write block");
        QTest::ignoreMessage(
            QtDebugMsg,
            quoted(QStringLiteral("Failed to copy %1 to /m").arg(hostPath(QStringLiteral("in")))));
        QVERIFY(!archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
        QCOMPARE(entryOf(archive, QStringLiteral("/m"))->size(), Chunk);
        QCOMPARE(entryOf(archive, QStringLiteral("/m"))->lastBlock(), chain[3]);
    }
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(readMember(archive, QStringLiteral("/m")), bytes.left(Chunk));
}

// A member whose chain ends before its size: the host file keeps what could be read.
void tst_ImportExport::exportKeepsPartialHostFileWhenReadFails()
{
    const QByteArray bytes = patternBytes(20000, 11);
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), bytes));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
    entryOf(archive, QStringLiteral("/m"))->setSize(40000);

    const QString out = hostPath(QStringLiteral("out"));
    QTest::ignoreMessage(QtDebugMsg, "readData: /m is damaged: its chain ends before its size");
    QTest::ignoreMessage(QtDebugMsg, "Failure to read source file");
    QTest::ignoreMessage(QtDebugMsg, quoted(QStringLiteral("Failed to copy /m to %1").arg(out)));
    QVERIFY(!archive.exportFileToDisk(QStringLiteral("/m"), out));
    // Five whole blocks: the member's bytes and the zeros that fill its last block.
    QCOMPARE(readHostFile(out), bytes + QByteArray(5 * 4096 - 20000, '\0'));
}

void tst_ImportExport::exportOfMissingMember_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("no such member")
        << QStringLiteral("/nothing")
        << QStringList{QString::fromUtf8(quoted("/nothing does not exist in archive"))};
    QTest::newRow("no such folder")
        << QStringLiteral("/nofolder/x")
        << QStringList{QString::fromUtf8(quoted("parent: nofolder does not exist")),
                       QString::fromUtf8(quoted("fileExists: parent of x does not exist")),
                       QString::fromUtf8(quoted("/nofolder/x does not exist in archive"))};
}

void tst_ImportExport::exportOfMissingMember()
{
    QFETCH(QString, member);
    QFETCH(QStringList, messages);
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    const QString out = hostPath(QStringLiteral("out"));
    {
        MessageRecorder recorder;
        QVERIFY(!archive.exportFileToDisk(member, out));
        QCOMPARE(recorder.messages, messages);
    }
    QVERIFY(!QFileInfo::exists(out));
}

void tst_ImportExport::exportOfDamagedMember()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), patternBytes(100, 12)));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
    entryOf(archive, QStringLiteral("/m"))->setFirstBlock(99999);
    const QString out = hostPath(QStringLiteral("out"));
    QTest::ignoreMessage(
        QtDebugMsg, "open: /m is damaged: its first block 99999 is not a block of the archive");
    QTest::ignoreMessage(QtDebugMsg, quoted("Cannot open /m to read"));
    QVERIFY(!archive.exportFileToDisk(QStringLiteral("/m"), out));
    QVERIFY(!QFileInfo::exists(out));
}

void tst_ImportExport::exportToUnwritableHostPath()
{
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), patternBytes(100, 13)));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
    const QString out = hostPath(QStringLiteral("no/such/folder/out"));
    QTest::ignoreMessage(QtDebugMsg, quoted(QStringLiteral("Cannot open %1 to write").arg(out)));
    QVERIFY(!archive.exportFileToDisk(QStringLiteral("/m"), out));
}

void tst_ImportExport::exportOverLongerHostFile()
{
    const QByteArray bytes = patternBytes(10, 14);
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), bytes));
    const QString out = hostPath(QStringLiteral("out"));
    QVERIFY(writeHostFile(out, patternBytes(100000, 15)));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
    QVERIFY(archive.exportFileToDisk(QStringLiteral("/m"), out));
    QCOMPARE(QFileInfo(out).size(), qint64(10));
    QCOMPARE(readHostFile(out), bytes);
}

// A host file that accepts nothing: the failure must be seen even for a member smaller
// than one chunk.
void tst_ImportExport::exportToFullDevice()
{
    const QString full = QStringLiteral("/dev/full");
    if (!QFileInfo::exists(full))
        QSKIP("this system has no /dev/full");
    QVERIFY(writeHostFile(hostPath(QStringLiteral("in")), patternBytes(100, 16)));
    Archive archive(archivePath());
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/m"), hostPath(QStringLiteral("in"))));
    QTest::ignoreMessage(QtDebugMsg, "Failure to write block");
    QTest::ignoreMessage(QtDebugMsg, quoted(QStringLiteral("Failed to copy /m to %1").arg(full)));
    QVERIFY(!archive.exportFileToDisk(QStringLiteral("/m"), full));
}

QTEST_GUILESS_MAIN(tst_ImportExport)
#include "tst_importexport.moc"
