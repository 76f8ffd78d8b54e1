// The directory entries: their stored form, loading damaged bodies, tree operations and
// the dump text.

#include "Entry.h"
#include "TestSupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <functional>
#include <memory>

using Kest::Ar::Entry;
using Kest::Ar::FileEntry;
using Kest::Ar::FolderEntry;
using KestTest::be32;
using KestTest::be64;
using KestTest::qstringBytes;

namespace {

QByteArray storedBody(const Entry& entry)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << entry;
    return bytes;
}

QByteArray storedWithType(const Entry& entry)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    entry.store(out);
    return bytes;
}

QByteArray fileBody(const QString& name, qint64 size, qint32 first, qint32 last)
{
    return qstringBytes(name) + be64(size) + be32(first) + be32(last);
}

FileEntry* addFile(FolderEntry& folder, const QString& name, qint64 size, int first = 1,
                   int last = 1)
{
    FileEntry* file = folder.newFile(name);
    file->setSize(size);
    file->setFirstBlock(first);
    file->setLastBlock(last);
    return file;
}

FolderEntry* addFolder(FolderEntry& folder, const QString& name)
{
    auto* child = new FolderEntry(name);
    folder.addChild(child);
    return child;
}

QList<Entry*> childrenOf(const FolderEntry& folder)
{
    QList<Entry*> list;
    for (Entry* child : folder)
        list.append(child);
    return list;
}

QStringList namesOf(const FolderEntry& folder)
{
    QStringList names;
    for (const Entry* child : folder)
        names.append(child->name());
    return names;
}

// Empty but not null: stored with a byte count of 0 rather than the null marker.
const QString EmptyName = QString::fromLatin1("");

QString line(const QString& key, const QString& value)
{
    return key + QStringLiteral(" \t=\t ") + value + QLatin1Char('\n');
}

// Folders nested `depth` levels deep (the outermost is level 1), as a stored body.
QByteArray nestedFolders(int depth)
{
    QByteArray bytes;
    const QByteArray name = qstringBytes(QStringLiteral("d"));
    for (int level = 1; level < depth; ++level)
        bytes += name + be32(1) + be32(Entry::FolderType);
    return bytes + name + be32(0);
}

int depthOf(const FolderEntry& folder)
{
    int depth = 1;
    for (const FolderEntry* f = &folder; !f->isEmpty();) {
        f = static_cast<const FolderEntry*>(*f->begin());
        ++depth;
    }
    return depth;
}

} // namespace

class EntryTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void defaults();
    void storedFormOfTheExamples();
    void names_data();
    void names();
    void sizeWidths_data();
    void sizeWidths();
    void loadAndStore_data();
    void loadAndStore();
    void loadRefusesUnknownType_data();
    void loadRefusesUnknownType();
    void folderReadStopsAtUnknownChildType();
    void folderReadStopsAtStreamEnd_data();
    void folderReadStopsAtStreamEnd();
    void rereadReplacesChildren();
    void randomTreesRoundTrip();
    void deepNesting();

    void sizeSumsRecursively();
    void childLookup();
    void rename();
    void removeChild();
    void newFile();
    void dumpOfFile_data();
    void dumpOfFile();
    void dumpOfFolder();
};

void EntryTest::cleanup()
{
    FileEntry::setSizeWidth(8);
}

void EntryTest::defaults()
{
    const FileEntry unnamed;
    QVERIFY(unnamed.name().isNull());
    QCOMPARE(unnamed.size(), 0);
    QCOMPARE(unnamed.firstBlock(), -1);
    QCOMPARE(unnamed.lastBlock(), -1);
    QVERIFY(unnamed.isUnallocated());
    QVERIFY(!unnamed.isFolder());
    QCOMPARE(unnamed.type(), 0);
    QCOMPARE(unnamed.parent(), nullptr);
    QCOMPARE(storedBody(unnamed), QByteArray::fromHex("ffffffff"
                                                      "0000000000000000"
                                                      "ffffffff"
                                                      "ffffffff"));

    const FileEntry named(QStringLiteral("x"));
    QCOMPARE(named.name(), QStringLiteral("x"));
    QVERIFY(named.isUnallocated());

    const FolderEntry folder(QStringLiteral("f"));
    QVERIFY(folder.isEmpty());
    QVERIFY(folder.isFolder());
    QCOMPARE(folder.type(), 1);
    QCOMPARE(folder.size(), 0);
    QCOMPARE(folder.parent(), nullptr);
    QCOMPARE(storedBody(folder), qstringBytes(QStringLiteral("f")) + be32(0));
    QVERIFY(FolderEntry().name().isNull());

    // The allocation marker is the first block alone.
    FileEntry entry;
    entry.setLastBlock(4);
    QVERIFY(entry.isUnallocated());
    entry.setFirstBlock(0);
    QVERIFY(!entry.isUnallocated());
}

