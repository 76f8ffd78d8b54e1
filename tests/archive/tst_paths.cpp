// Paths and folders: resolving paths, the current folder, making, removing and listing
// folders, finding member entries, the reserved name of the directory stream, and what
// reaches the file after a save and a reload.

#include "Archive.h"
#include "ArchiveTestUtil.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Kest::Ar;
using KestTest::MessageLog;
using KestTest::quoted;

class tst_Paths : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void currentFolderIsOneName();
    void setCurrentFolderFailures_data();
    void setCurrentFolderFailures();
    void relativePathUsesOnlyTheLastComponent();
    void makeFolderReportsMissingParentTwiceInOrder();
    void makeFolderRefusesExistingNames_data();
    void makeFolderRefusesExistingNames();
    void dotNamesAreOrdinary();
    void namesAreCaseSensitive();
    void removeFolder_data();
    void removeFolder();
    void removeFolderRefusesTheCurrentFolder();
    void trailingSeparatorsAreIgnored();
    void rootOnlyPaths_data();
    void rootOnlyPaths();
    void fileExists_data();
    void fileExists();
    void reservedDirectoryNameWinsOverAMember();
    void fileEntryFindsOrMakes();
    void fileEntryFailures_data();
    void fileEntryFailures();
    void localNameAndParentOfRawText_data();
    void localNameAndParentOfRawText();
    void removeFileRules_data();
    void removeFileRules();
    void listKeepsOrderAndFiltersAcrossReload();
    void readOnlyArchiveChangesTreeInMemoryOnly();

private:
    QString path() const { return dir_->filePath(QStringLiteral("paths.qel")); }
    void member(const QString& path, const QByteArray& bytes = QByteArray("x"))
    {
        QVERIFY(KestTest::writeMember(*archive_, path, bytes));
    }
    // The names in a folder, leaving that folder current.
    QList<QString> listIn(const QString& folder, Archive::Filter filter = Archive::All)
    {
        if (!archive_->setCurrentFolder(folder))
            return {QStringLiteral("<cannot enter %1>").arg(folder)};
        return archive_->list(filter);
    }
    void reopen(QIODevice::OpenMode mode = QIODevice::ReadWrite)
    {
        archive_.reset(new Archive(path()));
        QVERIFY(archive_->open(mode));
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Archive> archive_;
};

void tst_Paths::init()
{
    dir_.reset(new QTemporaryDir);
    QVERIFY(dir_->isValid());
    archive_.reset(new Archive(path()));
    QVERIFY(archive_->open(QIODevice::ReadWrite));
}

void tst_Paths::cleanup()
{
    archive_.reset();
    dir_.reset();
}

