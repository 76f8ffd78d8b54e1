// A working archive through its public API: the file a new archive makes, open modes and
// locks across processes, what close() writes back, the depth limit, members without blocks,
// import and export, and archives of two format versions read in parallel threads. Folder
// and member operations, their interleaving and their refusals are tst_model's.

#include "File.h"
#include "TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace Kest::Ar;
using namespace KestTest;
using E = Archive::Error;
using M = QIODevice;

Q_DECLARE_METATYPE(Archive::Error)

namespace {

// Another process that holds an archive open until its input is closed.
struct Holder : QProcess
{
    QByteArray hold(const QString& path, const QString& mode)
    {
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        start(QStringLiteral(ARCHIVE_HOLDER_BINARY), {path, mode});
        while (!canReadLine() && waitForReadyRead(30000)) {
        }
        return readLine().trimmed();
    }
    ~Holder() override
    {
        closeWriteChannel();
        waitForFinished(30000);
    }
};

QByteArray newArchiveFile()
{
    return smallArchive(4, 4096, rootFolder());
}

} // namespace

class ArchiveTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("kest.archive.debug=false"));
    }
    void newArchive();
    void openModes_data();
    void openModes();
    void locksAcrossProcesses();
    void closeWritesBack();
    void depthLimit();
    void memberWithoutBlocks();
    void importExport();
    void versionsInThreads();

private:
    QString path(const QString& name = QStringLiteral("a.kar")) const
    {
        return dir_.filePath(name);
    }
    QTemporaryDir dir_;
};

// A new archive is a 256-byte header, table block 0 and the empty root in block 1; the dump
// in docs/format.md shows those bytes, and every line of it must match.
void ArchiveTest::newArchive()
{
    const QString file = path(QStringLiteral("new.kar"));
    {
        Archive archive(file);
        QVERIFY(archive.open(M::ReadWrite));
        QCOMPARE(archive.error(), E::NoError);
        QCOMPARE(archive.size(), 0);
    }
    QCOMPARE(readHostFile(file), newArchiveFile());

    QFile doc(QStringLiteral(KEST_FORMAT_DOCUMENT));
    QVERIFY(doc.open(M::ReadOnly | M::Text));
    static const QRegularExpression line(
        QStringLiteral("^([0-9a-f]{8}):((?: [0-9a-f]{2})+)(?: {2,}.*)?$"),
        QRegularExpression::MultilineOption);
    qsizetype checked = 0;
    for (auto it = line.globalMatch(QString::fromUtf8(doc.readAll())); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        const qsizetype offset = match.captured(1).toLongLong(nullptr, 16);
        const QByteArray shown = QByteArray::fromHex(match.captured(2).toLatin1());
        QVERIFY2(newArchiveFile().mid(offset, shown.size()) == shown,
                 qPrintable(match.captured(0)));
        checked += shown.size();
    }
    QVERIFY(checked >= 70);
}

void ArchiveTest::openModes_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<int>("mode");
    QTest::addColumn<E>("expected");
    QTest::addColumn<QByteArray>("after"); // null: no file; "new": a new archive

    const QByteArray archive =
        smallArchive(4, 4096, rootFolder({folderRecord(QStringLiteral("kept"))}));
    const QByteArray fresh = newArchiveFile();
    const auto row = [](const char* name, const QByteArray& content, M::OpenMode mode, E expected,
                        const QByteArray& after) {
        QTest::newRow(name) << content << int(mode) << expected << after;
    };
    row("ReadOnly, missing", QByteArray(), M::ReadOnly, E::NotFound, QByteArray());
    row("ReadOnly", archive, M::ReadOnly, E::NoError, archive);
    row("ReadWrite | Unbuffered", archive, M::ReadWrite | M::Unbuffered, E::NoError, archive);
    row("ReadOnly | Unbuffered", archive, M::ReadOnly | M::Unbuffered, E::NoError, archive);
    row("ReadWrite, missing", QByteArray(), M::ReadWrite, E::NoError, fresh);
    row("WriteOnly, existing", archive, M::WriteOnly, E::NoError, fresh);
    row("WriteOnly | ExistingOnly, missing", QByteArray(), M::WriteOnly | M::ExistingOnly,
        E::NotFound, QByteArray());
    row("ReadWrite | NewOnly, existing", archive, M::ReadWrite | M::NewOnly, E::AlreadyExists,
        archive);
    row("ReadWrite | NewOnly, missing", QByteArray(), M::ReadWrite | M::NewOnly, E::NoError, fresh);
    row("ReadOnly | Append", archive, M::ReadOnly | M::Append, E::InvalidArgument, archive);
    row("ReadWrite | Append", archive, M::ReadWrite | M::Append, E::InvalidArgument, archive);
    row("WriteOnly | Truncate", archive, M::WriteOnly | M::Truncate, E::InvalidArgument, archive);
    row("ReadWrite | Text", archive, M::ReadWrite | M::Text, E::InvalidArgument, archive);
    row("WriteOnly | Append, missing", QByteArray(), M::WriteOnly | M::Append, E::InvalidArgument,
        QByteArray());
    row("NotOpen", archive, M::NotOpen, E::InvalidArgument, archive);
    row("ReadWrite, empty file", QByteArray(""), M::ReadWrite, E::Corrupt, QByteArray(""));
    row("ReadOnly, not an archive", QByteArray("plain text"), M::ReadOnly, E::Corrupt,
        QByteArray("plain text"));
    row("ReadWrite, cut short", archive.left(4300), M::ReadWrite, E::Corrupt, archive.left(4300));
}

