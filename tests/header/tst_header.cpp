// The archive object, its header and its format versions.
//
// Archives of every stored format version are built here byte by byte, independently of the
// library's own writer, so that a reader and a writer that agree with each other but not with
// the format cannot pass together.

#include "Archive.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <type_traits>

using Kest::Ar::Archive;
using Kest::Ar::File;
using Kest::Ar::FileEntry;
using Kest::Ar::FolderEntry;
using Kest::Ar::TestAccess;
using KestTest::be32;
using KestTest::be64;
using KestTest::qstringBytes;
using KestTest::readHostFile;
using KestTest::writeHostFile;

namespace {

constexpr qint32 Signature = 0x136BD5EF;
constexpr qint32 EndOfChain = -1;
constexpr qint32 Invalid = -2;

// Collects every message sent to Qt's message handler while it lives, so that a test can
// require silence; the previous handler (Qt Test's) is restored afterwards.
class MessageCapture
{
public:
    MessageCapture()
    {
        messages().clear();
        previous_ = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture() { qInstallMessageHandler(previous_); }
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    static QStringList& messages()
    {
        static QStringList list;
        return list;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        messages().append(text);
    }

    QtMessageHandler previous_;
};

// Empty when equal; otherwise where and how two byte arrays first differ.
QString difference(const QByteArray& actual, const QByteArray& expected)
{
    const qsizetype common = qMin(actual.size(), expected.size());
    for (qsizetype i = 0; i < common; ++i) {
        if (actual[i] != expected[i])
            return QStringLiteral("first difference at offset %1: actual %2, expected %3")
                .arg(i)
                .arg(QString::fromLatin1(actual.mid(i, 8).toHex(' ')))
                .arg(QString::fromLatin1(expected.mid(i, 8).toHex(' ')));
    }
    if (actual.size() != expected.size())
        return QStringLiteral("sizes differ: actual %1, expected %2")
            .arg(actual.size())
            .arg(expected.size());
    return {};
}

#define COMPARE_BYTES(actual, expected)                                                            \
    do {                                                                                           \
        const QString diff_ = difference((actual), (expected));                                    \
        QVERIFY2(diff_.isEmpty(), qPrintable(diff_));                                              \
    } while (false)

// A file body in the stored form, with the size in `width` bytes (4 or 8).
QByteArray fileBody(const QString& name, qint64 size, int width, qint32 first, qint32 last)
{
    QByteArray bytes = qstringBytes(name);
    bytes += width == 4 ? be32(qint32(quint32(size))) : be64(size);
    return bytes + be32(first) + be32(last);
}

QByteArray padded(QByteArray bytes, qsizetype size)
{
    bytes.append(size - bytes.size(), '\0');
    return bytes;
}

// The header fields exactly as a writer of `version` lays them out.
struct HeaderFields
{
    qint32 version = 4;
    Archive::Version application;
    quint32 blockSize = 4096;
    qint32 nBlocks = 0;
    qint32 blocksPerCluster = 1024;
    qint32 firstFree = -1;
    qint64 directorySize = 0;
    qint32 directoryFirst = -1;
    qint32 directoryLast = -1;

    int sizeWidth() const { return version <= 2 ? 4 : 8; }
    qsizetype area() const { return version <= 3 ? 64 : 256; }

    QByteArray bytes() const
    {
        QByteArray out = be32(Signature) + be32(version);
        if (version >= 2)
            out += be32(application.major) + be32(application.minor) + be32(application.patch);
        out += be32(qint32(blockSize)) + be32(nBlocks) + be32(blocksPerCluster) + be32(firstFree);
        return out + fileBody(QStringLiteral("qel_dir"), directorySize, sizeWidth(), directoryFirst,
                              directoryLast);
    }
};

// A table block: the given entries from the first of its cluster, INVALID for the rest, and
// zero bytes where the block size leaves less than a whole entry.
QByteArray tableBlock(const QList<qint32>& entries, quint32 blockSize)
{
    const int perCluster = int(blockSize / 4);
    QByteArray bytes;
    for (int i = 0; i < perCluster; ++i)
        bytes += be32(i < entries.size() ? entries[i] : Invalid);
    return padded(bytes, blockSize);
}

// The small archive of every stored version that the version tests open: block 0 is the
// table, block 1 the directory, block 2 the data of the member "m" ("hello"). The member
// "huge" has no blocks; its size shows the width in which sizes are stored.
struct SmallArchive
{
    static constexpr quint32 BlockSize = 128;

    explicit SmallArchive(int version) { header.version = version; }

    qint64 hugeSize() const
    {
        return header.sizeWidth() == 4 ? qint64(0xFFFFFFFFu) : (qint64(1) << 32) + 5;
    }

    QByteArray directory(int width) const
    {
        return qstringBytes(QStringLiteral("qel_root")) + be32(2) + be32(0) +
               fileBody(QStringLiteral("m"), 5, width, 2, 2) + be32(0) +
               fileBody(QStringLiteral("huge"), hugeSize(), width, -1, -1);
    }

    QList<qint32> tableEntries() const { return {EndOfChain, EndOfChain, EndOfChain}; }