void EntryTest::storedFormOfTheExamples()
{
    FolderEntry root(QStringLiteral("qel_root"));
    const QByteArray emptyRoot = QByteArray::fromHex("00000010"
                                                     "00710065006c005f0072006f006f0074"
                                                     "00000000");
    QCOMPARE(emptyRoot.size(), 24);
    QCOMPARE(storedBody(root), emptyRoot);

    FileEntry* a = root.newFile(QStringLiteral("a"));
    a->setFirstBlock(1);
    a->setLastBlock(1);
    const QByteArray withA = emptyRoot.left(20) + QByteArray::fromHex("00000001"
                                                                      "00000000"
                                                                      "000000020061"
                                                                      "0000000000000000"
                                                                      "00000001"
                                                                      "00000001");
    QCOMPARE(storedBody(root), withA);

    // The same bytes read back give the same tree.
    FolderEntry reread;
    QDataStream in(withA);
    in >> reread;
    QCOMPARE(in.status(), QDataStream::Ok);
    QVERIFY(in.atEnd());
    QCOMPARE(reread.name(), QStringLiteral("qel_root"));
    QCOMPARE(namesOf(reread), QStringList{QStringLiteral("a")});
    const auto* file = static_cast<const FileEntry*>(reread.child(QStringLiteral("a")));
    QCOMPARE(file->size(), 0);
    QCOMPARE(file->firstBlock(), 1);
    QCOMPARE(file->lastBlock(), 1);
}

void EntryTest::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("stored");

    QTest::newRow("null") << QString() << QByteArray::fromHex("ffffffff");
    QTest::newRow("empty") << EmptyName << QByteArray::fromHex("00000000");
    QTest::newRow("one character") << QStringLiteral("a") << QByteArray::fromHex("000000020061");
    // Outside Latin-1, and a character outside the basic plane as two UTF-16 code units.
    QTest::newRow("not Latin-1") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac")
                                 << QByteArray::fromHex("0000000400e920ac");
    QTest::newRow("surrogate pair")
        << QString::fromUtf8("\xf0\x9f\x98\x80") << QByteArray::fromHex("00000004d83dde00");
}

// A name is the first field of every body; null and empty names are stored differently and
// read back as they were.
void EntryTest::names()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);

    FileEntry file(name);
    file.setSize(3);
    QCOMPARE(storedBody(file), stored + be64(3) + be32(-1) + be32(-1));
    FolderEntry folder(name);
    QCOMPARE(storedBody(folder), stored + be32(0));

    FileEntry fileBack(QStringLiteral("old"));
    QDataStream in(storedBody(file));
    in >> fileBack;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(fileBack.name(), name);
    QCOMPARE(fileBack.name().isNull(), name.isNull());
    QCOMPARE(fileBack.size(), 3);

    FolderEntry folderBack(QStringLiteral("old"));
    QDataStream folderIn(storedBody(folder));
    folderIn >> folderBack;
    QCOMPARE(folderBack.name().isNull(), name.isNull());
    QCOMPARE(folderBack.name(), name);
}