void tst_Paths::currentFolderIsOneName()
{
    QCOMPARE(archive_->currentFolder(), QStringLiteral("/"));
    QVERIFY(archive_->makeFolder("/a"));
    QVERIFY(archive_->makeFolder("/a/b"));
    QVERIFY(archive_->setCurrentFolder("/a"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("a"));
    QVERIFY(archive_->setCurrentFolder("/a/b"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("b"));
    // "/" is the only way back to the root.
    QVERIFY(archive_->setCurrentFolder("/"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("/"));
    QCOMPARE(TestAccess::currentFolderEntry(*archive_), TestAccess::root(*archive_));
    // A relative path names a child of the current folder.
    QVERIFY(archive_->setCurrentFolder("a"));
    QVERIFY(archive_->setCurrentFolder("b"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("b"));
    QCOMPARE(TestAccess::currentFolderEntry(*archive_), KestTest::findEntry(*archive_, "/a/b"));
}

void tst_Paths::setCurrentFolderFailures_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("missing parent") << "/nothing/b"
                                    << QStringList{"parent: nothing does not exist",
                                                   "setCurrentFolder: parent of b does not exist"};
    QTest::newRow("parent is a file")
        << "/f/x"
        << QStringList{"parent: f is not a folder", "setCurrentFolder: parent of x does not exist"};
    QTest::newRow("missing") << "/missing"
                             << QStringList{"setCurrentFolder: missing does not exist"};
    QTest::newRow("missing relative")
        << "gone" << QStringList{"setCurrentFolder: gone does not exist"};
    QTest::newRow("a file") << "/f" << QStringList{"setCurrentFolder: f is not a folder"};
    QTest::newRow("dot-dot is a name")
        << "/Docs/.." << QStringList{"setCurrentFolder: .. does not exist"};
}

void tst_Paths::setCurrentFolderFailures()
{
    QFETCH(QString, target);
    QFETCH(QStringList, messages);
    member("/f");
    QVERIFY(archive_->makeFolder("/Docs"));
    QVERIFY(archive_->setCurrentFolder("/Docs"));
    {
        MessageLog log;
        QVERIFY(!archive_->setCurrentFolder(target));
        QCOMPARE(log.messages, [&] {
            QStringList expected;
            for (const QString& m : messages)
                expected << QString::fromUtf8(quoted(m));
            return expected;
        }());
    }
    QCOMPARE(archive_->currentFolder(), QStringLiteral("Docs"));
}

void tst_Paths::relativePathUsesOnlyTheLastComponent()
{
    QVERIFY(archive_->makeFolder("/a"));
    QVERIFY(archive_->setCurrentFolder("/a"));
    // "q" is neither walked nor required to exist: "q/r" is "r" in the current folder.
    QVERIFY(archive_->makeFolder("q/r"));
    QCOMPARE(archive_->list(), QList<QString>{"r"});
    QVERIFY(KestTest::findEntry(*archive_, "/a/r"));
    QVERIFY(!KestTest::findEntry(*archive_, "/a/q"));

    member("nowhere/f");
    QCOMPARE(archive_->list(), (QList<QString>{"r", "f"}));
    QVERIFY(archive_->fileExists("elsewhere/f"));
    QVERIFY(archive_->setCurrentFolder("zzz/r"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("r"));
    QVERIFY(archive_->setCurrentFolder("/a"));
    QVERIFY(archive_->removeFolder("any/thing/r"));
    QCOMPARE(archive_->list(), QList<QString>{"f"});
    QCOMPARE(listIn("/"), QList<QString>{"a"});
}

void tst_Paths::makeFolderReportsMissingParentTwiceInOrder()
{
    MessageLog log;
    QVERIFY(!archive_->makeFolder("/a/b"));
    QCOMPARE(log.messages, (QStringList{quoted("parent: a does not exist"),
                                        quoted("makeFolder: parent of b does not exist")}));
    QVERIFY(archive_->list().isEmpty());
}

void tst_Paths::makeFolderRefusesExistingNames_data()
{
    QTest::addColumn<bool>("existingIsFile");
    QTest::newRow("folder") << false;
    QTest::newRow("member file") << true;
}

void tst_Paths::makeFolderRefusesExistingNames()
{
    QFETCH(bool, existingIsFile);
    if (existingIsFile)
        member("x");
    else
        QVERIFY(archive_->makeFolder("x"));
    QTest::ignoreMessage(QtDebugMsg, quoted("makeFolder: x already exists"));
    QVERIFY(!archive_->makeFolder("x"));
    QTest::ignoreMessage(QtDebugMsg, quoted("makeFolder: x already exists"));
    QVERIFY(!archive_->makeFolder("/x"));
    QCOMPARE(archive_->list(), QList<QString>{"x"});
    QCOMPARE(archive_->list(Archive::Files).size(), existingIsFile ? 1 : 0);
}

void tst_Paths::dotNamesAreOrdinary()
{
    QVERIFY(archive_->makeFolder(".."));
    QVERIFY(archive_->makeFolder("."));
    QVERIFY(archive_->makeFolder("/../inner"));
    QCOMPARE(archive_->list(Archive::Folders), (QList<QString>{"..", "."}));
    QVERIFY(archive_->setCurrentFolder(".."));
    QCOMPARE(archive_->currentFolder(), QStringLiteral(".."));
    QCOMPARE(archive_->list(), QList<QString>{"inner"});
    // ".." does not lead back up.
    QTest::ignoreMessage(QtDebugMsg, quoted("setCurrentFolder: .. does not exist"));
    QVERIFY(!archive_->setCurrentFolder(".."));
    QCOMPARE(archive_->currentFolder(), QStringLiteral(".."));
}

void tst_Paths::namesAreCaseSensitive()
{
    QVERIFY(archive_->makeFolder("Docs"));
    member("/Docs/Read");
    QTest::ignoreMessage(QtDebugMsg, quoted("setCurrentFolder: docs does not exist"));
    QVERIFY(!archive_->setCurrentFolder("docs"));
    QVERIFY(!archive_->fileExists("/Docs/read"));
    QVERIFY(archive_->fileExists("/Docs/Read"));
    QVERIFY(archive_->makeFolder("docs"));
    QCOMPARE(archive_->list(), (QList<QString>{"Docs", "docs"}));
}

void tst_Paths::removeFolder_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QList<QString>>("rootAfter");

    const QList<QString> all{"empty", "full", "f"};
    QTest::newRow("empty folder") << "/empty" << true << QStringList()
                                  << QList<QString>{"full", "f"};
    QTest::newRow("relative") << "empty" << true << QStringList() << QList<QString>{"full", "f"};
    QTest::newRow("missing reports and succeeds")
        << "/nothing" << true << QStringList{"removeFolder: nothing does not exist"} << all;
    QTest::newRow("holds an empty subfolder")
        << "/full" << false << QStringList{"removeFolder: full is not empty"} << all;
    QTest::newRow("a member file")
        << "/f" << false << QStringList{"removeFolder: f is not a folder"} << all;
    QTest::newRow("missing parent")
        << "/none/x" << false
        << QStringList{"parent: none does not exist", "removeFolder: parent of x does not exist"}
        << all;
    QTest::newRow("parent is a file")
        << "/f/x" << false
        << QStringList{"parent: f is not a folder", "removeFolder: parent of x does not exist"}
        << all;
}

void tst_Paths::removeFolder()
{
    QFETCH(QString, target);
    QFETCH(bool, result);
    QFETCH(QStringList, messages);
    QFETCH(QList<QString>, rootAfter);
    QVERIFY(archive_->makeFolder("/empty"));
    QVERIFY(archive_->makeFolder("/full"));
    QVERIFY(archive_->makeFolder("/full/sub"));
    member("/f");
    for (const QString& m : messages)
        QTest::ignoreMessage(QtDebugMsg, quoted(m));
    QCOMPARE(archive_->removeFolder(target), result);
    QCOMPARE(archive_->list(), rootAfter);
    QCOMPARE(listIn("/full"), QList<QString>{"sub"});
}

void tst_Paths::removeFolderRefusesTheCurrentFolder()
{
    QVERIFY(archive_->makeFolder("/a"));
    QVERIFY(archive_->makeFolder("/a/b"));
    QVERIFY(archive_->setCurrentFolder("/a/b"));
    QTest::ignoreMessage(QtDebugMsg, quoted("removeFolder: b is the current folder"));
    QVERIFY(!archive_->removeFolder("/a/b"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("b"));
    // The folder that holds the current one is not empty.
    QTest::ignoreMessage(QtDebugMsg, quoted("removeFolder: a is not empty"));
    QVERIFY(!archive_->removeFolder("/a"));
    QVERIFY(archive_->setCurrentFolder("/a"));
    QVERIFY(archive_->removeFolder("/a/b"));
    QVERIFY(archive_->list().isEmpty());
}

void tst_Paths::trailingSeparatorsAreIgnored()
{
    QVERIFY(archive_->makeFolder("/a/"));
    QVERIFY(archive_->makeFolder("/a/b//"));
    QCOMPARE(listIn("/a/"), QList<QString>{"b"});
    QCOMPARE(archive_->currentFolder(), QStringLiteral("a"));
    QVERIFY(archive_->setCurrentFolder("b/"));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("b"));
    QVERIFY(archive_->setCurrentFolder("/"));
    member("/a/m");
    QVERIFY(archive_->fileExists("/a/m/"));
    QCOMPARE(TestAccess::fileEntry(*archive_, "/a/m/"), KestTest::findFile(*archive_, "/a/m"));
    QTest::ignoreMessage(QtDebugMsg, quoted("makeFolder: b already exists"));
    QVERIFY(!archive_->makeFolder("/a/b/"));
    QVERIFY(archive_->removeFolder("/a/b/"));
    QCOMPARE(listIn("/a"), QList<QString>{"m"});
    QVERIFY(archive_->setCurrentFolder("/"));
    QVERIFY(archive_->removeFile("/a/m/"));
    QVERIFY(listIn("/a").isEmpty());
}

void tst_Paths::rootOnlyPaths_data()
{
    QTest::addColumn<QString>("root");
    QTest::newRow("/") << "/";
    QTest::newRow("//") << "//";
    QTest::newRow("///") << "///";
}

void tst_Paths::rootOnlyPaths()
{
    QFETCH(QString, root);
    QVERIFY(archive_->makeFolder("/a"));
    QVERIFY(archive_->setCurrentFolder("/a"));
    QVERIFY(archive_->setCurrentFolder(root));
    QCOMPARE(archive_->currentFolder(), QStringLiteral("/"));

    QTest::ignoreMessage(QtDebugMsg, quoted("makeFolder: / already exists"));
    QVERIFY(!archive_->makeFolder(root));
    QTest::ignoreMessage(QtDebugMsg, quoted("removeFolder: the root folder cannot be removed"));
    QVERIFY(!archive_->removeFolder(root));
    {
        MessageLog log;
        QVERIFY(!archive_->fileExists(root));
        QVERIFY(log.messages.isEmpty());
    }
    QTest::ignoreMessage(QtDebugMsg, quoted("fileEntry: / is a folder"));
    QVERIFY(!TestAccess::fileEntry(*archive_, root));
    QTest::ignoreMessage(QtDebugMsg, quoted("removeFile: / is not a file"));
    QVERIFY(!archive_->removeFile(root));
    File member(archive_.get(), root);
    QTest::ignoreMessage(QtDebugMsg, quoted("fileEntry: / is a folder"));
    QVERIFY(!member.open(QIODevice::WriteOnly));
    QVERIFY(!member.isOpen());
    QCOMPARE(archive_->list(), QList<QString>{"a"});
}

void tst_Paths::fileExists_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("member") << "/d/m" << true << QStringList();
    QTest::newRow("member, relative") << "m" << true << QStringList();
    QTest::newRow("folder") << "/d" << false << QStringList();
    QTest::newRow("missing") << "/d/none" << false << QStringList();
    QTest::newRow("other case") << "/d/M" << false << QStringList();
    QTest::newRow("reserved name") << "qel_dir" << true << QStringList();
    QTest::newRow("reserved name as an absolute path") << "/qel_dir" << false << QStringList();
    QTest::newRow("reserved name with a separator") << "qel_dir/" << false << QStringList();
    QTest::newRow("missing parent")
        << "/x/m" << false
        << QStringList{"parent: x does not exist", "fileExists: parent of m does not exist"};
    QTest::newRow("parent is a file")
        << "/d/m/n" << false
        << QStringList{"parent: m is not a folder", "fileExists: parent of n does not exist"};
}

void tst_Paths::fileExists()
{
    QFETCH(QString, target);
    QFETCH(bool, exists);
    QFETCH(QStringList, messages);
    QVERIFY(archive_->makeFolder("/d"));
    member("/d/m");
    QVERIFY(archive_->setCurrentFolder("/d"));
    MessageLog log;
    QCOMPARE(archive_->fileExists(target), exists);
    QStringList expected;
    for (const QString& m : messages)
        expected << QString::fromUtf8(quoted(m));
    QCOMPARE(log.messages, expected);
}

void tst_Paths::reservedDirectoryNameWinsOverAMember()
{
    QVERIFY(archive_->makeFolder("/a"));
    member("/a/qel_dir", "not the directory");
    QVERIFY(archive_->setCurrentFolder("/a"));
    FileEntry* stored = KestTest::findFile(*archive_, "/a/qel_dir");
    QVERIFY(stored);
    QCOMPARE(TestAccess::fileEntry(*archive_, "qel_dir"), TestAccess::directory(*archive_));
    QCOMPARE(TestAccess::fileEntry(*archive_, "/a/qel_dir"), stored);
    QVERIFY(archive_->fileExists("qel_dir"));
    // Reading "qel_dir" reads the directory stream, not the member of that name.
    const QByteArray directory = KestTest::readMember(*archive_, "qel_dir");
    QCOMPARE(qint64(directory.size()), TestAccess::directory(*archive_)->size());
    QVERIFY(directory.startsWith(KestTest::qstringBytes("qel_root")));
    QCOMPARE(KestTest::readMember(*archive_, "/a/qel_dir"), QByteArray("not the directory"));
    // Without such a member, the absolute path names nothing.
    QVERIFY(archive_->setCurrentFolder("/"));
    QVERIFY(!archive_->fileExists("/qel_dir"));
}

void tst_Paths::fileEntryFindsOrMakes()
{
    QVERIFY(archive_->makeFolder("/a"));
    QVERIFY(archive_->makeFolder("/a/sub"));
    FileEntry* made = TestAccess::fileEntry(*archive_, "/a/new");
    QVERIFY(made);
    QCOMPARE(made->name(), QStringLiteral("new"));
    QCOMPARE(made->size(), qint64(0));
    QCOMPARE(made->firstBlock(), -1);
    QCOMPARE(made->lastBlock(), -1);
    QCOMPARE(made->parent(), KestTest::findEntry(*archive_, "/a"));
    QCOMPARE(listIn("/a"), (QList<QString>{"sub", "new"}));
    // Asking again finds the same entry, by any spelling of its path.
    QCOMPARE(TestAccess::fileEntry(*archive_, "/a/new"), made);
    QCOMPARE(TestAccess::fileEntry(*archive_, "new"), made);
    QCOMPARE(TestAccess::fileEntry(*archive_, "x/new"), made);
    QCOMPARE(TestAccess::fileEntry(*archive_, "//a//new"), made);
    QCOMPARE(archive_->list(), (QList<QString>{"sub", "new"}));
}

void tst_Paths::fileEntryFailures_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("messages");
    QTest::newRow("folder") << "/a" << QStringList{"fileEntry: a is a folder"};
    QTest::newRow("folder, relative") << "a" << QStringList{"fileEntry: a is a folder"};
    QTest::newRow("missing parent")
        << "/x/new"
        << QStringList{"parent: x does not exist", "fileEntry: parent of new does not exist"};
    QTest::newRow("parent is a file")
        << "/f/new"
        << QStringList{"parent: f is not a folder", "fileEntry: parent of new does not exist"};
}

void tst_Paths::fileEntryFailures()
{
    QFETCH(QString, target);
    QFETCH(QStringList, messages);
    QVERIFY(archive_->makeFolder("/a"));
    member("/f");
    {
        MessageLog log;
        QVERIFY(!TestAccess::fileEntry(*archive_, target));
        QStringList expected;
        for (const QString& m : messages)
            expected << QString::fromUtf8(quoted(m));
        QCOMPARE(log.messages, expected);
    }
    QCOMPARE(archive_->list(), (QList<QString>{"a", "f"}));
    QVERIFY(listIn("/a").isEmpty());
}

void tst_Paths::localNameAndParentOfRawText_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("parentPath"); // "." for the current folder

    QTest::newRow("absolute") << "/a/b"
                              << "b"
                              << "/a";
    QTest::newRow("top level") << "/b"
                               << "b"
                               << "/";
    QTest::newRow("name") << "b"
                          << "b"
                          << ".";
    QTest::newRow("relative with folders") << "x/b"
                                           << "b"
                                           << ".";
    QTest::newRow("empty") << ""
                           << ""
                           << ".";
    QTest::newRow("empty pieces dropped") << "//a///b"
                                          << "b"
                                          << "/a";
    // The raw text keeps its defined meaning: an empty local name, and the parent of the last
    // non-empty component.
    QTest::newRow("trailing separator") << "/a/b/"
                                        << ""
                                        << "/a";
    QTest::newRow("separators only") << "/"
                                     << ""
                                     << "/";
}