    // The file as the writer of that version left it: blocks behind the header area, then the
    // header written over the start, which for versions 2 and 3 reaches into table block 0.
    QByteArray file()
    {
        const QByteArray dir = directory(header.sizeWidth());
        header.application = Archive::Version(1, 2, 3);
        header.blockSize = BlockSize;
        header.nBlocks = 3;
        header.blocksPerCluster = int(BlockSize / 4);
        header.directorySize = dir.size();
        header.directoryFirst = 1;
        header.directoryLast = 1;
        QByteArray bytes(header.area(), '\0');
        bytes += tableBlock(tableEntries(), BlockSize);
        bytes += padded(dir, BlockSize);
        bytes += padded("hello", BlockSize);
        const QByteArray head = header.bytes();
        bytes.replace(0, head.size(), head);
        return bytes;
    }

    HeaderFields header;
};

qint32 entryOnDisk(const QByteArray& file, qsizetype area, int index)
{
    QDataStream in(file.mid(area + 4 * index, 4));
    qint32 value = 0;
    in >> value;
    return value;
}

QByteArray memberContent(Archive& archive, const QString& path)
{
    File member(&archive, path);
    if (!member.open(QIODevice::ReadOnly))
        return "<cannot open>";
    return member.readAll();
}

qint64 storedSizeOf(Archive& archive, const QString& name)
{
    const auto* entry = TestAccess::root(archive)->child(name);
    return entry ? entry->size() : -1;
}

} // namespace

class HeaderTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void constants();
    void constructedMembers_data();
    void constructedMembers();
    void accessors();
    void versionParsing_data();
    void versionParsing();
    void versionConstructionAndCopy();
    void position();

    void headerOfConstructedArchive_data();
    void headerOfConstructedArchive();
    void newArchiveLayout_data();
    void newArchiveLayout();
    void formatDocumentMatchesNewArchive();
    void writeHeaderVersionRule_data();
    void writeHeaderVersionRule();

    void storedVersions_data();
    void storedVersions();
    void currentVersionAfterLegacyReadsWideSizes();
    void legacyOverlapRecoversDirectoryChain_data();
    void legacyOverlapRecoversDirectoryChain();

    void isArchive_data();
    void isArchive();
    void isArchiveOnMissingPath();
    void refusedHeaders_data();
    void refusedHeaders();
    void peekVersionOfMissingFile();

private:
    QString path(const QString& name) const { return dir_->filePath(name); }
    QByteArray newArchiveBytes();

    std::unique_ptr<QTemporaryDir> dir_;
};

void HeaderTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void HeaderTest::cleanup()
{
    // The stored-size width is process-wide; leave it as the library starts.
    FileEntry::setSizeWidth(8);
    dir_.reset();
}

QByteArray HeaderTest::newArchiveBytes()
{
    const QString file = path(QStringLiteral("made-by-library.kar"));
    {
        Archive archive(file);
        if (!archive.open(QIODevice::ReadWrite))
            return {};
    }
    return readHostFile(file);
}

// ---- The archive object -------------------------------------------------------------------

void HeaderTest::constants()
{
    QCOMPARE(TestAccess::archiveSignature(), 0x136BD5EF);
    QCOMPARE(TestAccess::currentVersion(), 4);
    QCOMPARE(TestAccess::defaultBlockSize(), 4096u);
    QCOMPARE(TestAccess::defaultHeaderSize(), 256u);
    QCOMPARE(TestAccess::directoryName(), QStringLiteral("qel_dir"));
    QCOMPARE(TestAccess::rootName(), QStringLiteral("qel_root"));

    static_assert(!std::is_copy_constructible_v<Archive> && !std::is_copy_assignable_v<Archive>);
    static_assert(!std::is_move_constructible_v<Archive> && !std::is_move_assignable_v<Archive>);
    static_assert(!std::is_polymorphic_v<Archive>);
}

void HeaderTest::constructedMembers_data()
{
    QTest::addColumn<bool>("useDefault");
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<int>("blocksPerCluster");

    QTest::newRow("default argument") << true << 4096u << 1024;
    QTest::newRow("512") << false << 512u << 128;
    QTest::newRow("not a multiple of 4") << false << 10u << 2;
    // The constructor accepts any size; open refuses to create with such a size.
    QTest::newRow("3") << false << 3u << 0;
}

void HeaderTest::constructedMembers()
{
    QFETCH(bool, useDefault);
    QFETCH(unsigned int, blockSize);
    QFETCH(int, blocksPerCluster);

    const QString file = path(QStringLiteral("never-created.kar"));
    auto archive =
        useDefault ? std::make_unique<Archive>(file) : std::make_unique<Archive>(file, blockSize);
    Archive& a = *archive;

    QVERIFY(!QFile::exists(file)); // construction touches no file
    QVERIFY(!TestAccess::file(a).isOpen());
    QCOMPARE(a.mode(), 0);
    QCOMPARE(a.name(), file);
    QCOMPARE(TestAccess::version(a), 4);
    QCOMPARE(a.formatVersion(), 4);
    QCOMPARE(a.blockSize(), blockSize);
    QCOMPARE(TestAccess::blockSize(a), blockSize);
    QCOMPARE(TestAccess::headerSize(a), 256u);
    QVERIFY(TestAccess::table(a).isEmpty());
    QVERIFY(TestAccess::changedClusters(a).isEmpty());
    QCOMPARE(TestAccess::nBlocks(a), 0);
    QCOMPARE(TestAccess::nBlocksPerCluster(a), blocksPerCluster);
    QCOMPARE(TestAccess::firstFreeBlock(a), -1);
    QCOMPARE(TestAccess::current(a).block, -1);
    QCOMPARE(TestAccess::current(a).offset, qint64(blockSize));

    const FileEntry* directory = TestAccess::directory(a);
    QVERIFY(directory);
    QCOMPARE(directory->name(), QStringLiteral("qel_dir"));
    QCOMPARE(directory->size(), 0);
    QCOMPARE(directory->firstBlock(), -1);
    QCOMPARE(directory->lastBlock(), -1);
    QCOMPARE(directory->parent(), nullptr);

    const FolderEntry* root = TestAccess::root(a);
    QVERIFY(root);
    QCOMPARE(root->name(), QStringLiteral("qel_root"));
    QVERIFY(root->isEmpty());
    QCOMPARE(root->parent(), nullptr);
    QCOMPARE(TestAccess::currentFolderEntry(a), root);
    QCOMPARE(a.currentFolder(), QStringLiteral("/"));

    const Archive::Version application = a.applicationVersion();
    QCOMPARE(application.major, 0);
    QCOMPARE(application.minor, 0);
    QCOMPARE(application.patch, 0);
    QCOMPARE(a.size(), 0);
}