void EntryTest::sizeWidths_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("storedSize");
    QTest::addColumn<qint64>("size");

    QTest::newRow("8: 2^32 + 5") << 8 << be64((qint64(1) << 32) + 5) << (qint64(1) << 32) + 5;
    QTest::newRow("8: largest") << 8 << be64(std::numeric_limits<qint64>::max())
                                << std::numeric_limits<qint64>::max();
    QTest::newRow("8: zero") << 8 << be64(0) << qint64(0);
    QTest::newRow("4: FF FF FF FF is not -1")
        << 4 << QByteArray::fromHex("ffffffff") << qint64(4294967295);
    QTest::newRow("4: high bit set") << 4 << QByteArray::fromHex("80000000") << qint64(2147483648);
    QTest::newRow("4: small") << 4 << be32(5) << qint64(5);
}

// The size is read in the width set for the archive being read; the fields after it must be
// found where that width puts them.
void EntryTest::sizeWidths()
{
    QFETCH(int, width);
    QFETCH(QByteArray, storedSize);
    QFETCH(qint64, size);

    const QByteArray body =
        qstringBytes(QStringLiteral("f")) + storedSize + be32(12) + be32(34) + "tail";
    FileEntry::setSizeWidth(width);
    FileEntry entry;
    QDataStream in(body);
    in >> entry;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(entry.size(), size);
    QCOMPARE(entry.firstBlock(), 12);
    QCOMPARE(entry.lastBlock(), 34);
    QCOMPARE(in.device()->pos(), body.size() - 4);

    // Whatever width a body was read in, it is written with 8 bytes, and reads back so.
    FileEntry::setSizeWidth(8);
    const QByteArray written = storedBody(entry);
    QCOMPARE(written, fileBody(QStringLiteral("f"), size, 12, 34));
    FileEntry again;
    QDataStream back(written);
    back >> again;
    QCOMPARE(again.size(), size);
    QCOMPARE(again.lastBlock(), 34);
}

void EntryTest::loadAndStore_data()
{
    QTest::addColumn<bool>("folder");
    QTest::newRow("file") << false;
    QTest::newRow("folder") << true;
}

// store writes the type code before the body; load reads it and makes the matching class.
void EntryTest::loadAndStore()
{
    QFETCH(bool, folder);

    std::unique_ptr<Entry> original;
    QByteArray body;
    if (folder) {
        auto f = std::make_unique<FolderEntry>(QStringLiteral("dir"));
        addFile(*f, QStringLiteral("inner"), 77, 5, 6);
        body = qstringBytes(QStringLiteral("dir")) + be32(1) + be32(0) +
               fileBody(QStringLiteral("inner"), 77, 5, 6);
        original = std::move(f);
    } else {
        auto f = std::make_unique<FileEntry>(QStringLiteral("file"));
        f->setSize(-9); // any value survives, even one no member has
        f->setFirstBlock(8);
        f->setLastBlock(0x7fffffff);
        body = fileBody(QStringLiteral("file"), -9, 8, 0x7fffffff);
        original = std::move(f);
    }
    const QByteArray stored = storedWithType(*original);
    QCOMPARE(stored, be32(folder ? 1 : 0) + body);
    QCOMPARE(storedBody(*original), body);

    QDataStream in(stored + "more");
    std::unique_ptr<Entry> loaded(Entry::load(in));
    QVERIFY(loaded);
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(in.device()->pos(), stored.size());
    QCOMPARE(loaded->isFolder(), folder);
    QCOMPARE(loaded->type(), folder ? 1 : 0);
    QCOMPARE(loaded->parent(), nullptr);
    QCOMPARE(loaded->toString(), original->toString());
    QCOMPARE(storedWithType(*loaded), stored);
    if (folder) {
        const auto* f = static_cast<FolderEntry*>(loaded.get());
        QCOMPARE((*f->begin())->parent(), f);
    }
}

void EntryTest::loadRefusesUnknownType_data()
{
    QTest::addColumn<qint32>("code");
    QTest::newRow("2") << 2;
    QTest::newRow("-1") << -1;
    QTest::newRow("large") << 0x01000000;
}

void EntryTest::loadRefusesUnknownType()
{
    QFETCH(qint32, code);

    const QByteArray bytes = be32(code) + fileBody(QStringLiteral("x"), 1, 2, 3);
    QDataStream in(bytes);
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Invalid entry type %1").arg(code)));
    QCOMPARE(Entry::load(in), nullptr);
    QCOMPARE(in.device()->pos(), 4); // nothing after the code is read
}

