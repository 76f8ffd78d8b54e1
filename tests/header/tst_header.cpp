// The archive object's header and its format versions.
//
// Archives of every stored format version are built here byte by byte, independently of the
// library's own writer, so that a reader and a writer that agree with each other but not with
// the format cannot pass together.

#include "TestAccess.h"
#include "TestSupport.h"

#include <QRegularExpression>
#include <QtTest>

#include <stdexcept>

using namespace Kest::Ar;
using namespace KestTest;

namespace {

constexpr qint32 End = -1;
constexpr qint32 Invalid = -2;

QByteArray padded(QByteArray bytes, qsizetype size)
{
    return bytes.append(size - bytes.size(), '\0');
}

QString text(const Archive::Version& v)
{
    return QStringLiteral("%1.%2.%3").arg(v.major).arg(v.minor).arg(v.patch);
}

// The header fields exactly as a writer of `version` lays them out: no application version
// before version 2, a 4-byte directory size up to version 2.
QByteArray header(int version, quint32 blockSize, int nBlocks, qint64 directorySize, int first,
                  int last, const Archive::Version& app = {})
{
    QByteArray out = be32(0x136BD5EF) + be32(version);
    if (version >= 2)
        out += be32(app.major) + be32(app.minor) + be32(app.patch);
    out += be32(qint32(blockSize)) + be32(nBlocks) + be32(qint32(blockSize / 4)) + be32(-1) +
           qstringBytes(QStringLiteral("qel_dir"));
    out += version <= 2 ? be32(qint32(directorySize)) : be64(directorySize);
    return out + be32(first) + be32(last);
}

// The file as its writer left it: blocks behind a header area of 64 bytes up to version 3 and
// 256 after, the header written over the start; those of versions 2 and 3, longer than their
// area, lie over the first table entries.
QByteArray archiveFile(int version, const QByteArray& head, const QByteArray& blocks)
{
    QByteArray out = QByteArray(version <= 3 ? 64 : 256, '\0') + blocks;
    return out.replace(0, head.size(), head);
}

// Table block 0 of a cluster whose block 1 ends a chain (a one-block directory): INVALID for
// the rest of the cluster.
QByteArray tableBlock(quint32 blockSize)
{
    return be32(End).repeated(2) + be32(Invalid).repeated(int(blockSize / 4) - 2);
}

// A new archive: the table in block 0, the empty root folder in block 1.
QByteArray newArchiveFile()
{
    const QByteArray root = qstringBytes(QStringLiteral("qel_root")) + be32(0);
    return archiveFile(4, header(4, 4096, 2, root.size(), 1, 1),
                       tableBlock(4096) + padded(root, 4096));
}

// A root holding the member "huge" with no blocks: its size shows the width sizes are stored in.
QByteArray smallDirectory(int width, qint64 huge)
{
    return qstringBytes(QStringLiteral("qel_root")) + be32(1) + be32(0) +
           qstringBytes(QStringLiteral("huge")) + (width == 4 ? be32(qint32(huge)) : be64(huge)) +
           be32(-1) + be32(-1);
}

} // namespace

class HeaderTest : public QObject
{
    Q_OBJECT

private slots:
    void versionParsing();
    void newArchive();
    void storedVersions();
    void refusedFiles_data();
    void refusedFiles();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
};

// Missing parts are 0, four or more parts give 0.0.0, a part that is not a decimal 32-bit
// number gives 0 for its own field only. Each case is "text>parsed".
void HeaderTest::versionParsing()
{
    const QStringList cases =
        QStringLiteral("1.2.3>1.2.3 7>7.0.0 1.2>1.2.0 1..3>1.0.3 x.2.3>0.2.3 1.2.3.4>0.0.0 "
                       ">0.0.0 ...>0.0.0 -1.2.-3>-1.2.-3 010.08.09>10.8.9 0x10.2.3>0.2.3 "
                       "4294967296.1.2>0.1.2 2147483647.0.1>2147483647.0.1")
            .split(QLatin1Char(' '));
    for (const QString& c : cases)
        QCOMPARE(text(Archive::Version(c.section(QLatin1Char('>'), 0, 0))), c.section('>', 1));
}

// writeHeader straight after construction: version 4 and the directory entry as it stands
// (empty, no blocks), with the archive's block size and application version. Then the whole
// file of a new archive; docs/format.md shows it in hexadecimal, and every dump line there
// must match.
void HeaderTest::newArchive()
{
    const QString file = path(QStringLiteral("new.kar"));
    Archive a(file, 512);
    a.setApplicationVersion(Archive::Version(4, -5, 6));
    QVERIFY(TestAccess::file(a).open(QIODevice::ReadWrite));
    TestAccess::writeHeader(a);
    TestAccess::file(a).close();
    QCOMPARE(readHostFile(file), padded(header(4, 512, 0, 0, -1, -1, a.applicationVersion()), 256));
    QVERIFY(QFile::remove(file) && Archive(file).open(QIODevice::ReadWrite));
    QCOMPARE(readHostFile(file), newArchiveFile());

    QFile doc(QStringLiteral(KEST_FORMAT_DOCUMENT));
    QVERIFY(doc.open(QIODevice::ReadOnly | QIODevice::Text));
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
        checked += offset < 70 ? shown.size() : 0;
    }
    QVERIFY(checked >= 70); // the dump covers the header fields
}