void HeaderTest::accessors()
{
    const QString first = path(QStringLiteral("first.kar"));
    const QString second = path(QStringLiteral("second.kar"));
    Archive a(first);

    a.setApplicationVersion(Archive::Version(3, -4, 5));
    const Archive::Version v = a.applicationVersion();
    QCOMPARE(v.major, 3);
    QCOMPARE(v.minor, -4);
    QCOMPARE(v.patch, 5);

    QCOMPARE(&a.getFile(), static_cast<QFile*>(&TestAccess::file(a)));
    a.setFile(second);
    QCOMPARE(a.name(), second);
    QCOMPARE(a.getFile().fileName(), second);

    // The new name is the one that open uses; the mode reflects the open file.
    QVERIFY(a.open(QIODevice::ReadWrite));
    QVERIFY(QFile::exists(second));
    QVERIFY(!QFile::exists(first));
    QCOMPARE(a.mode(), int(QIODevice::ReadWrite));
    a.close();
    QCOMPARE(a.mode(), 0);
    QVERIFY(a.open(QIODevice::ReadOnly));
    QCOMPARE(a.mode(), int(QIODevice::ReadOnly));
}

// ---- Versions and positions ---------------------------------------------------------------

void HeaderTest::versionParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");

    QTest::newRow("1.2.3") << "1.2.3" << 1 << 2 << 3;
    QTest::newRow("7") << "7" << 7 << 0 << 0;
    QTest::newRow("1.2") << "1.2" << 1 << 2 << 0;
    QTest::newRow("1..3") << "1..3" << 1 << 0 << 3;
    QTest::newRow("x.2.3") << "x.2.3" << 0 << 2 << 3;
    QTest::newRow("1.2.3.4") << "1.2.3.4" << 0 << 0 << 0;
    QTest::newRow("empty") << "" << 0 << 0 << 0;
    QTest::newRow("trailing dot") << "1.2." << 1 << 2 << 0;
    QTest::newRow("only dots") << ".." << 0 << 0 << 0;
    QTest::newRow("four empty parts") << "..." << 0 << 0 << 0;
    QTest::newRow("negative") << "-1.2.-3" << -1 << 2 << -3;
    QTest::newRow("decimal, not octal") << "010.08.09" << 10 << 8 << 9;
    QTest::newRow("hex is not a number") << "0x10.2.3" << 0 << 2 << 3;
    QTest::newRow("too big for 32 bits") << "4294967296.1.2" << 0 << 1 << 2;
    QTest::newRow("largest") << "2147483647.0.1" << 2147483647 << 0 << 1;
}

void HeaderTest::versionParsing()
{
    QFETCH(QString, text);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, patch);

    const Archive::Version v(text);
    QCOMPARE(v.major, major);
    QCOMPARE(v.minor, minor);
    QCOMPARE(v.patch, patch);
}

void HeaderTest::versionConstructionAndCopy()
{
    const Archive::Version none;
    QCOMPARE(none.major, 0);
    QCOMPARE(none.minor, 0);
    QCOMPARE(none.patch, 0);
    const Archive::Version onlyMajor(5);
    QCOMPARE(onlyMajor.major, 5);
    QCOMPARE(onlyMajor.minor, 0);
    QCOMPARE(onlyMajor.patch, 0);

    Archive::Version v(1, 2, 3);
    const Archive::Version copy(v);
    QCOMPARE(copy.major, 1);
    QCOMPARE(copy.minor, 2);
    QCOMPARE(copy.patch, 3);

    Archive::Version assigned(9, 9, 9);
    assigned = v;
    QCOMPARE(assigned.major, 1);
    QCOMPARE(assigned.minor, 2);
    QCOMPARE(assigned.patch, 3);

    Archive::Version moved(7, 7, 7);
    moved = std::move(v);
    QCOMPARE(moved.major, 1);
    QCOMPARE(moved.minor, 2);
    QCOMPARE(moved.patch, 3);

    // A copy is independent of its source.
    assigned.minor = 40;
    QCOMPARE(copy.minor, 2);

    static_assert(std::is_same_v<decltype(Archive::Version::major), int>);
    static_assert(sizeof(Archive::Version) == 3 * sizeof(qint32));
}