// A child of unknown type ends the read: what follows it cannot be measured.
void EntryTest::folderReadStopsAtUnknownChildType()
{
    const QByteArray body = qstringBytes(QStringLiteral("top")) + be32(4) + be32(0) +
                            fileBody(QStringLiteral("a"), 1, 2, 2) +                  // read
                            be32(1) + qstringBytes(QStringLiteral("sub")) + be32(0) + // read
                            be32(2) + fileBody(QStringLiteral("b"), 1, 3, 3) +        // bad
                            be32(0) + fileBody(QStringLiteral("c"), 1, 4, 4);

    FolderEntry folder(QStringLiteral("old"));
    addFile(folder, QStringLiteral("previous"), 9);
    QDataStream in(body);
    QTest::ignoreMessage(QtDebugMsg, "Invalid entry type 2");
    in >> folder;
    QCOMPARE(in.status(), QDataStream::ReadCorruptData);
    QCOMPARE(folder.name(), QStringLiteral("top"));
    QCOMPARE(namesOf(folder), (QStringList{QStringLiteral("a"), QStringLiteral("sub")}));
    for (const Entry* child : folder)
        QCOMPARE(child->parent(), &folder);
    QCOMPARE(folder.size(), 1);

    // The same inside a subfolder: the subfolder stops, and so does every folder above it.
    // The subfolder was not read whole, so it is not kept either.
    const QByteArray nested = qstringBytes(QStringLiteral("top")) + be32(3) + be32(0) +
                              fileBody(QStringLiteral("a"), 1, 2, 2) + be32(1) +
                              qstringBytes(QStringLiteral("sub")) + be32(2) + be32(0) +
                              fileBody(QStringLiteral("b"), 1, 3, 3) + be32(7) + be32(0) +
                              fileBody(QStringLiteral("later"), 1, 4, 4);
    FolderEntry outer;
    QDataStream nestedIn(nested);
    QTest::ignoreMessage(QtDebugMsg, "Invalid entry type 7");
    nestedIn >> outer;
    QCOMPARE(nestedIn.status(), QDataStream::ReadCorruptData);
    QCOMPARE(outer.name(), QStringLiteral("top"));
    QCOMPARE(namesOf(outer), QStringList{QStringLiteral("a")});
}

void EntryTest::folderReadStopsAtStreamEnd_data()
{
    QTest::addColumn<quint32>("count");
    QTest::addColumn<QByteArray>("partial"); // the bytes after the one complete child

    // Counts that no directory reaches: room reserved for them would be gigabytes, and a
    // loop that ran on past the stream's end would take minutes.
    QTest::newRow("largest count, nothing more") << 0xFFFFFFFFu << QByteArray();
    QTest::newRow("2^31, half a type code") << 0x80000000u << QByteArray::fromHex("0000");
    QTest::newRow("2^31 - 1, a file cut in its size")
        << 0x7FFFFFFFu << be32(0) + qstringBytes(QStringLiteral("cut")) + QByteArray(3, '\0');
    QTest::newRow("3, a folder cut in its name")
        << 3u << be32(1) + be32(20) + QByteArray("\0x\0y", 4);
}

void EntryTest::folderReadStopsAtStreamEnd()
{
    QFETCH(quint32, count);
    QFETCH(QByteArray, partial);

    const QByteArray body = qstringBytes(QStringLiteral("f")) + be32(qint32(count)) + be32(0) +
                            fileBody(QStringLiteral("whole"), 10, 1, 1) + partial;
    FolderEntry folder;
    QDataStream in(body);
    in >> folder;
    QCOMPARE(in.status(), QDataStream::ReadPastEnd);
    QVERIFY(in.atEnd());
    // The complete child is kept; nothing is made of a body that the stream cut short.
    QCOMPARE(namesOf(folder), QStringList{QStringLiteral("whole")});
    QCOMPARE(folder.size(), 10);
}

