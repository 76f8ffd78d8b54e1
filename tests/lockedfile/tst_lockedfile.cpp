// The locked file on this system: between objects of one process, and across real processes
// with lockedfile_helper holding the other end.
#include "MessageRecorder.h"
#include "TestSupport.h"
#include "qtlockedfile.h"

#include <QProcess>
#include <QtTest>

#include <deque>
#include <sys/stat.h>

using Kest::QtLockedFile;
using KestTest::MessageRecorder;

namespace {

constexpr int WaitMs = 20000;
constexpr QtLockedFile::LockMode Read = QtLockedFile::ReadLock;
constexpr QtLockedFile::LockMode Write = QtLockedFile::WriteLock;

// One lockedfile_helper process with `path` open, driven line by line.
class Helper : public QProcess
{
public:
    explicit Helper(const QString& path, const QStringList& contend = {})
    {
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        start(QCoreApplication::applicationDirPath() + QStringLiteral("/lockedfile_helper"),
              QStringList{path} + contend);
    }
    // A helper may still be inside a blocking request, where only a signal ends it.
    ~Helper() override
    {
        kill();
        waitForFinished(WaitMs);
    }
    QByteArray reply()
    {
        QDeadlineTimer deadline(WaitMs);
        while (!canReadLine() && waitForReadyRead(int(deadline.remainingTime()))) {
        }
        return canReadLine() ? readLine().trimmed() : QByteArray("<no reply>");
    }
    QByteArray ask(const QByteArray& line)
    {
        write(line + '\n');
        return reply();
    }
    // Whether a pending request was answered; a wrongly granted lock is answered at once.
    bool answered() { return canReadLine() || (waitForReadyRead(100) && canReadLine()); }
};

// The lock requests on `path` that sleep in the kernel now: the lines of /proc/locks marked
// "->" that name the file's inode.
int sleepingRequests(const QString& path)
{
    struct stat info = {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !locks.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray inode = ':' + QByteArray::number(qulonglong(info.st_ino)) + ' ';
    int count = 0;
    for (const QByteArray& line : locks.readAll().split('\n'))
        count += line.contains("->") && line.contains(inode);
    return count;
}

} // namespace

class TestLockedFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        MessageRecorder::install();
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        MessageRecorder::criticals = 0;
        path = dir.filePath(QString::fromLatin1(QTest::currentTestFunction()) + ".bin");
        QVERIFY(KestTest::writeHostFile(path, "locked file"));
    }

    // No request, granted or refused, reports anything, save where a test takes the count back.
    void cleanup() { QCOMPARE(MessageRecorder::criticals.load(), 0); }

    void fileMustBeOpen()
    {
        QtLockedFile other(path);
        QVERIFY(other.open(QIODevice::ReadWrite));
        {
            QtLockedFile file(path);
            // Truncate would empty the file before any lock protects it.
            QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::open(): Truncate mode not allowed.");
            QVERIFY(!file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QCOMPARE(other.readAll(), QByteArray("locked file"));
            QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): file is not opened");
            QVERIFY(!file.lock(Read, false));

            // The system refuses a read lock on a file not open for reading: reported, not
            // taken for a plain conflict.
            QVERIFY(file.open(QIODevice::WriteOnly));
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression("^QtLockedFile::lock\\(\\): "
                                                    "fcntl\\(F_OFD_SETLKW\\) failed"));
            QVERIFY(!file.lock(Read, true));
            QCOMPARE(MessageRecorder::criticals.exchange(0), 1);

            // Closing keeps the lock, and only the file opened again can release it.
            QVERIFY(file.lock(Write, false));
            file.close();
            QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::unlock(): file is not opened");
            QVERIFY(!file.unlock());
            QCOMPARE(file.lockMode(), Write);
            QVERIFY(!other.lock(Read, false));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(file.unlock());
            QVERIFY(other.lock(Read, false));

            // A lock left on a closed file goes with the object.
            QVERIFY(file.lock(Read, false));
            file.close();
            QVERIFY(!other.lock(Write, false));
        }
        QVERIFY(other.lock(Write, false));
    }

    // Two objects of one process on one path exclude each other as two processes do.
    void objectsExcludeEachOther()
    {
        QtLockedFile first(path);
        QtLockedFile second(path);
        QVERIFY(first.open(QIODevice::ReadWrite));
        QVERIFY(second.open(QIODevice::ReadWrite));
        for (const QtLockedFile::LockMode held : {Read, Write}) {
            for (const QtLockedFile::LockMode asked : {Read, Write}) {
                const bool granted = held == Read && asked == Read;
                QVERIFY(first.lock(held, false));
                QCOMPARE(second.lock(asked, false), granted);
                QVERIFY(first.unlock());
                QVERIFY(second.lock(asked, false));
                QCOMPARE(first.lock(held, false), granted);
                QVERIFY(first.unlock() && second.unlock());
            }
        }
    }

    // Readers share; a writer is refused while a reader is left, a reader while the writer holds.
    // A refusal is a plain answer: a message would come in its place.
    void processesShareAndExclude()
    {
        Helper first(path);
        Helper second(path);
        Helper writer(path);
        QCOMPARE(first.ask("lock r try"), "locked");
        QCOMPARE(second.ask("lock r try"), "locked");
        QCOMPARE(writer.ask("lock w try"), "refused");
        QCOMPARE(first.ask("unlock"), "unlocked");
        QCOMPARE(writer.ask("lock w try"), "refused");
        QCOMPARE(second.ask("unlock"), "unlocked");
        QCOMPARE(writer.ask("lock w try"), "locked");
        QCOMPARE(first.ask("lock r try"), "refused");
    }

    // Two readers hold the file; a writer asks and waits; another reader arrives after it.
    void blockingWriterWaitsForReaders()
    {
        Helper first(path);
        Helper second(path);
        Helper writer(path);
        Helper late(path);
        QCOMPARE(first.ask("lock r try"), "locked");
        QCOMPARE(second.ask("lock r try"), "locked");
        QCOMPARE(writer.ask("lock w wait"), "pending");
        QTRY_COMPARE_WITH_TIMEOUT(sleepingRequests(path), 1, 5000);
        // The waiting writer already keeps new readers out: this one sleeps too.
        QCOMPARE(late.ask("lock r wait"), "pending");
        QTRY_COMPARE_WITH_TIMEOUT(sleepingRequests(path), 2, 5000);

        QCOMPARE(first.ask("unlock"), "unlocked");
        QVERIFY(!writer.answered()); // the second reader is still there
        QCOMPARE(second.ask("unlock"), "unlocked");
        QCOMPARE(writer.reply(), "locked");
        QVERIFY(!late.answered()); // the writer holds the file now
        QCOMPARE(writer.ask("unlock"), "unlocked");
        QCOMPARE(late.reply(), "locked");
    }

    // Other descriptors of the file come and go in the process that holds the lock: a plain
    // QFile, and a locked file that asks, is refused and closes.
    void otherDescriptorsKeepLock()
    {
        QtLockedFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.lock(Write, false));
        QFile plain(path);
        QVERIFY(plain.open(QIODevice::ReadOnly));
        plain.close();
        {
            QtLockedFile check(path);
            QVERIFY(check.open(QIODevice::ReadOnly));
            QVERIFY(!check.lock(Read, false));
        }
        Helper other(path);
        QCOMPARE(other.ask("lock r try"), "refused");
        QVERIFY(file.unlock());
        QCOMPARE(other.ask("lock w try"), "locked");
    }

    void killedHolderReleases()
    {
        QtLockedFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        for (const char* request : {"lock r try", "lock w try"}) {
            Helper holder(path);
            QCOMPARE(holder.ask(request), "locked");
            QVERIFY(!file.lock(Write, false));
            holder.kill(); // SIGKILL: no chance to unlock
            QVERIFY(holder.waitForFinished(WaitMs));
            QVERIFY(file.lock(Write, false));
            QVERIFY(file.unlock());
        }
    }

    // Several processes take read and write locks many times over, each checking at every
    // acquisition, through counters they all share, that no writer is beside it.
    void contention()
    {
        constexpr int Processes = 4;
        constexpr int Rounds = 1000;
        QVERIFY(KestTest::writeHostFile(path, QByteArray(2 * sizeof(int), '\0')));
        std::deque<Helper> helpers;
        for (int i = 0; i < Processes; ++i)
            helpers.emplace_back(path, QStringList{QString::number(Rounds), QString::number(i)});
        for (Helper& helper : helpers)
            QCOMPARE(helper.reply(), "ready");
        // Written out at once: a QProcess sends what it buffered only when it is waited on.
        for (Helper& helper : helpers)
            QVERIFY(helper.write("go\n") == 3 && helper.waitForBytesWritten(WaitMs));
        int totals[4] = {}; // reads, writes, violations, failures
        for (Helper& helper : helpers) {
            const QList<QByteArray> words = helper.reply().split(' ');
            QCOMPARE(words[0], "done");
            for (int i = 0; i < 4; ++i)
                totals[i] += words[i + 1].toInt();
        }
        qInfo("contention: %d processes x %d rounds, %d reads and %d writes, violations %d",
              Processes, Rounds, totals[0], totals[1], totals[2]);
        QCOMPARE(totals[0] + totals[1], Processes * Rounds);
        QVERIFY(totals[0] > 0 && totals[1] > 0);
        QCOMPARE(totals[2], 0);
        QCOMPARE(totals[3], 0);
    }
};

QTEST_GUILESS_MAIN(TestLockedFile)
#include "tst_lockedfile.moc"
