// Import and export: whole files copied between the host and an archive in chunks of 16384
// bytes, with every failure reported and the partial result of a failed copy kept.

#include "Archive.h"
#include "Entry.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QtTest>

using Kest::Ar::Archive;
using Kest::Ar::TestAccess;
using KestTest::patternBytes;
using KestTest::readHostFile;
using KestTest::writeHostFile;

namespace {

constexpr qint64 Chunk = 16384;

// A buffer that fails past `limit` bytes: a read there returns -1, a write that crosses it is
// taken in part, and one at it is taken not at all.
class FailingBuffer : public QBuffer
{
public:
    FailingBuffer(const QByteArray& bytes, qint64 limit) : limit_(limit) { setData(bytes); }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        return pos() >= limit_ ? -1 : QBuffer::readData(out, qMin(max, limit_ - pos()));
    }
    qint64 writeData(const char* in, qint64 len) override
    {
        return QBuffer::writeData(in, qMin(len, limit_ - pos()));
    }

private:
    qint64 limit_;
};

QList<int> chainOf(Archive& archive, int first)
{
    QList<int> blocks;
    for (int b = first; b != -1; b = TestAccess::table(archive).at(b))
        blocks.append(b);
    return blocks;
}

// How qDebug() shows a string.
QString quoted(const QString& text)
{
    return '"' + text + '"';
}

} // namespace

class tst_ImportExport : public QObject
{
    Q_OBJECT

private slots:
    void rewriteAndExport_data();
    void rewriteAndExport();
    void copyKeepsPartialResults();
    void failures();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

void tst_ImportExport::rewriteAndExport_data()
{
    QTest::addColumn<qint64>("size");
    for (qint64 size : {0, 1, 4096, 16383, 16384, 16385, 32767, 32768, 32769, 49153})
        QTest::addRow("%lld bytes", size) << size;
}

// A member of 25 blocks rewritten from a host file of each size keeps its first block, holds
// max(1, ceil(size / 4096)) blocks and gives the rest to the free list; after a reopen it is
// exported over a longer host file, which ends up exactly the member.
void tst_ImportExport::rewriteAndExport()
{
    QFETCH(qint64, size);
    QFile::remove(path("a.kar"));
    const QByteArray bytes = patternBytes(size, quint32(size));
    QVERIFY(writeHostFile(path("long"), patternBytes(100000, 1)));
    QVERIFY(writeHostFile(path("in"), bytes));
    QVERIFY(writeHostFile(path("out"), patternBytes(size + 5000, 2)));
    {
        Archive archive(path("a.kar"));
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.importFileFromDisk("/m", path("long")));
        const int first = TestAccess::fileEntry(archive, "/m")->firstBlock();
        QCOMPARE(chainOf(archive, first).size(), 25);
        const int freeBefore = TestAccess::nFreeBlocks(archive);
        QVERIFY(archive.importFileFromDisk("/m", path("in")));
        const QList<int> chain = chainOf(archive, first);
        QCOMPARE(TestAccess::fileEntry(archive, "/m")->size(), size);
        QCOMPARE(TestAccess::fileEntry(archive, "/m")->firstBlock(), first);
        QCOMPARE(TestAccess::fileEntry(archive, "/m")->lastBlock(), chain.last());
        QCOMPARE(chain.size(), qMax(1, int((size + 4095) / 4096)));
        QCOMPARE(TestAccess::nFreeBlocks(archive), freeBefore + 25 - chain.size());
    }
    Archive archive(path("a.kar"));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.check(), QStringList());
    QVERIFY(archive.exportFileToDisk("/m", path("out")));
    QCOMPARE(readHostFile(path("out")), bytes);
}

// A copy keeps what reached the sink before a failure: from a source that fails after 20000
// bytes, then into a sink that takes only 20000.
void tst_ImportExport::copyKeepsPartialResults()
{
    const QByteArray bytes = patternBytes(40000, 8);
    const Archive archive(path("unused.kar"));
    for (bool sourceFails : {true, false}) {
        FailingBuffer source(bytes, sourceFails ? 20000 : 40000);
        FailingBuffer sink({}, sourceFails ? 40000 : 20000);
        QVERIFY(source.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        QVERIFY(sink.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QTest::ignoreMessage(QtDebugMsg, sourceFails ? "Failure to read source file"
                                                     : "Failure to write block");
        QVERIFY(!TestAccess::copy(archive, source, sink));
        QCOMPARE(sink.data(), bytes.left(20000));
    }
}

// Failed imports and exports say why in the library's words. A refusal changes neither the
// archive, nor its file, nor the host. An import whose writing runs into a damaged link after
// the fourth block leaves the member with its first chunk, written back with its size.
void tst_ImportExport::failures()
{
    const QByteArray bytes = patternBytes(40000, 9);
    QVERIFY(writeHostFile(path("in"), bytes));
    QVERIFY(writeHostFile(path("old"), patternBytes(24000, 10)));
    QVERIFY(writeHostFile(path("small"), "small"));
    const auto expect = [](const QStringList& messages) {
        for (const QString& message : messages)
            QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    };
    Archive archive(path("f.kar"));
    QVERIFY(archive.open(QIODevice::ReadWrite));
    QVERIFY(archive.importFileFromDisk("/m", path("old")));
    QVERIFY(archive.importFileFromDisk("/s", path("small")));
    const QByteArray before = readHostFile(path("f.kar"));
    expect({quoted("parent: nofolder does not exist"),
            quoted("fileEntry: parent of x does not exist"),
            quoted("Cannot open /nofolder/x to write")});
    QVERIFY(!archive.importFileFromDisk("/nofolder/x", path("in")));
    expect({quoted(path("missing") + " does not exist on disk")});
    QVERIFY(!archive.importFileFromDisk("/x", path("missing")));
    expect({quoted("/nothing does not exist in archive")});
    QVERIFY(!archive.exportFileToDisk("/nothing", path("x")));
    expect({quoted("Cannot open " + path("no/out") + " to write")});
    QVERIFY(!archive.exportFileToDisk("/m", path("no/out")));
    // A device that takes nothing: the failure must be seen even for less than one chunk.
    expect({"Failure to write block", quoted("Failed to copy /s to /dev/full")});
    QVERIFY(!archive.exportFileToDisk("/s", "/dev/full"));
    QCOMPARE(archive.list(), (QList<QString>{"m", "s"}));
    QCOMPARE(readHostFile(path("f.kar")), before);
    QVERIFY(!QFileInfo::exists(path("x")));

    const QList<int> chain = chainOf(archive, TestAccess::fileEntry(archive, "/m")->firstBlock());
    QCOMPARE(chain.size(), 6);
    TestAccess::setNextBlock(archive, chain[3], 99999);
    expect({QStringLiteral("writeData: damaged chain: block %1 links to 99999").arg(chain[3]),
            "Failure to write block", quoted("Failed to copy " + path("in") + " to /m")});
    QVERIFY(!archive.importFileFromDisk("/m", path("in")));
    archive.close();

    QVERIFY(archive.open(QIODevice::ReadOnly));
    expect({"open: archive is read-only", quoted("Cannot open /x to write")});
    QVERIFY(!archive.importFileFromDisk("/x", path("in")));
    QVERIFY(archive.exportFileToDisk("/m", path("x")));
    QCOMPARE(readHostFile(path("x")), bytes.left(Chunk));
}

QTEST_GUILESS_MAIN(tst_ImportExport)
#include "tst_importexport.moc"