void HeaderTest::position()
{
    const Archive::Position origin;
    QCOMPARE(origin.block, 0);
    QCOMPARE(origin.offset, 0);

    const qint64 farOffset = (qint64(1) << 40) + 3;
    const Archive::Position p(-7, farOffset);
    QCOMPARE(p.block, -7);
    QCOMPARE(p.offset, farOffset);

    Archive::Position copy(p);
    QCOMPARE(copy.block, -7);
    QCOMPARE(copy.offset, farOffset);
    copy = origin;
    QCOMPARE(copy.block, 0);
    QCOMPARE(copy.offset, 0);

    static_assert(std::is_same_v<decltype(Archive::Position::block), int>);
    static_assert(std::is_same_v<decltype(Archive::Position::offset), qint64>);
}

// ---- What the writer writes ---------------------------------------------------------------

void HeaderTest::headerOfConstructedArchive_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<QString>("application");

    QTest::newRow("defaults") << 4096u << QString();
    QTest::newRow("512, 1.2.3") << 512u << QStringLiteral("1.2.3");
    QTest::newRow("10, negative application version") << 10u << QStringLiteral("-1.-2.-3");
}

// writeHeader of an archive straight after construction, on its open locked file.
void HeaderTest::headerOfConstructedArchive()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(QString, application);

    const QString file = path(QStringLiteral("header-only.kar"));
    Archive a(file, blockSize);
    a.setApplicationVersion(Archive::Version(application));
    QVERIFY(TestAccess::file(a).open(QIODevice::ReadWrite));
    TestAccess::writeHeader(a);
    TestAccess::file(a).close();

    HeaderFields expected;
    expected.application = Archive::Version(application);
    expected.blockSize = blockSize;
    expected.blocksPerCluster = int(blockSize / 4);
    const QByteArray bytes = readHostFile(file);
    COMPARE_BYTES(bytes, padded(expected.bytes(), 256));

    // The same bytes spelled out for the default case, field by field.
    if (blockSize == 4096) {
        const QByteArray literal = QByteArray::fromHex("136bd5ef"
                                                       "00000004"
                                                       "00000000"
                                                       "00000000"
                                                       "00000000"
                                                       "00001000"
                                                       "00000000"
                                                       "00000400"
                                                       "ffffffff"
                                                       "0000000e"
                                                       "00710065006c005f006400690072"
                                                       "0000000000000000"
                                                       "ffffffff"
                                                       "ffffffff");
        QCOMPARE(literal.size(), 70);
        COMPARE_BYTES(bytes, padded(literal, 256));
    }
}

void HeaderTest::newArchiveLayout_data()
{
    QTest::addColumn<unsigned int>("blockSize");
    QTest::addColumn<QString>("application");
    // The directory stream's blocks: table blocks (every N-th block) are skipped.
    QTest::addColumn<QList<int>>("directoryBlocks");

    QTest::newRow("defaults") << 0u << QString() << QList<int>{1};
    QTest::newRow("512, 1.2.3") << 512u << QStringLiteral("1.2.3") << QList<int>{1};
    // 24 bytes of directory in blocks of 10: three blocks, a cluster (2 blocks) each.
    QTest::newRow("10") << 10u << QStringLiteral("0.0.7") << QList<int>{1, 3, 5};
    QTest::newRow("smallest, 8") << 8u << QString() << QList<int>{1, 3, 5};
}

// The whole file that open(ReadWrite) makes on a missing path, against a layout built here.
void HeaderTest::newArchiveLayout()
{
    QFETCH(unsigned int, blockSize);
    QFETCH(QString, application);
    QFETCH(QList<int>, directoryBlocks);

    const QString file = path(QStringLiteral("new.kar"));
    {
        auto archive = blockSize == 0 ? std::make_unique<Archive>(file)
                                      : std::make_unique<Archive>(file, blockSize);
        archive->setApplicationVersion(Archive::Version(application));
        QVERIFY(archive->open(QIODevice::ReadWrite));
        QCOMPARE(archive->size(), 0);
    }
    if (blockSize == 0)
        blockSize = 4096;
    const int perCluster = int(blockSize / 4);
    const int nBlocks = directoryBlocks.last() + 1;
    const QByteArray root = qstringBytes(QStringLiteral("qel_root")) + be32(0);
    QCOMPARE(root.size(), 24);

    QList<qint32> table(nBlocks, Invalid);
    for (int c = 0; c * perCluster < nBlocks; ++c) {
        const int next = (c + 1) * perCluster;
        table[c * perCluster] = next < nBlocks ? next : EndOfChain;
    }
    for (int i = 0; i < directoryBlocks.size(); ++i)
        table[directoryBlocks[i]] =
            i + 1 < directoryBlocks.size() ? directoryBlocks[i + 1] : EndOfChain;

    HeaderFields header;
    header.application = Archive::Version(application);
    header.blockSize = blockSize;
    header.nBlocks = nBlocks;
    header.blocksPerCluster = perCluster;
    header.directorySize = root.size();
    header.directoryFirst = directoryBlocks.first();
    header.directoryLast = directoryBlocks.last();

    QByteArray expected = padded(header.bytes(), 256);
    const QByteArray directory = padded(root, qsizetype(directoryBlocks.size()) * blockSize);
    for (int b = 0; b < nBlocks; ++b) {
        if (b % perCluster == 0) {
            expected += tableBlock(table.mid(b, perCluster), blockSize);
        } else {
            const qsizetype index = directoryBlocks.indexOf(b);
            QVERIFY(index >= 0);
            expected += directory.mid(index * blockSize, blockSize);
        }
    }
    QCOMPARE(expected.size(), qsizetype(256) + qsizetype(nBlocks) * blockSize);
    COMPARE_BYTES(readHostFile(file), expected);
    if (blockSize == 4096)
        QCOMPARE(expected.size(), 8448);

    // And it reads back as an empty archive with that application version.
    Archive again(file);
    QVERIFY(again.open(QIODevice::ReadOnly));
    QCOMPARE(again.blockSize(), blockSize);
    QVERIFY(TestAccess::root(again)->isEmpty());
    const Archive::Version stamped(application);
    QCOMPARE(again.applicationVersion().major, stamped.major);
    QCOMPARE(again.applicationVersion().minor, stamped.minor);
    QCOMPARE(again.applicationVersion().patch, stamped.patch);
}