// open() decides by ReadOnly and WriteOnly; whatever it refuses, it refuses before a byte of
// the file changes, and a refused open leaves the archive closed and unlocked.
void ArchiveTest::openModes()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(E, expected);
    QFETCH(QByteArray, after);
    const QString file = path(QStringLiteral("%1.kar").arg(QTest::currentDataTag()));
    if (!content.isNull())
        QVERIFY(writeHostFile(file, content));
    {
        Archive archive(file);
        QCOMPARE(archive.open(M::OpenMode(mode)), expected == E::NoError);
        QCOMPARE(archive.error(), expected);
        QCOMPARE(archive.errorString().isEmpty(), expected == E::NoError);
        QCOMPARE(archive.mode() != 0, expected == E::NoError);
    }
    QCOMPARE(QFile::exists(file), !after.isNull());
    QCOMPARE(readHostFile(file), after.isNull() ? QByteArray() : after);
    if (expected != E::NoError && !after.isNull())
        QVERIFY(!Archive::isLocked(file) || expected == E::Corrupt);
}

// Readers share an archive; a writer has it alone, and a conflicting open fails at once with
// Locked, leaving the file as it was even for WriteOnly, which would empty it.
void ArchiveTest::locksAcrossProcesses()
{
    const QString file = path(QStringLiteral("locked.kar"));
    QVERIFY(Archive(file).open(M::ReadWrite));
    const QByteArray before = readHostFile(file);
    {
        Holder writer;
        QCOMPARE(writer.hold(file, QStringLiteral("readwrite")), QByteArray("opened"));
        for (M::OpenMode mode : {M::ReadOnly, M::ReadWrite, M::WriteOnly}) {
            Archive archive(file);
            QVERIFY(!archive.open(mode));
            QCOMPARE(archive.error(), E::Locked);
        }
        QVERIFY(Archive::isLocked(file));
        QCOMPARE(readHostFile(file), before);
    }
    Holder reader;
    QCOMPARE(reader.hold(file, QStringLiteral("read")), QByteArray("opened"));
    QVERIFY(!Archive::isLocked(file));
    Archive shared(file);
    QVERIFY(shared.open(M::ReadOnly));
    Archive writer(file);
    QVERIFY(!writer.open(M::WriteOnly));
    QCOMPARE(writer.error(), E::Locked);
    QCOMPARE(readHostFile(file), before);
}

// close() and the destructor write back what exists only in memory, and close member files
// still open; a folder made just before is there on the next open.
void ArchiveTest::closeWritesBack()
{
    const QString file = path(QStringLiteral("close.kar"));
    auto archive = std::make_unique<Archive>(file);
    QVERIFY(archive->open(M::ReadWrite));
    QVERIFY(archive->makeFolder(QStringLiteral("/byClose")));
    archive->setApplicationVersion(Archive::Version(3, 1, 4));
    File open(archive.get(), QStringLiteral("/byClose/member"));
    QVERIFY(open.open(M::WriteOnly));
    QCOMPARE(open.write("unclosed"), 8);
    archive->close();
    QCOMPARE(archive->error(), E::NoError);
    QVERIFY(!open.isOpen());
    QCOMPARE(Archive::peekVersion(file).minor, 1);
    QVERIFY(archive->open(M::ReadWrite));
    QCOMPARE(readMember(*archive, QStringLiteral("/byClose/member")), QByteArray("unclosed"));
    QVERIFY(archive->makeFolder(QStringLiteral("/byDestructor")));
    archive.reset();
    Archive again(file);
    QVERIFY(again.open(M::ReadOnly));
    QCOMPARE(again.list(Archive::Folders),
             (QList<QString>{QStringLiteral("byClose"), QStringLiteral("byDestructor")}));
    QVERIFY(again.check().isEmpty());
}

