// kestar end to end: the real binary on real files, driven through QProcess.

#include "Archive.h"
#include "TestSupport.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using KestTest::patternBytes;
using KestTest::readHostFile;
using KestTest::writeHostFile;

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
    QStringList lines() const { return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts); }
};

} // namespace

class tst_Kestar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTripOfFolderTree();
    void namesUnsafeOnTheHostAreRefused();
    void refusals();             // reads s.kar only
    void commandsOnOneArchive(); // changes s.kar
    void progressBarOnlyOnATerminal();

private:
    Run kestar(const QStringList& arguments, const std::function<void()>& inChild = {});
    QString path(const QString& name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

Run tst_Kestar::kestar(const QStringList& arguments, const std::function<void()>& inChild)
{
    QProcess process;
    process.setWorkingDirectory(dir_.path());
    if (inChild)
        process.setChildProcessModifier(inChild);
    process.start(KESTAR_BINARY, arguments);
    const bool ended =
        process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// s.kar, blocks of 512 bytes: /docs/a.txt and /docs/b.txt, /x/y/z, /empty, /top.txt.
void tst_Kestar::initTestCase()
{
    QVERIFY(QDir().mkpath(path("hostdir/docs")));
    QVERIFY(writeHostFile(path("hostdir/docs/a.txt"), "a\n"));
    QVERIFY(writeHostFile(path("hostdir/docs/b.txt"), "bee\n"));
    QVERIFY(writeHostFile(path("top.txt"), "top\n"));
    QCOMPARE(kestar({"create", "s.kar", "--block-size", "512", "--app-version", "2.5.7"}).status,
             0);
    QCOMPARE(kestar({"add", "s.kar", "hostdir/docs", "-r"}).status, 0);
    QCOMPARE(kestar({"mkdir", "s.kar", "-p", "/x/y/z", "/empty", "--durability=crash"}).status, 0);
    QCOMPARE(kestar({"--durability", "off", "add", "s.kar", "top.txt"}).status, 0);
}

// Sizes around the block size and a file of a few MiB, in nested folders with an empty one:
// what comes back out is byte for byte what went in.
void tst_Kestar::roundTripOfFolderTree()
{
    QVERIFY(QDir().mkpath(path("src/empty")) && QDir().mkpath(path("src/sub/deeper")));
    const QList<qint64> sizes{0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 123};
    const QStringList files{"f0", "f1", "sub/f4095", "sub/f4096", "sub/deeper/f4097", "big"};
    for (qsizetype i = 0; i < files.size(); ++i)
        QVERIFY(writeHostFile(path("src/" + files[i]), patternBytes(sizes[i], i)));
    QCOMPARE(kestar({"create", "rt.kar"}).status, 0);
    // Nothing on standard error: no failure, and no progress bar through a pipe.
    QCOMPARE(kestar({"add", "rt.kar", "src", "-r"}).err, QByteArray());
    QCOMPARE(kestar({"get", "rt.kar", "/src", "-r", "-C", "out"}).err, QByteArray());
    for (const QString& file : files)
        QCOMPARE(readHostFile(path("out/src/" + file)), readHostFile(path("src/" + file)));
    QVERIFY(QFileInfo(path("out/src/empty")).isDir());
}

// Entries named ".." must not be written outside the target folder; the rest still comes out.
void tst_Kestar::namesUnsafeOnTheHostAreRefused()
{
    {
        Kest::Ar::Archive archive(path("u.kar"));
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(archive.makeFolder("/.."));
        QVERIFY(archive.makeFolder("/f"));
        QVERIFY(archive.importFileFromDisk("/../x", path("top.txt")));
        QVERIFY(archive.importFileFromDisk("/f/..", path("top.txt")));
        QVERIFY(archive.importFileFromDisk("/f/fine", path("top.txt")));
    }
    const Run get = kestar({"get", "u.kar", "/", "-r", "-C", "u/inner"});
    QCOMPARE(get.status, 1);
    for (const char* refused : {"/..: the name", "/f/..: the name cannot be used for a host file"})
        QVERIFY2(get.err.contains(refused), get.err.data());
    QCOMPARE(QDir(path("u")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), {"inner"});
    QCOMPARE(QDir(path("u/inner/f")).entryList(QDir::Files), {"fine"});
}

// Usage mistakes exit with 2, refused work with 1, each with its message on standard error and
// the archive untouched; the library's own messages show only with -v; an add that the archive
// refuses bytes part-way keeps none of its files. While another process holds l.kar for
// writing, readers and writers are refused at once, and work once it lets go.
void tst_Kestar::refusals()
{
    QCOMPARE(kestar({"create", "l.kar"}).status, 0);
    QProcess holder;
    holder.start(LOCK_HOLDER_BINARY, {path("l.kar"), "readwrite"});
    QVERIFY(holder.waitForReadyRead(30000));
    QCOMPARE(holder.readLine(), QByteArray("opened\n"));
    QVERIFY(writeHostFile(path("bad.kar"), readHostFile(path("s.kar")).left(4)));
    const QList<std::tuple<QStringList, int, QByteArray>> refusals{
        {{}, 2, "kestar: no command given"},
        {{"frob"}, 2, "kestar: unknown command 'frob'"},
        {{"ls", "s.kar", "-x"}, 2, "kestar ls: unknown option -x"},
        {{"cat", "s.kar"}, 2, "kestar cat: missing arguments"},
        {{"create", "n.kar", "--block-size", "4"}, 2, "from 8 to 67108864"},
        {{"--durability", "bogus", "add", "s.kar", "top.txt"}, 2, "must be off, crash or power"},
        {{"ls", "missing.kar"}, 1, "kestar ls: missing.kar: no such archive"},
        {{"info", "top.txt"}, 1, "kestar info: top.txt: not an archive"},
        {{"get", "s.kar", "docs"}, 1, "kestar get: /docs: is a folder (use -r)"},
        {{"rm", "-r", "s.kar", "/"}, 1, "/: the root folder cannot be removed"},
        {{"-v", "ls", "s.kar", "/n/x"}, 1, "/n/x: no such file or folder in the archive"},
        {{"tree", "bad.kar"}, 1, "bad.kar: the archive is damaged and cannot be opened ("},
        {{"ls", "l.kar"}, 1, "l.kar: the archive is being changed by another process (locked)"},
        {{"add", "l.kar", "top.txt"}, 1, "the archive is in use by another process (locked)"},
        {{"--help"}, 0, ""},
    };
    const QByteArray before = readHostFile(path("s.kar"));
    for (const auto& [arguments, status, message] : refusals) {
        const Run run = kestar(arguments);
        const QByteArray what = arguments.join(' ').toUtf8() + ": " + run.err;
        QVERIFY2(run.status == status && run.err.contains(message), what.constData());
        QVERIFY2(run.err.contains("[debug]") == arguments.contains("-v"), what.constData());
    }
    QVERIFY(writeHostFile(path("w256k"), patternBytes(256 * 1024, 4)));
    const auto limitFileSize = [] {
        const rlimit limit{64 * 1024, 64 * 1024};
        std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    const QStringList add{"add", "s.kar", "hostdir/docs/a.txt", "w256k", "hostdir/docs/b.txt"};
    QCOMPARE(kestar(add, limitFileSize).status, 1);
    QCOMPARE(readHostFile(path("s.kar")), before);
    holder.write("\n");
    QVERIFY(holder.waitForFinished(30000));
    QCOMPARE(kestar({"add", "l.kar", "top.txt"}).status, 0);
}

// Listings in stored order, then folder changes (which write no member) seen by later runs;
// info shows the library's own figures; check passes, then fails once the header loses the
// free list, and leaves the damaged file as it was.
void tst_Kestar::commandsOnOneArchive()
{
    QCOMPARE(kestar({"ls", "s.kar"}).lines(), (QStringList{"docs", "x", "empty", "top.txt"}));
    QCOMPARE(kestar({"ls", "-R", "s.kar", "x"}).lines(), (QStringList{"y", "y/z"}));
    QCOMPARE(kestar({"ls", "s.kar", "/docs/", "-l"}).lines(),
             (QStringList{"file              2  a.txt", "file              4  b.txt"}));
    QCOMPARE(kestar({"tree", "s.kar"}).lines(),
             (QStringList{"/", "  docs/", "    a.txt  (2 bytes)", "    b.txt  (4 bytes)", "  x/",
                          "    y/", "      z/", "  empty/", "  top.txt  (4 bytes)"}));
    QCOMPARE(kestar({"cat", "s.kar", "docs/b.txt"}).out, QByteArray("bee\n"));

    QCOMPARE(kestar({"rmdir", "s.kar", "/x/y/z", "/empty"}).status, 0);
    QCOMPARE(kestar({"rm", "-r", "s.kar", "/docs", "/x/y"}).status, 0);
    QCOMPARE(kestar({"ls", "-R", "s.kar"}).lines(), (QStringList{"x", "top.txt"}));
    QCOMPARE(kestar({"check", "s.kar"}).lines(), QStringList{"s.kar: no problems found"});

    Kest::Ar::Archive archive(path("s.kar"));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    const QString info = QString::fromUtf8(kestar({"info", "s.kar"}).out).simplified() + ' ';
    for (const QString& figure :
         {QStringLiteral("free blocks: %1 ").arg(archive.statistics().freeBlocks),
          QStringLiteral("block size: 512 bytes "), QStringLiteral("application version: 2.5.7 "),
          QStringLiteral("member files: 1 ")})
        QVERIFY2(info.contains(figure), qPrintable(info));
    archive.close();

    QVERIFY(KestTest::patchHostFile(path("s.kar"), 32, KestTest::be32(-1)));
    const QByteArray damaged = readHostFile(path("s.kar"));
    const Run check = kestar({"check", "s.kar"});
    QCOMPARE(check.status, 1);
    QVERIFY2(check.out.contains("(leaked)"), check.out.constData());
    QCOMPARE(readHostFile(path("s.kar")), damaged);
}

// On a terminal, here a pseudo-terminal made by script(1), the bar is drawn and redrawn;
// through a pipe there is none (see the round trip).
void tst_Kestar::progressBarOnlyOnATerminal()
{
    const QString script = QStandardPaths::findExecutable("script");
    if (script.isEmpty())
        QSKIP("script(1) is not installed: no pseudo-terminal to show the bar on");
    QVERIFY(writeHostFile(path("big"), patternBytes(9 * 1024 * 1024, 3)));
    QCOMPARE(kestar({"create", "p.kar"}).status, 0);
    QProcess process;
    process.setWorkingDirectory(dir_.path());
    process.start(script, {"-qec", QString("'%1' add p.kar big").arg(KESTAR_BINARY), "/dev/null"});
    QVERIFY(process.waitForFinished(120000));
    const QByteArray seen = process.readAllStandardOutput();
    if (process.exitCode() != 0 && (seen + process.readAllStandardError()).contains("script:"))
        QSKIP("script(1) cannot make a pseudo-terminal here");
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(seen.contains("] 100%  9.0 / 9.0 MiB"), seen.constData());
    QVERIFY(seen.contains('\r'));
}

QTEST_GUILESS_MAIN(tst_Kestar)
#include "tst_kestar.moc"