// docs/format.md shows a new archive in hexadecimal; every dump line there must match.
void HeaderTest::formatDocumentMatchesNewArchive()
{
    QFile doc(QStringLiteral(KEST_FORMAT_DOCUMENT));
    QVERIFY2(doc.open(QIODevice::ReadOnly | QIODevice::Text), "docs/format.md is missing");
    const QString text = QString::fromUtf8(doc.readAll());
    const QByteArray actual = newArchiveBytes();
    QCOMPARE(actual.size(), 8448);

    static const QRegularExpression line(
        QStringLiteral("^([0-9a-f]{8}):((?: [0-9a-f]{2})+)(?: {2,}.*)?$"),
        QRegularExpression::MultilineOption);
    qsizetype checked = 0;
    bool sawHeaderStart = false;
    for (auto it = line.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        bool ok = false;
        const qsizetype offset = match.captured(1).toLongLong(&ok, 16);
        QVERIFY(ok);
        const QByteArray shown = QByteArray::fromHex(match.captured(2).toLatin1());
        QVERIFY2(
            actual.mid(offset, shown.size()) == shown,
            qPrintable(QStringLiteral("docs/format.md, dump line at %1: shows %2, the file "
                                      "holds %3")
                           .arg(match.captured(1))
                           .arg(QString::fromLatin1(shown.toHex(' ')))
                           .arg(QString::fromLatin1(actual.mid(offset, shown.size()).toHex(' ')))));
        checked += shown.size();
        sawHeaderStart = sawHeaderStart || offset == 0;
    }
    // The dump covers at least the 70 bytes of header fields.
    QVERIFY(sawHeaderStart);
    QVERIFY2(checked >= 70, qPrintable(QString::number(checked)));
}

void HeaderTest::writeHeaderVersionRule_data()
{
    QTest::addColumn<int>("inMemory");
    QTest::addColumn<unsigned int>("area");
    QTest::addColumn<int>("written");

    QTest::newRow("1 in the 64-byte area") << 1 << 64u << 3;
    QTest::newRow("2") << 2 << 64u << 3;
    QTest::newRow("3") << 3 << 64u << 3;
    QTest::newRow("4") << 4 << 256u << 4;
    QTest::newRow("5") << 5 << 256u << 4;
}

// The version that a header says always agrees with the area that the blocks follow, and
// the header always carries the application version and an 8-byte directory size.
void HeaderTest::writeHeaderVersionRule()
{
    QFETCH(int, inMemory);
    QFETCH(unsigned int, area);
    QFETCH(int, written);

    const QString file = path(QStringLiteral("rule.kar"));
    Archive a(file);
    TestAccess::version(a) = inMemory;
    TestAccess::headerSize(a) = area;
    a.setApplicationVersion(Archive::Version(4, 5, 6));
    TestAccess::directory(a)->setSize((qint64(1) << 33) + 1);
    QVERIFY(TestAccess::file(a).open(QIODevice::ReadWrite));
    TestAccess::writeHeader(a);
    TestAccess::file(a).close();

    HeaderFields expected;
    expected.version = written;
    expected.application = Archive::Version(4, 5, 6);
    expected.directorySize = (qint64(1) << 33) + 1;
    const QByteArray fields = expected.bytes();
    QCOMPARE(fields.size(), 70);
    // The whole array is written even where it is longer than a 64-byte area.
    COMPARE_BYTES(readHostFile(file), padded(fields, qMax<qsizetype>(area, 70)));
    QCOMPARE(TestAccess::version(a), inMemory); // writing does not change the version read
}

// ---- Reading every stored version ---------------------------------------------------------

void HeaderTest::storedVersions_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("writtenBack");

    QTest::newRow("1") << 1 << 3;
    QTest::newRow("2") << 2 << 3;
    QTest::newRow("3") << 3 << 3;
    QTest::newRow("4") << 4 << 4;
    QTest::newRow("5") << 5 << 4;
}