// The writer never makes a tree deeper than the reader accepts.
void ArchiveTest::depthLimit()
{
    const QString file = path(QStringLiteral("deep.kar"));
    Archive archive(file);
    QVERIFY(archive.open(M::ReadWrite));
    int levels = 1;
    while (archive.makeFolder(QStringLiteral("d")) && archive.setCurrentFolder(QStringLiteral("d")))
        ++levels;
    QCOMPARE(archive.error(), E::InvalidArgument);
    QCOMPARE(levels, 4096);
    QVERIFY(archive.setCurrentFolder(QStringLiteral("/")));
    archive.close();
    QVERIFY(archive.open(M::ReadOnly));
    QCOMPARE(archive.entries(QStringLiteral("/")).size(), 1);
}

// A member whose entry has no block (other writers make them) reads as empty in every mode,
// and gets a block only when written.
void ArchiveTest::memberWithoutBlocks()
{
    const QString file = path(QStringLiteral("unallocated.kar"));
    QVERIFY(writeHostFile(
        file, smallArchive(4, 4096, rootFolder({fileRecord(QStringLiteral("e"), 0, -1, -1)}))));
    for (M::OpenMode mode : {M::ReadOnly, M::ReadWrite}) {
        Archive archive(file);
        QVERIFY(archive.open(mode));
        QCOMPARE(archive.entryInfo(QStringLiteral("/e")).size, 0);
        QCOMPARE(readMember(archive, QStringLiteral("/e")), QByteArray(""));
        QVERIFY(archive.exportFileToDisk(QStringLiteral("/e"), path(QStringLiteral("e.out"))));
        QCOMPARE(QFileInfo(path(QStringLiteral("e.out"))).size(), 0);
        QCOMPARE(archive.statistics().blocks, 2);
    }
    Archive archive(file);
    QVERIFY(archive.open(M::ReadWrite));
    QVERIFY(writeMember(archive, QStringLiteral("/e"), "now"));
    QCOMPARE(archive.statistics().blocks, 3);
    QCOMPARE(readMember(archive, QStringLiteral("/e")), QByteArray("now"));
}

// Host files in and out, and the errors of each side.
void ArchiveTest::importExport()
{
    const QString host = path(QStringLiteral("host.bin"));
    QVERIFY(writeHostFile(host, patternBytes(40000, 10)));
    Archive archive(path(QStringLiteral("io.kar")), 512);
    QVERIFY(archive.open(M::ReadWrite));
    QVERIFY(archive.importFileFromDisk(QStringLiteral("/in"), host));
    QVERIFY(archive.exportFileToDisk(QStringLiteral("/in"), path(QStringLiteral("out.bin"))));
    QCOMPARE(readHostFile(path(QStringLiteral("out.bin"))), patternBytes(40000, 10));
    const struct
    {
        bool import;
        QString member, host;
        E expected;
    } refusals[] = {
        {true, QStringLiteral("/x"), path(QStringLiteral("missing.bin")), E::NotFound},
        {true, QStringLiteral("/no/x"), host, E::NotFound},
        {false, QStringLiteral("/missing"), path(QStringLiteral("o")), E::NotFound},
        {false, QStringLiteral("/in"), path(QStringLiteral("no/such/folder")), E::IoError},
    };
    for (const auto& refusal : refusals) {
        const bool done = refusal.import ? archive.importFileFromDisk(refusal.member, refusal.host)
                                         : archive.exportFileToDisk(refusal.member, refusal.host);
        QVERIFY(!done);
        QCOMPARE(archive.error(), refusal.expected);
    }
    QVERIFY(archive.check().isEmpty());
}

// The width of stored sizes belongs to each archive: archives of versions 1 (4-byte sizes)
// and 4 (8-byte sizes) opened over and over in two threads at once each read their own.
void ArchiveTest::versionsInThreads()
{
    const qint64 sizes[] = {qint64(0xFFFFFFFFu), qint64(1) << 40};
    const QString files[] = {path(QStringLiteral("v1.kar")), path(QStringLiteral("v4.kar"))};
    QVERIFY(writeHostFile(files[0], smallArchive(1, 128,
                                                 rootFolder({fileRecord(QStringLiteral("big"),
                                                                        sizes[0], -1, -1, 4)}))));
    QVERIFY(writeHostFile(files[1], smallArchive(4, 128,
                                                 rootFolder({fileRecord(QStringLiteral("big"),
                                                                        sizes[1], -1, -1, 8)}))));
    std::atomic<int> wrong{0};
    QList<QThread*> threads;
    for (int i = 0; i < 2; ++i) {
        threads.append(QThread::create([&, i] {
            for (int round = 0; round < 300; ++round) {
                Archive archive(files[i]);
                if (!archive.open(M::ReadOnly) ||
                    archive.entryInfo(QStringLiteral("/big")).size != sizes[i])
                    ++wrong;
            }
        }));
        threads.last()->start();
    }
    for (QThread* thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }
    QCOMPARE(wrong.load(), 0);
}

QTEST_GUILESS_MAIN(ArchiveTest)
#include "tst_archive.moc"