// Reading into a folder replaces its name and its whole subtree; the old children are gone
// (the sanitizer build sees a leak or a double delete) and the new ones point back.
void EntryTest::rereadReplacesChildren()
{
    FolderEntry folder(QStringLiteral("before"));
    addFile(folder, QStringLiteral("x"), 1);
    FolderEntry* oldSub = addFolder(folder, QStringLiteral("y"));
    addFile(*oldSub, QStringLiteral("z"), 2);

    FolderEntry model(QStringLiteral("after"));
    addFile(model, QStringLiteral("p"), 3, 7, 9);
    FolderEntry* q = addFolder(model, QStringLiteral("q"));
    addFile(*q, QStringLiteral("r"), 4, 11, 11);
    addFile(model, QStringLiteral("p"), 5, 12, 12); // duplicates are read as stored
    const QByteArray stored = storedBody(model);

    for (int round = 0; round < 2; ++round) {
        QDataStream in(stored);
        in >> folder;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(folder.name(), QStringLiteral("after"));
        QCOMPARE(namesOf(folder),
                 (QStringList{QStringLiteral("p"), QStringLiteral("q"), QStringLiteral("p")}));
        for (const Entry* child : folder)
            QCOMPARE(child->parent(), &folder);
        const auto* sub = static_cast<const FolderEntry*>(folder.child(QStringLiteral("q")));
        QVERIFY(sub && sub->isFolder());
        QCOMPARE((*sub->begin())->parent(), sub);
        QCOMPARE(folder.child(QStringLiteral("p"))->size(), 3); // the first of the two
        QCOMPARE(folder.size(), 12);
        QCOMPARE(folder.toString(), model.toString());
    }
    // An empty body empties the folder.
    QDataStream empty(qstringBytes(QString()) + be32(0));
    empty >> folder;
    QVERIFY(folder.isEmpty());
    QVERIFY(folder.name().isNull());
}

// Random trees survive writing and reading: same dump, same bytes when written again.
void EntryTest::randomTreesRoundTrip()
{
    QRandomGenerator random(20240601);
    const QStringList pool{QString(),
                           EmptyName,
                           QStringLiteral("a"),
                           QStringLiteral("A"),
                           QStringLiteral("report.txt"),
                           QString::fromUtf8("\xc3\xa9t\xc3\xa9"),
                           QString(300, QLatin1Char('n'))};
    std::function<void(FolderEntry&, int)> grow = [&](FolderEntry& folder, int depth) {
        const int children = int(random.bounded(depth > 4 ? 2 : 6));
        for (int i = 0; i < children; ++i) {
            const QString name =
                pool[random.bounded(int(pool.size()))] + QString::number(random.bounded(3));
            if (depth < 6 && random.bounded(3) == 0) {
                grow(*addFolder(folder, name), depth + 1);
            } else {
                // Up to 2^48: beyond 32 bits, yet a folder's sum cannot overflow.
                const qint64 size = qint64(random.generate64() >> random.bounded(16, 64));
                addFile(folder, name, size, int(random.bounded(-1, 1 << 30)),
                        int(random.bounded(-1, 1 << 30)));
            }
        }
    };
    for (int trial = 0; trial < 200; ++trial) {
        FolderEntry root(QStringLiteral("qel_root"));
        grow(root, 0);
        const QByteArray stored = storedBody(root);
        FolderEntry back;
        QDataStream in(stored);
        in >> back;
        QCOMPARE(in.status(), QDataStream::Ok);
        QVERIFY(in.atEnd());
        QCOMPARE(back.toString(), root.toString());
        QCOMPARE(back.size(), root.size());
        QCOMPARE(storedBody(back), stored);
    }
}

// A damaged directory may nest folders deeper than any real tree. Up to 4096 levels are read;
// deeper nesting is refused as corrupt data rather than exhausting the stack, and the refusal
// leaves the reader able to read the next directory.
void EntryTest::deepNesting()
{
    {
        FolderEntry root;
        QDataStream in(nestedFolders(4096));
        in >> root;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(depthOf(root), 4096);
        QCOMPARE(storedBody(root), nestedFolders(4096));
    }
    for (const int depth : {4097, 100000}) {
        FolderEntry root;
        QDataStream in(nestedFolders(depth));
        in >> root;
        QCOMPARE(in.status(), QDataStream::ReadCorruptData);
        // No level was read whole, so none is kept.
        QVERIFY(root.isEmpty());
    }
    FolderEntry shallow;
    QDataStream in(nestedFolders(3));
    in >> shallow;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(depthOf(shallow), 3);
}