void HeaderTest::storedVersions()
{
    QFETCH(int, stored);
    QFETCH(int, writtenBack);

    SmallArchive built(stored);
    const QByteArray original = built.file();
    const qsizetype area = built.header.area();
    const int width = built.header.sizeWidth();
    const quint32 blockSize = SmallArchive::BlockSize;
    // The fixture really lays the longer headers over the first table entries.
    if (stored == 2) {
        QCOMPARE(built.header.bytes().size(), 66);
        QVERIFY(entryOnDisk(original, area, 0) != EndOfChain);
        QCOMPARE(entryOnDisk(original, area, 1), EndOfChain);
    } else if (stored == 3) {
        QCOMPARE(built.header.bytes().size(), 70);
        QVERIFY(entryOnDisk(original, area, 0) != EndOfChain);
        QVERIFY(entryOnDisk(original, area, 1) != EndOfChain);
    } else {
        QCOMPARE(built.header.bytes().size(), stored == 1 ? 54 : 70);
    }

    const QString file = path(QStringLiteral("stored.kar"));
    QVERIFY(writeHostFile(file, original));
    const Archive::Version expectedApplication =
        stored >= 2 ? Archive::Version(1, 2, 3) : Archive::Version();
    {
        const Archive::Version peeked = Archive::peekVersion(file);
        QCOMPARE(peeked.major, expectedApplication.major);
        QCOMPARE(peeked.minor, expectedApplication.minor);
        QCOMPARE(peeked.patch, expectedApplication.patch);
    }

    {
        Archive a(file);
        {
            MessageCapture capture;
            QVERIFY(a.open(QIODevice::ReadWrite));
            QVERIFY2(capture.messages().isEmpty(), qPrintable(capture.messages().join('\n')));
        }
        QCOMPARE(TestAccess::version(a), stored);
        QCOMPARE(a.formatVersion(), stored);
        QCOMPARE(TestAccess::headerSize(a), quint32(area));
        QCOMPARE(a.blockSize(), blockSize);
        QCOMPARE(TestAccess::nBlocks(a), 3);
        QCOMPARE(TestAccess::nBlocksPerCluster(a), 32);
        QCOMPARE(TestAccess::firstFreeBlock(a), -1);
        QCOMPARE(a.applicationVersion().major, expectedApplication.major);
        QCOMPARE(a.applicationVersion().minor, expectedApplication.minor);
        QCOMPARE(a.applicationVersion().patch, expectedApplication.patch);
        QCOMPARE(TestAccess::directory(a)->size(), qint64(built.directory(width).size()));
        QCOMPARE(TestAccess::directory(a)->firstBlock(), 1);
        QCOMPARE(TestAccess::directory(a)->lastBlock(), 1);
        // The overlapped entries are rebuilt: one cluster, a directory of one block.
        QCOMPARE(TestAccess::table(a).mid(0, 4),
                 (QList<int>{EndOfChain, EndOfChain, EndOfChain, Invalid}));
        // Sizes in the stored width; data found at the block offsets of the area.
        QCOMPARE(storedSizeOf(a, QStringLiteral("huge")), built.hugeSize());
        QCOMPARE(storedSizeOf(a, QStringLiteral("m")), 5);
        QCOMPARE(memberContent(a, QStringLiteral("m")), QByteArray("hello"));

        // Write back, with a new application version to record.
        a.setApplicationVersion(Archive::Version(9, 8, 7));
        TestAccess::flush(a, true);
        QCOMPARE(TestAccess::version(a), stored);
    }

    const QByteArray after = readHostFile(file);
    QCOMPARE(after.size(), original.size());
    HeaderFields expected = built.header;
    expected.version = writtenBack;
    expected.application = Archive::Version(9, 8, 7);
    const QByteArray wideDirectory = built.directory(8);
    expected.directorySize = wideDirectory.size();
    const QByteArray fields = expected.bytes();
    QCOMPARE(fields.size(), 70);
    COMPARE_BYTES(after.left(70), fields);
    if (area == 256) {
        COMPARE_BYTES(after.mid(70, 256 - 70), QByteArray(256 - 70, '\0'));
        COMPARE_BYTES(after.mid(256, blockSize), tableBlock(built.tableEntries(), blockSize));
    } else {
        // The 70-byte header reaches 6 bytes into table block 0: over entry 0 and the high
        // half of entry 1. The rest of the block holds the table as it is in memory.
        COMPARE_BYTES(after.mid(70, blockSize - 6),
                      tableBlock(built.tableEntries(), blockSize).mid(6));
    }
    COMPARE_BYTES(after.mid(area + blockSize, blockSize), padded(wideDirectory, blockSize));
    COMPARE_BYTES(after.mid(area + 2 * blockSize), original.mid(area + 2 * blockSize));

    // What was written back reads again, now with 8-byte sizes.
    FileEntry::setSizeWidth(4); // whatever a previous archive left
    const Archive::Version peeked = Archive::peekVersion(file);
    QCOMPARE(peeked.major, 9);
    QCOMPARE(peeked.minor, 8);
    QCOMPARE(peeked.patch, 7);
    Archive again(file);
    QVERIFY(again.open(QIODevice::ReadOnly));
    QCOMPARE(TestAccess::version(again), writtenBack);
    QCOMPARE(TestAccess::headerSize(again), quint32(area));
    QCOMPARE(TestAccess::table(again).mid(0, 4),
             (QList<int>{EndOfChain, EndOfChain, EndOfChain, Invalid}));
    QCOMPARE(storedSizeOf(again, QStringLiteral("huge")), built.hugeSize());
    QCOMPARE(memberContent(again, QStringLiteral("m")), QByteArray("hello"));
    QCOMPARE(again.applicationVersion().major, 9);
}

