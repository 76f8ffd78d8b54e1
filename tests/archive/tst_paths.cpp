// Paths and folders: what each operation on one entry does with a path and reports, the raw
// text rules of local names and parents, the reserved name of the directory stream, the order
// of a folder's entries across a reload, and a read-only archive.

#include "ArchiveTestUtil.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <tuple>

using namespace Kest::Ar;

class tst_Paths : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Archive> archive_;

    void reopen(QIODevice::OpenMode mode)
    {
        archive_.reset(new Archive(dir_->filePath(QStringLiteral("paths.qel"))));
        QVERIFY(archive_->open(mode));
    }
    void member(const QString& name) { QVERIFY(KestTest::writeMember(*archive_, name, "x")); }
    // The tree below a folder, in stored order: "name" for a member, "name(...)" for a folder.
    static QString tree(const FolderEntry* folder)
    {
        QStringList names;
        for (const Entry* child : *folder) {
            const auto* sub = child->isFolder() ? static_cast<const FolderEntry*>(child) : nullptr;
            names << (sub ? child->name() + '(' + tree(sub) + ')' : child->name());
        }
        return names.join(' ');
    }
    QString state() const
    {
        return tree(TestAccess::root(*archive_)) + " @" + archive_->currentFolder();
    }

private slots:
    void init()
    {
        archive_.reset();
        dir_.reset(new QTemporaryDir);
        reopen(QIODevice::ReadWrite);
    }

    void operations_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("readOnly");
        const auto row = [](const char* op, const char* target, bool result,
                            const QStringList& messages, const char* after = nullptr) {
            for (bool readOnly : {false, true})
                QTest::addRow("%s %s%s", op, target, readOnly ? ", read-only archive" : "")
                    << QString(op) << QString(target) << result << messages
                    << QString(after ? after : "") << readOnly;
        };
        // "/" and "//" name the root, and only the root.
        row("cd", "//", true, {}, "e() d(sub()) f @/");
        row("mkdir", "/", false, {"makeFolder: / already exists"});
        row("rmdir", "//", false, {"removeFolder: the root folder cannot be removed"});
        row("exists", "/", false, {});
        row("entry", "//", false, {"fileEntry: / is a folder"});
        row("rm", "/", false, {"removeFile: / is not a file"});
        // Trailing separators are ignored; a relative path names an entry of the current folder
        // whatever comes before its last "/"; "." and ".." are ordinary names.
        row("cd", "/d/sub//", true, {}, "e() d(sub()) f @sub");
        row("mkdir", "q/r", true, {}, "e(r()) d(sub()) f @e");
        row("mkdir", "/d/new/", true, {}, "e() d(sub() new()) f @e");
        row("mkdir", "/..", true, {}, "e() d(sub()) f ..() @e");
        row("rmdir", "/d/sub/", true, {}, "e() d() f @e");
        row("entry", "x/n", true, {}, "e(n) d(sub()) f @e");
        row("rm", "/f/", true, {}, "e() d(sub()) @e");
        // Refusals; a failure found while walking to the parent is reported twice, in order.
        row("cd", "/D", false, {"setCurrentFolder: D does not exist"});
        row("mkdir", "/a/b", false,
            {"parent: a does not exist", "makeFolder: parent of b does not exist"});
        row("mkdir", "/d", false, {"makeFolder: d already exists"});
        row("mkdir", "/f", false, {"makeFolder: f already exists"});
        row("rmdir", "/d", false, {"removeFolder: d is not empty"});
        row("rmdir", "/e", false, {"removeFolder: e is the current folder"});
        row("exists", "/d", false, {});
        row("exists", "/f/x", false,
            {"parent: f is not a folder", "fileExists: parent of x does not exist"});
        row("entry", "/d", false, {"fileEntry: d is a folder"});
        row("rm", "/d", false, {"removeFile: d is not a file"});
        row("rm", "/x/f", false,
            {"parent: x does not exist", "removeFile: parent of f does not exist"});
        // Removing what does not exist reports it and succeeds.
        row("rmdir", "/nothing", true, {"removeFolder: nothing does not exist"});
        row("rm", "/none", true, {"removeFile: none does not exist"});
        // "qel_dir" names the directory stream only for fileExists and fileEntry.
        row("exists", "qel_dir", true, {});
        row("exists", "/qel_dir", false, {});
        row("rm", "qel_dir", true, {"removeFile: qel_dir does not exist"});
    }

    // Each operation from the current folder /e of the tree "e() d(sub()) f": its result, its
    // messages in order, the tree and current folder it leaves (unchanged when not given), and
    // what reaches the file: only removeFile writes the tree back, and only when the archive
    // is writable; a read-only archive's tree changes in memory all the same.
    void operations()
    {
        QFETCH(QString, op);
        QFETCH(QString, target);
        QFETCH(bool, result);
        QFETCH(QStringList, messages);
        QFETCH(QString, after);
        QFETCH(bool, readOnly);
        QVERIFY(archive_->makeFolder("/e"));
        QVERIFY(archive_->makeFolder("/d"));
        QVERIFY(archive_->makeFolder("/d/sub"));
        member("/f");
        if (readOnly)
            reopen(QIODevice::ReadOnly);
        QVERIFY(archive_->setCurrentFolder("e"));
        const QString before = state();
        const QHash<QString, std::function<bool()>> operation{
            {"cd", [&] { return archive_->setCurrentFolder(target); }},
            {"mkdir", [&] { return archive_->makeFolder(target); }},
            {"rmdir", [&] { return archive_->removeFolder(target); }},
            {"exists", [&] { return archive_->fileExists(target); }},
            {"entry", [&] { return TestAccess::fileEntry(*archive_, target) != nullptr; }},
            {"rm", [&] { return archive_->removeFile(target); }}};
        KestTest::MessageLog log; // records what follows, in order
        QCOMPARE(operation[op](), result);
        for (QString& message : messages)
            message = KestTest::quoted(message);
        QCOMPARE(log.messages, messages);
        const QString expected = after.isEmpty() ? before : after;
        QCOMPARE(state(), expected);
        reopen(QIODevice::ReadOnly);
        QCOMPARE(state(),
                 (op == "rm" && !readOnly ? expected : before).section(" @", 0, 0) + " @/");
    }

    // The local name is the text after the last "/"; the parent of a relative path is the
    // current folder, that of an absolute one is found by walking its non-empty components
    // but the last.
    void localNameAndParentOfRawText()
    {
        QVERIFY(archive_->makeFolder("/a"));
        QVERIFY(archive_->makeFolder("/a/b"));
        QVERIFY(archive_->setCurrentFolder("/a/b"));
        FolderEntry* a = static_cast<FolderEntry*>(KestTest::findEntry(*archive_, "/a"));
        FolderEntry* here = TestAccess::currentFolderEntry(*archive_);
        const QList<std::tuple<QString, QString, FolderEntry*>> cases{
            {"/a/b", "b", a},
            {"x/b", "b", here},
            {"//a///b", "b", a},
            {"/a/b/", "", a},
            {"/", "", TestAccess::root(*archive_)}};
        for (const auto& [raw, local, parent] : cases) {
            QCOMPARE(TestAccess::localName(*archive_, raw), local);
            QCOMPARE(TestAccess::parent(*archive_, raw), parent);
        }
    }

    // "qel_dir" as a whole is the directory stream even beside a member of that name, which
    // stays reachable by any other spelling and cannot be removed while a File has it open.
    void reservedNameAndOpenMember()
    {
        QVERIFY(KestTest::writeMember(*archive_, "/qel_dir", "member"));
        QCOMPARE(TestAccess::fileEntry(*archive_, "qel_dir"), TestAccess::directory(*archive_));
        const QByteArray directory = KestTest::readMember(*archive_, "qel_dir");
        QVERIFY(directory.startsWith(KestTest::qstringBytes("qel_root")));
        File open(archive_.get(), "x/qel_dir");
        QVERIFY(open.open(QIODevice::ReadOnly));
        QCOMPARE(open.readAll(), QByteArray("member"));
        QTest::ignoreMessage(QtDebugMsg, KestTest::quoted("removeFile: qel_dir is open"));
        QVERIFY(!archive_->removeFile("/qel_dir"));
        open.close();
        QVERIFY(archive_->removeFile("/qel_dir"));
        QVERIFY(archive_->list().isEmpty());
    }

    // Entries keep the order in which they were made, also after a reload (a new entry goes
    // last, whatever was removed before it); the filters split that sequence.
    void listOrderAcrossReload()
    {
        QVERIFY(archive_->makeFolder("z"));
        member("m");
        member("gone");
        QVERIFY(archive_->makeFolder("a"));
        QVERIFY(archive_->removeFile("gone"));
        member("b");
        reopen(QIODevice::ReadOnly);
        QCOMPARE(archive_->list(Archive::Files), (QList<QString>{"m", "b"}));
        QCOMPARE(archive_->list(Archive::Folders), (QList<QString>{"z", "a"}));
        QCOMPARE(archive_->list(Archive::Filter(7)), (QList<QString>{"z", "m", "a", "b"}));
    }
};

QTEST_GUILESS_MAIN(tst_Paths)
#include "tst_paths.moc"