// ---- Tree operations ----------------------------------------------------------------------

void EntryTest::sizeSumsRecursively()
{
    FolderEntry root;
    QCOMPARE(root.size(), 0);
    addFile(root, QStringLiteral("ten"), 10);
    FolderEntry* sub = addFolder(root, QStringLiteral("sub"));
    addFile(*sub, QStringLiteral("five"), 5);
    QCOMPARE(root.size(), 15);
    QCOMPARE(sub->size(), 5);

    FolderEntry* deep = addFolder(*addFolder(*sub, QStringLiteral("empty")), QStringLiteral("d"));
    QCOMPARE(root.size(), 15);
    addFile(*deep, QStringLiteral("big"), qint64(1) << 40);
    QCOMPARE(root.size(), 15 + (qint64(1) << 40));
    QCOMPARE(sub->size(), 5 + (qint64(1) << 40));
}

void EntryTest::childLookup()
{
    FolderEntry folder;
    FileEntry* lower = addFile(folder, QStringLiteral("a"), 1);
    QCOMPARE(folder.child(QStringLiteral("a")), lower);
    QCOMPARE(folder.child(QStringLiteral("A")), nullptr);
    QVERIFY(!folder.contains(QStringLiteral("A")));
    QVERIFY(!folder.contains(QStringLiteral("a ")));
    QVERIFY(!folder.contains(EmptyName));

    FolderEntry* upper = addFolder(folder, QStringLiteral("A"));
    QCOMPARE(folder.child(QStringLiteral("A")), upper);
    QCOMPARE(folder.child(QStringLiteral("a")), lower);

    // addChild does not check names; lookups find the first in list order.
    FileEntry* second = addFile(folder, QStringLiteral("a"), 2);
    QCOMPARE(folder.child(QStringLiteral("a")), lower);
    QCOMPARE(childrenOf(folder), (QList<Entry*>{lower, upper, second}));

    // An empty name and a null name are the same text.
    FileEntry* empty = addFile(folder, EmptyName, 3);
    QCOMPARE(folder.child(QString()), empty);
}

void EntryTest::rename()
{
    FolderEntry folder;
    FileEntry* a = addFile(folder, QStringLiteral("a"), 1);
    FileEntry* b = addFile(folder, QStringLiteral("b"), 2);

    QVERIFY(!folder.rename(a, QStringLiteral("b")));
    QCOMPARE(a->name(), QStringLiteral("a"));
    QVERIFY(!folder.rename(a, QStringLiteral("a"))); // its own name is taken too
    QCOMPARE(a->name(), QStringLiteral("a"));

    QVERIFY(folder.rename(a, QStringLiteral("B")));
    QCOMPARE(a->name(), QStringLiteral("B"));
    QCOMPARE(folder.child(QStringLiteral("B")), a);
    QCOMPARE(folder.child(QStringLiteral("a")), nullptr);
    QCOMPARE(folder.child(QStringLiteral("b")), b);
    QCOMPARE(childrenOf(folder), (QList<Entry*>{a, b})); // the order is kept
    QCOMPARE(a->parent(), &folder);
}

void EntryTest::removeChild()
{
    FolderEntry folder;
    FileEntry* a = addFile(folder, QStringLiteral("a"), 1);
    FolderEntry* sub = addFolder(folder, QStringLiteral("sub"));
    addFile(*addFolder(*sub, QStringLiteral("deeper")), QStringLiteral("x"), 4);
    FileEntry* c = addFile(folder, QStringLiteral("c"), 2);

    folder.removeChild(sub); // deletes the subtree (the sanitizer build checks)
    QCOMPARE(childrenOf(folder), (QList<Entry*>{a, c}));
    QCOMPARE(folder.size(), 3);

    // Every occurrence of the pointer goes.
    folder.addChild(a);
    QCOMPARE(childrenOf(folder), (QList<Entry*>{a, c, a}));
    folder.removeChild(a);
    QCOMPARE(childrenOf(folder), QList<Entry*>{c});
    folder.removeChild(c);
    QVERIFY(folder.isEmpty());
    QCOMPARE(folder.size(), 0);
}