void tst_Paths::localNameAndParentOfRawText()
{
    QFETCH(QString, raw);
    QFETCH(QString, local);
    QFETCH(QString, parentPath);
    QVERIFY(archive_->makeFolder("/a"));
    QVERIFY(archive_->makeFolder("/a/b"));
    QVERIFY(archive_->makeFolder("/c"));
    QVERIFY(archive_->setCurrentFolder("/c"));
    QCOMPARE(TestAccess::localName(*archive_, raw), local);
    FolderEntry* expected =
        parentPath == "." ? TestAccess::currentFolderEntry(*archive_)
                          : static_cast<FolderEntry*>(KestTest::findEntry(*archive_, parentPath));
    QVERIFY(expected);
    QCOMPARE(TestAccess::parent(*archive_, raw), expected);
}

void tst_Paths::removeFileRules_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QList<QString>>("rootAfter");

    const QList<QString> all{"d", "f"};
    QTest::newRow("member") << "/f" << true << QStringList() << QList<QString>{"d"};
    QTest::newRow("missing reports and succeeds")
        << "/none" << true << QStringList{"removeFile: none does not exist"} << all;
    QTest::newRow("folder") << "/d" << false << QStringList{"removeFile: d is not a file"} << all;
    QTest::newRow("missing parent")
        << "/x/f" << false
        << QStringList{"parent: x does not exist", "removeFile: parent of f does not exist"} << all;
    // "qel_dir" is looked up like any other name: the directory stream is never removed.
    QTest::newRow("reserved name")
        << "qel_dir" << true << QStringList{"removeFile: qel_dir does not exist"} << all;
}