// A small archive of each stored version (block 0 the table, block 1 the directory) is read with
// its area and size width, and written back keeping its area, stating a version that agrees with it
// (3 or 4) and storing 8-byte sizes. The second pass reads what the first wrote back, after
// versions 1 and 2 left the process-wide size width at 4.
void HeaderTest::storedVersions()
{
    for (int stored = 1; stored <= 5; ++stored) {
        const qint64 huge = stored <= 2 ? qint64(0xFFFFFFFFu) : (qint64(1) << 32) + 5;
        const auto build = [huge](int version, const Archive::Version& app, int width) {
            const QByteArray dir = smallDirectory(width, huge);
            return archiveFile(version, header(version, 128, 2, dir.size(), 1, 1, app),
                               tableBlock(128) + padded(dir, 128));
        };
        int version = stored;
        Archive::Version app(stored >= 2 ? QStringLiteral("1.2.3") : QString());
        const QString file = path(QStringLiteral("v%1.kar").arg(stored));
        QVERIFY(writeHostFile(file, build(stored, app, stored <= 2 ? 4 : 8)));
        QCOMPARE(text(Archive::peekVersion(file)), text(app));
        for (int pass = 0; pass < 2; ++pass) {
            Archive a(file);
            QVERIFY(a.open(QIODevice::ReadWrite));
            QVERIFY(Archive::isArchive(file)); // takes no lock: this archive is held for writing
            QCOMPARE(a.formatVersion(), version);
            QCOMPARE(TestAccess::headerSize(a), version <= 3 ? 64u : 256u);
            QCOMPARE(text(a.applicationVersion()), text(app));
            // Table entries under a longer header are rebuilt: one cluster, a one-block directory.
            QCOMPARE(TestAccess::table(a).mid(0, 3), (QList<int>{End, End, Invalid}));
            QCOMPARE(TestAccess::root(a)->child(QStringLiteral("huge"))->size(), huge);
            a.setApplicationVersion(app = Archive::Version(9, 8, pass));
            TestAccess::flush(a, true);
            QCOMPARE(a.formatVersion(), version);
            version = version <= 3 ? 3 : 4;
            QCOMPARE(readHostFile(file), build(version, app, 8));
        }
    }
}

void HeaderTest::refusedFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<bool>("signature");     // what isArchive answers
    QTest::addColumn<QString>("refusal");    // what readHeader says after "readHeader: "

    const auto patched = [](int offset, const QByteArray& bytes) {
        return newArchiveFile().replace(offset, bytes.size(), bytes);
    };
    QTest::newRow("missing") << QByteArray() << false << QString();
    QTest::newRow("empty") << QByteArray("") << false << "not a QEL Archive";
    QTest::newRow("little-endian")
        << QByteArray::fromHex("efd56b13") << false << "not a QEL Archive";
    QTest::newRow("signature alone") << QByteArray::fromHex("136bd5ef") << true << "I/O error";
    QTest::newRow("block size 7") << patched(20, be32(7)) << true << "block size 7 is out of range";
    QTest::newRow("block size 64 MiB + 1")
        << patched(20, be32(64 * 1024 * 1024 + 1)) << true << "block size 67108865 is out of range";
    QTest::newRow("blocks per cluster")
        << patched(28, be32(1023)) << true
        << "1023 blocks per cluster do not match blocks of 4096 bytes";
    QTest::newRow("negative block count")
        << patched(24, be32(-5)) << true << "negative block count -5";
    QTest::newRow("free-list head = count")
        << patched(32, be32(2)) << true << "free-list head 2 is not a block of the archive";
    QTest::newRow("free-list head INVALID")
        << patched(32, be32(-2)) << true << "free-list head -2 is not a block of the archive";
    QTest::newRow("directory first")
        << patched(62, be32(2)) << true << "directory block 2 is not a block of the archive";
    QTest::newRow("directory last")
        << patched(66, be32(-3)) << true << "directory block -3 is not a block of the archive";
}

// isArchive looks at the signature alone; peekVersion gives 0.0.0 for what it cannot read;
// readHeader throws a std::runtime_error, whose text open reports (open catches no other
// kind); a refused open writes nothing and lets the lock go.
void HeaderTest::refusedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, signature);
    QFETCH(QString, refusal);

    const QString message = content.isNull() ? QStringLiteral("open: cannot open file")
                                             : QStringLiteral("readHeader: ") + refusal;
    const QString file = path(QStringLiteral("candidate"));
    if (content.isNull())
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("\"Cannot open %1\"").arg(file)));
    else
        QVERIFY(writeHostFile(file, content));
    QCOMPARE(Archive::isArchive(file), signature);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QCOMPARE(text(Archive::peekVersion(file)), QStringLiteral("0.0.0"));
    QCOMPARE(QFile::exists(file), !content.isNull());
    if (content.isNull())
        return;

    Archive a(file);
    QVERIFY(TestAccess::file(a).open(QIODevice::ReadOnly));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, TestAccess::readHeader(a));
    TestAccess::file(a).close();
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QVERIFY(!a.open(QIODevice::ReadWrite));
    QCOMPARE(a.mode(), 0);
    QCOMPARE(readHostFile(file), content);
    Kest::QtLockedFile other(file);
    QVERIFY(other.open(QIODevice::ReadWrite) && other.lock(Kest::QtLockedFile::WriteLock, false));
}

QTEST_GUILESS_MAIN(HeaderTest)
#include "tst_header.moc"