// The size width is process-wide: a current archive read after an old one is read with
// 8-byte sizes again, in its header and in its directory.
void HeaderTest::currentVersionAfterLegacyReadsWideSizes()
{
    const QString legacyFile = path(QStringLiteral("v2.kar"));
    const QString currentFile = path(QStringLiteral("v4.kar"));
    SmallArchive legacy(2);
    SmallArchive current(4);
    QVERIFY(writeHostFile(legacyFile, legacy.file()));
    QVERIFY(writeHostFile(currentFile, current.file()));

    for (int round = 0; round < 2; ++round) {
        Archive old(legacyFile);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(storedSizeOf(old, QStringLiteral("huge")), qint64(0xFFFFFFFFu));
        old.close();

        Archive now(currentFile);
        QVERIFY(now.open(QIODevice::ReadOnly));
        QCOMPARE(TestAccess::directory(now)->size(), qint64(current.directory(8).size()));
        QCOMPARE(storedSizeOf(now, QStringLiteral("huge")), (qint64(1) << 32) + 5);
        QCOMPARE(memberContent(now, QStringLiteral("m")), QByteArray("hello"));
    }
}

void HeaderTest::legacyOverlapRecoversDirectoryChain_data()
{
    QTest::addColumn<int>("stored");
    QTest::newRow("2: entry 1 lies past the header") << 2;
    QTest::newRow("3: the high half of entry 1 is lost") << 3;
}

// A directory of three blocks whose second block lies beyond 65535, so that the high half of
// the link from block 1, which a 70-byte header overwrites, matters. Blocks of 8 bytes make
// clusters of two blocks: every even block is a table block.
void HeaderTest::legacyOverlapRecoversDirectoryChain()
{
    QFETCH(int, stored);

    constexpr quint32 BlockSize = 8;
    constexpr int PerCluster = 2;
    constexpr int Far = 65537;
    constexpr int NBlocks = Far + 1;
    const QList<int> chain{1, Far, 3};

    QList<qint32> table(NBlocks, Invalid);
    for (int b = 0; b < NBlocks; b += PerCluster)
        table[b] = b + PerCluster < NBlocks ? b + PerCluster : EndOfChain;
    table[1] = Far;
    table[Far] = 3;
    table[3] = EndOfChain;
    // Every other block is free, in ascending order.
    QList<int> free;
    for (int b = 5; b < NBlocks; b += 2) {
        if (b != Far)
            free.append(b);
    }
    for (int i = 0; i < free.size(); ++i)
        table[free[i]] = i + 1 < free.size() ? free[i + 1] : EndOfChain;

    HeaderFields header;
    header.version = stored;
    header.application = Archive::Version(2, 0, 0);
    header.blockSize = BlockSize;
    header.nBlocks = NBlocks;
    header.blocksPerCluster = PerCluster;
    header.firstFree = free.first();
    const QByteArray root = qstringBytes(QStringLiteral("qel_root")) + be32(0);
    header.directorySize = root.size();
    header.directoryFirst = chain.first();
    header.directoryLast = chain.last();

    QByteArray bytes(64, '\0');
    for (int b = 0; b < NBlocks; ++b) {
        const qsizetype index = chain.indexOf(b);
        if (b % PerCluster == 0)
            bytes += tableBlock(table.mid(b, PerCluster), BlockSize);
        else if (index >= 0)
            bytes += root.mid(index * BlockSize, BlockSize);
        else
            bytes += QByteArray(BlockSize, '\x5a');
    }
    const QByteArray head = header.bytes();
    bytes.replace(0, head.size(), head);
    if (stored == 3)
        QVERIFY(entryOnDisk(bytes, 64, 1) != Far); // the link is damaged on disk
    else
        QCOMPARE(entryOnDisk(bytes, 64, 1), Far);
    const QString file = path(QStringLiteral("far.kar"));
    QVERIFY(writeHostFile(file, bytes));

    // The second pass reads what the write-back of the first left: a version-3 header, which
    // now lies over the high half of entry 1 whatever the version read.
    for (int pass = 0; pass < 2; ++pass) {
        Archive a(file);
        QVERIFY(a.open(QIODevice::ReadWrite));
        QCOMPARE(TestAccess::version(a), pass == 0 ? stored : 3);
        QCOMPARE(TestAccess::table(a)[0], PerCluster);
        QCOMPARE(TestAccess::table(a)[1], Far);
        QCOMPARE(TestAccess::table(a)[Far], 3);
        QCOMPARE(TestAccess::table(a)[3], EndOfChain);
        QVERIFY(TestAccess::root(a)->isEmpty());
        QCOMPARE(TestAccess::directory(a)->size(), 24);
        TestAccess::flush(a, true);
        const QByteArray written = readHostFile(file);
        QCOMPARE(written.mid(4, 4), be32(3));
        QVERIFY(entryOnDisk(written, 64, 1) != Far);
    }
}

// ---- isArchive, refused headers, peekVersion ----------------------------------------------

void HeaderTest::isArchive_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("expected");

    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("3 bytes") << QByteArray::fromHex("136bd5") << false;
    QTest::newRow("signature alone") << QByteArray::fromHex("136bd5ef") << true;
    QTest::newRow("little-endian signature") << QByteArray::fromHex("efd56b13") << false;
    QTest::newRow("wrong signature") << QByteArray::fromHex("136bd5ee00000004") << false;
    QTest::newRow("text") << QByteArray("hello, world\n") << false;
}

void HeaderTest::isArchive()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, expected);

    const QString file = path(QStringLiteral("candidate"));
    QVERIFY(writeHostFile(file, content));
    MessageCapture capture;
    QCOMPARE(Archive::isArchive(file), expected);
    QVERIFY2(capture.messages().isEmpty(), qPrintable(capture.messages().join('\n')));
}