void EntryTest::newFile()
{
    FolderEntry folder(QStringLiteral("f"));
    addFolder(folder, QStringLiteral("first"));
    FileEntry* made = folder.newFile(QStringLiteral("n"));
    QVERIFY(made);
    QCOMPARE(made->name(), QStringLiteral("n"));
    QCOMPARE(made->size(), 0);
    QCOMPARE(made->firstBlock(), -1);
    QCOMPARE(made->lastBlock(), -1);
    QVERIFY(made->isUnallocated());
    QCOMPARE(made->parent(), &folder);
    QCOMPARE(childrenOf(folder).last(), static_cast<Entry*>(made));
    QCOMPARE(folder.child(QStringLiteral("n")), made);
    QCOMPARE(storedBody(folder), qstringBytes(QStringLiteral("f")) + be32(2) + be32(1) +
                                     qstringBytes(QStringLiteral("first")) + be32(0) + be32(0) +
                                     fileBody(QStringLiteral("n"), 0, -1, -1));
}

void EntryTest::dumpOfFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<QString>("expected");

    QTest::newRow("x") << QStringLiteral("x") << qint64(3) << 7 << 7
                       << "name \t=\t x\ntype \t=\t FILE\nsize \t=\t 3\nfirstBlock \t=\t 7\n"
                          "lastBlock \t=\t 7\n";
    QTest::newRow("unallocated, null name")
        << QString() << qint64(0) << -1 << -1
        << "name \t=\t \ntype \t=\t FILE\nsize \t=\t 0\nfirstBlock \t=\t -1\n"
           "lastBlock \t=\t -1\n";
    QTest::newRow("64-bit size") << QStringLiteral("big") << (qint64(1) << 40) << 1025 << 2049
                                 << "name \t=\t big\ntype \t=\t FILE\nsize \t=\t 1099511627776\n"
                                    "firstBlock \t=\t 1025\nlastBlock \t=\t 2049\n";
}

void EntryTest::dumpOfFile()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(QString, expected);

    FileEntry entry(name);
    entry.setSize(size);
    entry.setFirstBlock(first);
    entry.setLastBlock(last);
    QCOMPARE(entry.toString(), expected);
    const Entry& base = entry; // the text is the same through the base class
    QCOMPARE(base.toString(), expected);
}

// A folder's dump lists its whole subtree in pre-order.
void EntryTest::dumpOfFolder()
{
    FolderEntry root(QStringLiteral("qel_root"));
    QCOMPARE(root.toString(),
             line("name", "qel_root") + line("type", "FOLDER") + line("nChildren", "0"));

    addFile(root, QStringLiteral("a"), 10, 1, 2);
    FolderEntry* sub = addFolder(root, QStringLiteral("sub"));
    addFile(*sub, QStringLiteral("b"), 5, 3, 3);
    addFolder(*sub, QStringLiteral("empty"));
    addFile(root, QStringLiteral("c"), 0, -1, -1);

    const QString child = QStringLiteral("*** child ***\n");
    const QString expected =
        line("name", "qel_root") + line("type", "FOLDER") + line("nChildren", "3") + child +
        line("name", "a") + line("type", "FILE") + line("size", "10") + line("firstBlock", "1") +
        line("lastBlock", "2") + child + line("name", "sub") + line("type", "FOLDER") +
        line("nChildren", "2") + child + line("name", "b") + line("type", "FILE") +
        line("size", "5") + line("firstBlock", "3") + line("lastBlock", "3") + child +
        line("name", "empty") + line("type", "FOLDER") + line("nChildren", "0") + child +
        line("name", "c") + line("type", "FILE") + line("size", "0") + line("firstBlock", "-1") +
        line("lastBlock", "-1");
    QCOMPARE(root.toString(), expected);
}

QTEST_GUILESS_MAIN(EntryTest)
#include "tst_entry.moc"