void tst_Paths::removeFileRules()
{
    QFETCH(QString, target);
    QFETCH(bool, result);
    QFETCH(QStringList, messages);
    QFETCH(QList<QString>, rootAfter);
    QVERIFY(archive_->makeFolder("/d"));
    member("/f");
    const int directoryBlock = TestAccess::directory(*archive_)->firstBlock();
    for (const QString& m : messages)
        QTest::ignoreMessage(QtDebugMsg, quoted(m));
    QCOMPARE(archive_->removeFile(target), result);
    QCOMPARE(archive_->list(), rootAfter);
    QCOMPARE(TestAccess::directory(*archive_)->firstBlock(), directoryBlock);
    reopen();
    QCOMPARE(archive_->list(), rootAfter);
}

void tst_Paths::listKeepsOrderAndFiltersAcrossReload()
{
    QVERIFY(archive_->makeFolder("z"));
    member("m");
    QVERIFY(archive_->makeFolder("a"));
    member("b");
    QVERIFY(archive_->makeFolder(".."));
    QVERIFY(archive_->makeFolder("/a/inner2"));
    member("/a/inner1");
    QVERIFY(archive_->makeFolder("/a/inner0"));
    member("gone");
    QVERIFY(archive_->removeFile("gone"));
    member("c"); // a new entry goes last, whatever was removed before it
    // The last member close wrote the directory; nothing since has changed the tree.

    auto checkTree = [&] {
        QVERIFY(archive_->setCurrentFolder("/"));
        QCOMPARE(archive_->list(), (QList<QString>{"z", "m", "a", "b", "..", "c"}));
        QCOMPARE(archive_->list(Archive::All), (QList<QString>{"z", "m", "a", "b", "..", "c"}));
        QCOMPARE(archive_->list(Archive::Files), (QList<QString>{"m", "b", "c"}));
        QCOMPARE(archive_->list(Archive::Folders), (QList<QString>{"z", "a", ".."}));
        QCOMPARE(archive_->list(static_cast<Archive::Filter>(7)),
                 (QList<QString>{"z", "m", "a", "b", "..", "c"}));
        QCOMPARE(listIn("/a"), (QList<QString>{"inner2", "inner1", "inner0"}));
        QCOMPARE(archive_->list(Archive::Files), QList<QString>{"inner1"});
        QCOMPARE(archive_->list(Archive::Folders), (QList<QString>{"inner2", "inner0"}));
        QVERIFY(listIn("/z").isEmpty());
    };
    checkTree();
    if (QTest::currentTestFailed())
        return;
    archive_->close();
    reopen(QIODevice::ReadOnly);
    checkTree();
}

void tst_Paths::readOnlyArchiveChangesTreeInMemoryOnly()
{
    member("/m");
    archive_->close();
    const QByteArray before = KestTest::readHostFile(path());
    reopen(QIODevice::ReadOnly);
    QVERIFY(archive_->makeFolder("/new"));
    QVERIFY(archive_->makeFolder("/new/deeper"));
    QVERIFY(archive_->setCurrentFolder("/new/deeper"));
    QCOMPARE(listIn("/"), (QList<QString>{"m", "new"}));
    QVERIFY(archive_->removeFile("/m"));
    QCOMPARE(archive_->list(), QList<QString>{"new"});
    archive_->close();
    QCOMPARE(KestTest::readHostFile(path()), before);
    reopen(QIODevice::ReadOnly);
    QCOMPARE(archive_->list(), QList<QString>{"m"});
}

QTEST_GUILESS_MAIN(tst_Paths)
#include "tst_paths.moc"