void HeaderTest::isArchiveOnMissingPath()
{
    const QString missing = path(QStringLiteral("missing.kar"));
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("\"Cannot open %1\"").arg(missing)));
    QVERIFY(!Archive::isArchive(missing));

    // A folder cannot be opened as a file either.
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("\"Cannot open %1\"").arg(dir_->path())));
    QVERIFY(!Archive::isArchive(dir_->path()));

    // A real archive, held open for writing by its owner: isArchive takes no lock.
    const QString file = path(QStringLiteral("held.kar"));
    Archive holder(file);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(Archive::isArchive(file));
}

void HeaderTest::refusedHeaders_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<qint64>("keep"); // bytes of the new archive kept; -1 for all
    QTest::addColumn<QString>("message");

    const QString notArchive = QStringLiteral("readHeader: not a QEL Archive");
    const QString ioError = QStringLiteral("readHeader: I/O error");
    QTest::newRow("empty file") << qint64(0) << QByteArray() << qint64(0) << notArchive;
    QTest::newRow("wrong signature") << qint64(0) << be32(0x136BD5EE) << qint64(-1) << notArchive;
    QTest::newRow("truncated in the fields") << qint64(0) << QByteArray() << qint64(30) << ioError;
    QTest::newRow("truncated in the name") << qint64(0) << QByteArray() << qint64(45) << ioError;
    QTest::newRow("truncated in the last block")
        << qint64(0) << QByteArray() << qint64(68) << ioError;
    QTest::newRow("block size 4") << qint64(20) << be32(4) << qint64(-1)
                                  << QStringLiteral("readHeader: block size 4 is out of range");
    QTest::newRow("block size 7") << qint64(20) << be32(7) << qint64(-1)
                                  << QStringLiteral("readHeader: block size 7 is out of range");
    QTest::newRow("block size 128 MiB")
        << qint64(20) << be32(128 * 1024 * 1024) << qint64(-1)
        << QStringLiteral("readHeader: block size 134217728 is out of range");
    QTest::newRow("blocks per cluster wrong")
        << qint64(28) << be32(1000) << qint64(-1)
        << QStringLiteral("readHeader: 1000 blocks per cluster do not match blocks of 4096 bytes");
    QTest::newRow("blocks per cluster zero")
        << qint64(28) << be32(0) << qint64(-1)
        << QStringLiteral("readHeader: 0 blocks per cluster do not match blocks of 4096 bytes");
    QTest::newRow("negative block count") << qint64(24) << be32(-5) << qint64(-1)
                                          << QStringLiteral("readHeader: negative block count -5");
    QTest::newRow("free-list head at the block count")
        << qint64(32) << be32(2) << qint64(-1)
        << QStringLiteral("readHeader: free-list head 2 is not a block of the archive");
    QTest::newRow("free-list head INVALID")
        << qint64(32) << be32(-2) << qint64(-1)
        << QStringLiteral("readHeader: free-list head -2 is not a block of the archive");
    QTest::newRow("directory first block out of range")
        << qint64(62) << be32(7) << qint64(-1)
        << QStringLiteral("readHeader: directory block 7 is not a block of the archive");
    QTest::newRow("directory last block negative")
        << qint64(66) << be32(-3) << qint64(-1)
        << QStringLiteral("readHeader: directory block -3 is not a block of the archive");
    QTest::newRow("negative directory size")
        << qint64(54) << be64(-24) << qint64(-1)
        << QStringLiteral("readHeader: negative directory size -24");
}

// Each refusal: open returns false, logs the text, writes nothing and leaves the file closed.
void HeaderTest::refusedHeaders()
{
    QFETCH(qint64, offset);
    QFETCH(QByteArray, patch);
    QFETCH(qint64, keep);
    QFETCH(QString, message);

    QByteArray damaged = newArchiveBytes();
    QCOMPARE(damaged.size(), 8448);
    if (keep >= 0)
        damaged.truncate(keep);
    damaged.replace(offset, patch.size(), patch);
    const QString file = path(QStringLiteral("damaged.kar"));
    QVERIFY(writeHostFile(file, damaged));

    for (const auto mode : {QIODevice::ReadWrite, QIODevice::ReadOnly}) {
        Archive a(file);
        QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
        QVERIFY(!a.open(mode));
        QCOMPARE(a.mode(), 0);
        QVERIFY(!TestAccess::file(a).isOpen());
        COMPARE_BYTES(readHostFile(file), damaged);
    }
    // The lock went with the failed open: a writer gets it at once.
    Kest::QtLockedFile other(file);
    QVERIFY(other.open(QIODevice::ReadWrite));
    QVERIFY(other.lock(Kest::QtLockedFile::WriteLock, false));
    QVERIFY(other.unlock());
}

void HeaderTest::peekVersionOfMissingFile()
{
    const QString missing = path(QStringLiteral("missing.kar"));
    QTest::ignoreMessage(QtDebugMsg, "open: cannot open file");
    const Archive::Version v = Archive::peekVersion(missing);
    QCOMPARE(v.major, 0);
    QCOMPARE(v.minor, 0);
    QCOMPARE(v.patch, 0);
    QVERIFY(!QFile::exists(missing));

    const QString text = path(QStringLiteral("text"));
    QVERIFY(writeHostFile(text, "not an archive at all"));
    QTest::ignoreMessage(QtDebugMsg, "readHeader: not a QEL Archive");
    QCOMPARE(Archive::peekVersion(text).major, 0);
}

QTEST_GUILESS_MAIN(HeaderTest)
#include "tst_header.moc"
