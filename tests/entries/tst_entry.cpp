// The directory entries: their stored form, damaged bodies, tree operations and dump text.

#include "Entry.h"
#include "TestSupport.h"

#include <QtTest>

#include <limits>

using namespace Kest::Ar;
using namespace KestTest;

namespace {

QByteArray stored(const Entry& entry)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << entry;
    return bytes;
}

FileEntry* addFile(FolderEntry& folder, const QString& name, qint64 size, int first, int last)
{
    FileEntry* file = folder.newFile(name);
    file->setSize(size);
    file->setFirstBlock(first);
    file->setLastBlock(last);
    return file;
}

FolderEntry* addFolder(FolderEntry& parent, const QString& name)
{
    auto* folder = new FolderEntry(name);
    parent.addChild(folder);
    return folder;
}

// The children's names, each marked "!" where its parent link does not point back.
QStringList namesOf(const FolderEntry& folder)
{
    QStringList names;
    for (const Entry* child : folder)
        names.append(child->name() + (child->parent() == &folder ? "" : "!"));
    return names;
}

// A file child as stored in a folder body: type code 0, then the body.
QByteArray fileChild(const QString& name)
{
    return be32(Entry::FileType) + qstringBytes(name) + be64(1) + be32(2) + be32(2);
}

QByteArray folderHead(const QString& name, quint32 count)
{
    return qstringBytes(name) + be32(qint32(count));
}

// Folders "d" nested `depth` levels deep (the outermost is level 1), as a stored body.
QByteArray nested(int depth)
{
    return (folderHead("d", 1) + be32(Entry::FolderType)).repeated(depth - 1) + folderHead("d", 0);
}

} // namespace

class EntryTest : public QObject
{
    Q_OBJECT

private slots:
    void storedForm();
    void damagedBodies_data();
    void damagedBodies();
    void treeOperationsAndDump();
};

// The worked example byte for byte: a folder whose children are a file (size beyond 32 bits),
// a folder with a name outside Latin-1 holding a file with a null name, and a folder with an
// empty name (stored differently from a null one). It reads back to the same tree, replacing
// what the folder held.
void EntryTest::storedForm()
{
    FolderEntry root("qel_root");
    addFile(root, "a", (qint64(1) << 32) + 5, 1, 0x7fffffff);
    addFile(*addFolder(root, QString::fromUtf8("\xc3\xa9\xe2\x82\xac")), QString(), 0, -1, -1);
    addFolder(root, QString::fromLatin1(""));
    const QByteArray fileBytes =
        QByteArray::fromHex("00000002 0061 0000000100000005 00000001 7fffffff");
    const QByteArray rootBytes =
        QByteArray::fromHex("00000010 00710065006c005f0072006f006f0074 00000003") + be32(0) +
        fileBytes +
        QByteArray::fromHex("00000001 00000004 00e920ac 00000001"
                            "         00000000 ffffffff 0000000000000000 ffffffff ffffffff"
                            "00000001 00000000 00000000");
    QCOMPARE(stored(root), rootBytes);

    FolderEntry back("old");
    addFolder(back, "replaced");
    QDataStream in(rootBytes);
    in >> back;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(stored(back), rootBytes);
    QCOMPARE(namesOf(back), namesOf(root));
}

void EntryTest::damagedBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<int>("badType"); // the unknown type code reported, or 0

    const int corrupt = QDataStream::ReadCorruptData;
    const int pastEnd = QDataStream::ReadPastEnd;
    // What follows a child of unknown type cannot be measured: reading stops, keeping the
    // children read whole.
    QTest::newRow("unknown child type")
        << folderHead("top", 4) + fileChild("a") + be32(1) + folderHead("sub", 0) + be32(2) +
               fileChild("b").mid(4) + fileChild("c")
        << corrupt << QStringList{"a", "sub"} << 2;
    // Counts no directory reaches: room reserved for them would be gigabytes, and a loop
    // running on past the stream's end would take minutes.
    QTest::newRow("largest count, nothing more")
        << folderHead("f", 0xFFFFFFFFu) + fileChild("whole") << pastEnd << QStringList{"whole"}
        << 0;
    QTest::newRow("2^31 - 1, a file cut in its size")
        << folderHead("f", 0x7FFFFFFFu) + fileChild("whole") + fileChild("cut").left(18) << pastEnd
        << QStringList{"whole"} << 0;
    // Deeper nesting than any real tree is refused rather than exhausting the stack; the
    // refusal leaves the reader able to read the next body.
    QTest::newRow("4097 levels") << nested(4097) << corrupt << QStringList() << 0;
    QTest::newRow("4096 levels") << nested(4096) << int(QDataStream::Ok) << QStringList{"d"} << 0;
}

