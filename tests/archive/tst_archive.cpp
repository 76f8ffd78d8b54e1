// A working archive through its public API: the file a new archive makes, open modes and
// locks across processes, what close() writes back, the depth limit, members without blocks,
// import and export, and archives of two format versions read in parallel threads. Folder
// and member operations, their interleaving and their refusals are tst_model's.

#include "File.h"
#include "TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

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

} // namespace

class ArchiveTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("kest.archive.debug=false"); }

    // A new archive is a 256-byte header, table block 0 and the empty root in block 1; the dump
    // in docs/format.md shows those bytes, and every line of it must match.
    void newArchive()
    {
        const QString file = path("new.kar");
        {
            Archive archive(file);
            QVERIFY(archive.open(M::ReadWrite));
            QCOMPARE(archive.size(), 0);
        }
        const QByteArray bytes = readHostFile(file);
        QCOMPARE(bytes, smallArchive(4, 4096, rootFolder()));
        static const QRegularExpression line("^([0-9a-f]{8}):((?: [0-9a-f]{2})+)(?: {2,}.*)?$",
                                             QRegularExpression::MultilineOption);
        qsizetype checked = 0;
        for (const QRegularExpressionMatch& match :
             line.globalMatch(QString::fromUtf8(readHostFile(KEST_FORMAT_DOCUMENT)))) {
            const QByteArray shown = QByteArray::fromHex(match.captured(2).toLatin1());
            QVERIFY2(bytes.mid(match.captured(1).toLongLong(nullptr, 16), shown.size()) == shown,
                     qPrintable(match.captured(0)));
            checked += shown.size();
        }
        QVERIFY(checked >= 70);
    }

    void openModes_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<int>("mode");
        QTest::addColumn<E>("expected");
        QTest::addColumn<QByteArray>("after"); // null: no file
        const QByteArray archive = smallArchive(4, 4096, rootFolder({folderRecord("kept")}));
        const QByteArray fresh = smallArchive(4, 4096, rootFolder());
        const QByteArray none;
        const auto row = [](const char* name, const QByteArray& content, M::OpenMode mode,
                            E expected, const QByteArray& after) {
            QTest::newRow(name) << content << int(mode) << expected << after;
        };
        row("ReadOnly, missing", none, M::ReadOnly, E::NotFound, none);
        row("ReadOnly", archive, M::ReadOnly, E::NoError, archive);
        row("ReadOnly | Unbuffered", archive, M::ReadOnly | M::Unbuffered, E::NoError, archive);
        row("ReadWrite | Unbuffered", archive, M::ReadWrite | M::Unbuffered, E::NoError, archive);
        row("ReadWrite, missing", none, M::ReadWrite, E::NoError, fresh);
        row("WriteOnly, existing", archive, M::WriteOnly, E::NoError, fresh);
        row("WriteOnly | ExistingOnly, missing", none, M::WriteOnly | M::ExistingOnly, E::NotFound,
            none);
        row("ReadWrite | NewOnly, existing", archive, M::ReadWrite | M::NewOnly, E::AlreadyExists,
            archive);
        row("ReadWrite | NewOnly, missing", none, M::ReadWrite | M::NewOnly, E::NoError, fresh);
        row("ReadOnly | Append", archive, M::ReadOnly | M::Append, E::InvalidArgument, archive);
        row("ReadWrite | Append", archive, M::ReadWrite | M::Append, E::InvalidArgument, archive);
        row("WriteOnly | Truncate", archive, M::WriteOnly | M::Truncate, E::InvalidArgument,
            archive);
        row("ReadWrite | Text", archive, M::ReadWrite | M::Text, E::InvalidArgument, archive);
        row("WriteOnly | Append, missing", none, M::WriteOnly | M::Append, E::InvalidArgument,
            none);
        row("NotOpen", archive, M::NotOpen, E::InvalidArgument, archive);
        row("ReadWrite, empty file", "", M::ReadWrite, E::Corrupt, "");
        row("ReadOnly, not an archive", "plain text", M::ReadOnly, E::Corrupt, "plain text");
        row("ReadWrite, cut short", archive.left(4300), M::ReadWrite, E::Corrupt,
            archive.left(4300));
    }

    // open() decides by ReadOnly and WriteOnly; whatever it refuses, it refuses before a byte of
    // the file changes, and a refused open leaves the archive closed and unlocked.
    void openModes()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(E, expected);
        QFETCH(QByteArray, after);
        const QString file = path(QString(QTest::currentDataTag()) + ".kar");
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
        QCOMPARE(readHostFile(file), after);
        if (expected != E::NoError && !after.isNull())
            QVERIFY(!Archive::isLocked(file) || expected == E::Corrupt);
    }

    // Readers share an archive; a writer has it alone, and a conflicting open fails at once
    // with Locked, leaving the file as it was even for WriteOnly, which would empty it.
    void locksAcrossProcesses()
    {
        const QString file = path("locked.kar");
        QVERIFY(Archive(file).open(M::ReadWrite));
        const QByteArray before = readHostFile(file);
        {
            Holder writer;
            QCOMPARE(writer.hold(file, "readwrite"), QByteArray("opened"));
            for (M::OpenMode mode : {M::ReadOnly, M::ReadWrite, M::WriteOnly}) {
                Archive archive(file);
                QVERIFY(!archive.open(mode));
                QCOMPARE(archive.error(), E::Locked);
            }
            QVERIFY(Archive::isLocked(file));
            QCOMPARE(readHostFile(file), before);
        }
        Holder reader;
        QCOMPARE(reader.hold(file, "read"), QByteArray("opened"));
        QVERIFY(!Archive::isLocked(file));
        QVERIFY(Archive(file).open(M::ReadOnly));
        Archive writer(file);
        QVERIFY(!writer.open(M::WriteOnly));
        QCOMPARE(writer.error(), E::Locked);
        QCOMPARE(readHostFile(file), before);
    }

    // close() and the destructor write back what exists only in memory, and close member files
    // still open; a folder made just before is there on the next open.
    void closeWritesBack()
    {
        const QString file = path("close.kar");
        auto archive = std::make_unique<Archive>(file);
        QVERIFY(archive->open(M::ReadWrite));
        QVERIFY(archive->makeFolder("/byClose"));
        archive->setApplicationVersion(Archive::Version(3, 1, 4));
        File open(archive.get(), "/byClose/member");
        QVERIFY(open.open(M::WriteOnly));
        QCOMPARE(open.write("unclosed"), 8);
        archive->close();
        QCOMPARE(archive->error(), E::NoError);
        QVERIFY(!open.isOpen());
        QCOMPARE(Archive::peekVersion(file).minor, 1);
        QVERIFY(archive->open(M::ReadWrite));
        QCOMPARE(readMember(*archive, "/byClose/member"), QByteArray("unclosed"));
        QVERIFY(archive->makeFolder("/byDestructor"));
        archive.reset();
        Archive again(file);
        QVERIFY(again.open(M::ReadOnly));
        QCOMPARE(again.list(Archive::Folders), (QList<QString>{"byClose", "byDestructor"}));
        QVERIFY(again.check().isEmpty());
    }

    // The writer never makes a tree deeper than the reader accepts.
    void depthLimit()
    {
        Archive archive(path("deep.kar"));
        QVERIFY(archive.open(M::ReadWrite));
        int levels = 1;
        while (archive.makeFolder("d") && archive.setCurrentFolder("d"))
            ++levels;
        QCOMPARE(archive.error(), E::InvalidArgument);
        QCOMPARE(levels, 4096);
        QVERIFY(archive.setCurrentFolder("/"));
        archive.close();
        QVERIFY(archive.open(M::ReadOnly));
        QCOMPARE(archive.entries("/").size(), 1);
    }

    // A member whose entry has no block (other writers make them) reads as empty in every mode,
    // and gets a block only when written.
    void memberWithoutBlocks()
    {
        const QString file = path("unallocated.kar");
        QVERIFY(
            writeHostFile(file, smallArchive(4, 4096, rootFolder({fileRecord("e", 0, -1, -1)}))));
        for (M::OpenMode mode : {M::ReadOnly, M::ReadWrite}) {
            Archive archive(file);
            QVERIFY(archive.open(mode));
            QCOMPARE(archive.entryInfo("/e").size, 0);
            QCOMPARE(readMember(archive, "/e"), QByteArray(""));
            QVERIFY(archive.exportFileToDisk("/e", path("e.out")));
            QCOMPARE(QFileInfo(path("e.out")).size(), 0);
            QCOMPARE(archive.statistics().blocks, 2);
        }
        Archive archive(file);
        QVERIFY(archive.open(M::ReadWrite));
        QVERIFY(writeMember(archive, "/e", "now"));
        QCOMPARE(archive.statistics().blocks, 3);
        QCOMPARE(readMember(archive, "/e"), QByteArray("now"));
    }

    // Host files in and out, and the errors of each side.
    void importExport()
    {
        const QString host = path("host.bin");
        QVERIFY(writeHostFile(host, patternBytes(40000, 10)));
        Archive archive(path("io.kar"), 512);
        QVERIFY(archive.open(M::ReadWrite));
        QVERIFY(archive.importFileFromDisk("/in", host));
        QVERIFY(archive.exportFileToDisk("/in", path("out.bin")));
        QCOMPARE(readHostFile(path("out.bin")), patternBytes(40000, 10));
        const auto errorOf = [&archive](bool done) { return done ? E::NoError : archive.error(); };
        QCOMPARE(errorOf(archive.importFileFromDisk("/x", path("missing.bin"))), E::NotFound);
        QCOMPARE(errorOf(archive.importFileFromDisk("/no/x", host)), E::NotFound);
        QCOMPARE(errorOf(archive.exportFileToDisk("/missing", path("o"))), E::NotFound);
        QCOMPARE(errorOf(archive.exportFileToDisk("/in", path("no/such/folder"))), E::IoError);
        QVERIFY(archive.check().isEmpty());
    }

    // The width of stored sizes belongs to each archive: archives of versions 1 (4-byte sizes)
    // and 4 (8-byte sizes) opened over and over in two threads at once each read their own.
    void versionsInThreads()
    {
        const QString files[] = {path("v1.kar"), path("v4.kar")};
        const qint64 sizes[] = {qint64(0xFFFFFFFFu), qint64(1) << 40};
        for (int i : {0, 1}) {
            const QByteArray root = rootFolder({fileRecord("big", sizes[i], -1, -1, i ? 8 : 4)});
            QVERIFY(writeHostFile(files[i], smallArchive(i ? 4 : 1, 128, root)));
        }
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int i : {0, 1})
            threads.emplace_back([&, i] {
                for (int round = 0; round < 300; ++round) {
                    Archive archive(files[i]);
                    if (!archive.open(M::ReadOnly) || archive.entryInfo("/big").size != sizes[i])
                        ++wrong;
                }
            });
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(wrong.load(), 0);
    }

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

QTEST_GUILESS_MAIN(ArchiveTest)
#include "tst_archive.moc"