void EntryTest::damagedBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QStringList, kept);
    QFETCH(int, badType);

    FolderEntry folder;
    if (badType != 0)
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("Invalid entry type %1").arg(badType)));
    QDataStream in(body);
    in >> folder;
    QCOMPARE(int(in.status()), status);
    QCOMPARE(namesOf(folder), kept);
    if (status == QDataStream::Ok)
        QCOMPARE(stored(folder), body);
}

// One tree through the operations a working archive uses: exact lookups that find the first
// of equal names, parent links, sizes summed through subfolders, the dump in pre-order,
// rename refusing a taken name (its own too), removal that deletes the subtree and every
// occurrence of the pointer, and sizes that saturate.
void EntryTest::treeOperationsAndDump()
{
    FolderEntry root("qel_root");
    FileEntry* a = addFile(root, "a", 10, 1, 2);
    FolderEntry* sub = addFolder(root, "sub");
    addFile(*sub, "b", (qint64(1) << 40), 3, 3);
    addFolder(*sub, "empty");
    FileEntry* c = root.newFile("c");
    QCOMPARE(root.child("a"), a);
    QCOMPARE(root.child("A"), nullptr);
    QVERIFY(!root.contains("a ") && !root.contains(""));
    QCOMPARE(namesOf(*sub), (QStringList{"b", "empty"}));
    QCOMPARE(root.size(), (qint64(1) << 40) + 10);
    // The dump lists the subtree in pre-order; every line reads "key \t=\t value".
    QCOMPARE(root.toString(),
             QString("name=qel_root\ntype=FOLDER\nnChildren=3\n*** child ***\nname=a\ntype=FILE\n"
                     "size=10\nfirstBlock=1\nlastBlock=2\n*** child ***\nname=sub\ntype=FOLDER\n"
                     "nChildren=2\n*** child ***\nname=b\ntype=FILE\nsize=1099511627776\n"
                     "firstBlock=3\nlastBlock=3\n*** child ***\nname=empty\ntype=FOLDER\n"
                     "nChildren=0\n*** child ***\nname=c\ntype=FILE\nsize=0\nfirstBlock=-1\n"
                     "lastBlock=-1\n")
                 .replace("=", " \t=\t "));

    QVERIFY(!root.rename(a, "c"));
    QVERIFY(!root.rename(a, "a"));
    QVERIFY(root.rename(a, "A"));
    QCOMPARE(root.child("A"), a);
    QCOMPARE(namesOf(root), (QStringList{"A", "sub", "c"}));
    addFile(root, "A", 7, 4, 4);
    QCOMPARE(root.child("A"), a);

    root.removeChild(sub); // the sanitizer build sees the subtree deleted once
    root.addChild(c);
    root.removeChild(c);
    QCOMPARE(namesOf(root), (QStringList{"A", "A"}));
    QCOMPARE(root.size(), 17);

    // Sizes come from the file and may be damaged: a folder's size saturates, never overflows.
    constexpr qint64 Max = std::numeric_limits<qint64>::max();
    FolderEntry* damaged = addFolder(root, "damaged");
    addFile(*damaged, "one", 1, 5, 5);
    addFile(*damaged, "most", Max - 1, 6, 6);
    QCOMPARE(damaged->size(), Max);
    addFile(*damaged, "more", Max, 7, 7);
    QCOMPARE(damaged->size(), Max);
    QCOMPARE(root.size(), Max);
}

QTEST_GUILESS_MAIN(EntryTest)
#include "tst_entry.moc"
