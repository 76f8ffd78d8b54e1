// The locked file on this system: the contract within one process (objects, threads,
// descriptors, failures) and across real processes, with lockhelper holding the other end.
#include "MessageRecorder.h"
#include "qtlockedfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <memory>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Kest::QtLockedFile;
using KestTest::MessageRecorder;

namespace {

constexpr int WaitMs = 20000;

// One lockhelper process, driven line by line.
class Helper
{
public:
    // Without arguments the helper takes commands; with them it does what they say.
    explicit Helper(const QStringList& arguments = {})
    {
        process.setProgram(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/lockedfile_helper"));
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
    }
    ~Helper()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        send("quit");
        // A helper still inside a blocking request (after a failed check) cannot read "quit".
        if (!process.waitForFinished(2000))
            process.kill();
        process.waitForFinished(WaitMs);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    void send(const QByteArray& line)
    {
        process.write(line + '\n');
        process.waitForBytesWritten(WaitMs);
    }
    // The next line the helper writes, or a text saying that none came.
    QByteArray reply(int ms = WaitMs)
    {
        QDeadlineTimer deadline(ms);
        while (!process.canReadLine()) {
            if (process.state() == QProcess::NotRunning)
                return "<helper ended>";
            if (!process.waitForReadyRead(int(deadline.remainingTime())) && deadline.hasExpired())
                return "<no reply>";
        }
        return process.readLine().trimmed();
    }
    QByteArray ask(const QByteArray& line)
    {
        send(line);
        return reply();
    }
    // Whether a line is waiting to be read, without waiting for one.
    bool hasReply()
    {
        process.waitForReadyRead(0);
        return process.canReadLine();
    }
    QProcess& raw() { return process; }

private:
    QProcess process;
};

bool isReady(const std::future<bool>& result)
{
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

QByteArray modeWord(QtLockedFile::LockMode mode)
{
    return mode == QtLockedFile::ReadLock ? "r" : mode == QtLockedFile::WriteLock ? "w" : "none";
}

// The requests for `path` that sleep in the kernel, waiting for a lock, as /proc/locks lists
// them (lines whose lock is marked "->"); -1 when that list cannot be read. The list names a
// file by device and inode; where the file appears there under other numbers than stat()
// gives (as on some layered file systems), every sleeping request on the locked file's two
// bytes at the top of the offset range is counted instead.
int blockedRequests(const QString& path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    const QByteArray id =
        QString::asprintf(" %02x:%02x:%llu ", major(info.st_dev), minor(info.st_dev),
                          static_cast<unsigned long long>(info.st_ino))
            .toLatin1();
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return -1;
    bool seen = false;
    int ofFile = 0;
    int onLockBytes = 0;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const bool sleeping = line.contains("->");
        if (line.contains(id)) {
            seen = true;
            ofFile += sleeping;
        }
        onLockBytes += sleeping && line.contains(" 922337203685477580");
    }
    return seen ? ofFile : onLockBytes;
}

// Waits until at least `count` requests for `path` sleep in the kernel. Where the kernel's
// list cannot be read this returns at once, and the tests then only show the order of
// events, not that the later request had been made before the earlier one was granted.
bool waitForBlockedRequests(const QString& path, int count)
{
    QDeadlineTimer deadline(WaitMs);
    for (;;) {
        const int blocked = blockedRequests(path);
        if (blocked < 0 || blocked >= count)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(2);
    }
}

} // namespace

class TestLockedFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // One process.
    void openRefusesTruncate_data();
    void openRefusesTruncate();
    void fileMustBeOpen();
    void destructorReleases_data();
    void destructorReleases();
    void sameModeAndNoLock();
    void modeChangeReleasesFirst();
    void objectsExcludeEachOther_data();
    void objectsExcludeEachOther();
    void blockingAcrossThreads();
    void waitOutlastsSignals();
    void systemFailureIsReported_data();
    void systemFailureIsReported();

    // Several processes.
    void readersShare();
    void conflictsAreQuiet_data();
    void conflictsAreQuiet();
    void blockingWriterWaitsForReaders();
    void otherDescriptorsKeepLock();
    void killedHolderReleases_data();
    void killedHolderReleases();
    void contention();

private:
    QString freshFile(const QString& name, const QByteArray& content = "locked file");

    QTemporaryDir dir;
    QString path;
};

void TestLockedFile::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QFile::exists(QCoreApplication::applicationDirPath() +
                          QStringLiteral("/lockedfile_helper")));
}

void TestLockedFile::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    path = freshFile(QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral(".bin"));
}

QString TestLockedFile::freshFile(const QString& name, const QByteArray& content)
{
    const QString file = dir.filePath(name);
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(file));
    return file;
}

void TestLockedFile::openRefusesTruncate_data()
{
    QTest::addColumn<QIODevice::OpenMode>("mode");
    QTest::newRow("ReadWrite") << (QIODevice::ReadWrite | QIODevice::Truncate);
    QTest::newRow("WriteOnly") << (QIODevice::WriteOnly | QIODevice::Truncate);
    QTest::newRow("ReadOnly") << (QIODevice::ReadOnly | QIODevice::Truncate);
}

void TestLockedFile::openRefusesTruncate()
{
    QFETCH(QIODevice::OpenMode, mode);
    QtLockedFile file(path);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::open(): Truncate mode not allowed.");
    QVERIFY(!file.open(mode));
    QVERIFY(!file.isOpen());
    QFile check(path);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("locked file"));
}

void TestLockedFile::fileMustBeOpen()
{
    QtLockedFile file(path);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): file is not opened");
    QVERIFY(!file.lock(QtLockedFile::WriteLock, false));
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::unlock(): file is not opened");
    QVERIFY(!file.unlock());
    QCOMPARE(file.lockMode(), QtLockedFile::NoLock);

    // Closing the file releases no lock, and once closed the lock cannot be released.
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.lock(QtLockedFile::WriteLock, false));
    file.close();
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::unlock(): file is not opened");
    QVERIFY(!file.unlock());
    QCOMPARE(file.lockMode(), QtLockedFile::WriteLock);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): file is not opened");
    QVERIFY(!file.lock(QtLockedFile::ReadLock, false));
    QCOMPARE(file.lockMode(), QtLockedFile::WriteLock);
    QtLockedFile other(path);
    QVERIFY(other.open(QIODevice::ReadOnly));
    QVERIFY(!other.lock(QtLockedFile::ReadLock, false));

    // Opened again, the object still holds its lock and can release it.
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.lock(QtLockedFile::WriteLock, false));
    QVERIFY(!other.lock(QtLockedFile::ReadLock, false));
    QVERIFY(file.unlock());
    QVERIFY(!file.isLocked());
    QVERIFY(other.lock(QtLockedFile::ReadLock, false));
}

void TestLockedFile::destructorReleases_data()
{
    QTest::addColumn<bool>("closeFirst");
    QTest::newRow("open") << false;
    QTest::newRow("closed") << true;
}

// The destructor unlocks an open file; a lock left on a closed file goes with the object.
void TestLockedFile::destructorReleases()
{
    QFETCH(bool, closeFirst);
    QtLockedFile other(path);
    QVERIFY(other.open(QIODevice::ReadWrite));
    {
        QtLockedFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.lock(QtLockedFile::WriteLock, false));
        if (closeFirst)
            file.close();
        QVERIFY(!other.lock(QtLockedFile::ReadLock, false));
    }
    QVERIFY(other.lock(QtLockedFile::WriteLock, false));
}

void TestLockedFile::sameModeAndNoLock()
{
    QtLockedFile file(path);
    QtLockedFile other(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(other.open(QIODevice::ReadWrite));

    QVERIFY(file.lock(QtLockedFile::NoLock, false));
    QCOMPARE(file.lockMode(), QtLockedFile::NoLock);
    QVERIFY(other.lock(QtLockedFile::WriteLock, false));
    QVERIFY(other.unlock());

    for (QtLockedFile::LockMode mode : {QtLockedFile::ReadLock, QtLockedFile::WriteLock}) {
        QVERIFY(file.lock(mode, false));
        QVERIFY(file.lock(mode, false));
        QVERIFY(file.lock(mode, true));
        QCOMPARE(file.lockMode(), mode);
        QVERIFY(!other.lock(QtLockedFile::WriteLock, false));
        // One unlock releases it: asking twice did not stack two locks.
        QVERIFY(file.lock(QtLockedFile::NoLock, false));
        QVERIFY(!file.isLocked());
        QVERIFY(other.lock(QtLockedFile::WriteLock, false));
        QVERIFY(other.unlock());
    }
}

void TestLockedFile::modeChangeReleasesFirst()
{
    QtLockedFile changer(path);
    QtLockedFile reader(path);
    QtLockedFile writer(path);
    QVERIFY(changer.open(QIODevice::ReadWrite));
    QVERIFY(reader.open(QIODevice::ReadWrite));
    QVERIFY(writer.open(QIODevice::ReadWrite));

    // Read to write alone, then back.
    QVERIFY(changer.lock(QtLockedFile::ReadLock, false));
    QVERIFY(changer.lock(QtLockedFile::WriteLock, false));
    QVERIFY(!reader.lock(QtLockedFile::ReadLock, false));
    QVERIFY(changer.lock(QtLockedFile::ReadLock, false));
    QVERIFY(reader.lock(QtLockedFile::ReadLock, false));
    QVERIFY(!writer.lock(QtLockedFile::WriteLock, false));

    // Refused with another reader present: the read lock was given up on the way.
    QVERIFY(!changer.lock(QtLockedFile::WriteLock, false));
    QCOMPARE(changer.lockMode(), QtLockedFile::NoLock);
    QVERIFY(reader.unlock());
    QVERIFY(writer.lock(QtLockedFile::WriteLock, false));
}

void TestLockedFile::objectsExcludeEachOther_data()
{
    QTest::addColumn<QtLockedFile::LockMode>("held");
    QTest::addColumn<QtLockedFile::LockMode>("asked");
    QTest::addColumn<bool>("granted");
    QTest::newRow("read, read") << QtLockedFile::ReadLock << QtLockedFile::ReadLock << true;
    QTest::newRow("read, write") << QtLockedFile::ReadLock << QtLockedFile::WriteLock << false;
    QTest::newRow("write, read") << QtLockedFile::WriteLock << QtLockedFile::ReadLock << false;
    QTest::newRow("write, write") << QtLockedFile::WriteLock << QtLockedFile::WriteLock << false;
}

// Two objects of one process on one path behave as two processes would.
void TestLockedFile::objectsExcludeEachOther()
{
    QFETCH(QtLockedFile::LockMode, held);
    QFETCH(QtLockedFile::LockMode, asked);
    QFETCH(bool, granted);
    QtLockedFile first(path);
    QtLockedFile second(path);
    QVERIFY(first.open(QIODevice::ReadWrite));
    QVERIFY(second.open(QIODevice::ReadWrite));
    QVERIFY(first.lock(held, false));
    {
        MessageRecorder recorder;
        QCOMPARE(second.lock(asked, false), granted);
        QCOMPARE(recorder.messages(), QStringList());
    }
    QCOMPARE(second.lockMode(), granted ? asked : QtLockedFile::NoLock);
    QVERIFY(first.unlock());
    QVERIFY(second.lock(asked, false));
    QCOMPARE(first.lock(held, false), granted);
}

void TestLockedFile::blockingAcrossThreads()
{
    QtLockedFile holder(path);
    QtLockedFile waiter(path);
    QtLockedFile late(path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(waiter.open(QIODevice::ReadWrite));
    QVERIFY(late.open(QIODevice::ReadWrite));
    std::future<bool> reading;
    std::future<bool> writing;
    // Whatever fails, let the waiting thread through before its future is waited for.
    const auto release = qScopeGuard([&] {
        holder.unlock();
        late.unlock();
    });

    // A reader waits for a writer of another thread.
    QVERIFY(holder.lock(QtLockedFile::WriteLock, false));
    reading =
        std::async(std::launch::async, [&] { return waiter.lock(QtLockedFile::ReadLock, true); });
    QVERIFY(waitForBlockedRequests(path, 1));
    QVERIFY(!isReady(reading));
    QVERIFY(holder.unlock());
    QVERIFY(reading.get());
    QVERIFY(waiter.unlock());

    // A writer waits for a reader, and keeps new readers out while it waits.
    QVERIFY(holder.lock(QtLockedFile::ReadLock, false));
    writing =
        std::async(std::launch::async, [&] { return waiter.lock(QtLockedFile::WriteLock, true); });
    QVERIFY(waitForBlockedRequests(path, 1));
    QDeadlineTimer deadline(WaitMs);
    while (late.lock(QtLockedFile::ReadLock, false)) {
        QVERIFY(late.unlock());
        QVERIFY2(!deadline.hasExpired(), "the waiting writer never barred new readers");
        QThread::msleep(2);
    }
    QVERIFY(!isReady(writing));
    QVERIFY(holder.unlock());
    QVERIFY(writing.get());
    QVERIFY(!late.lock(QtLockedFile::ReadLock, false));
    QVERIFY(waiter.unlock());
    QVERIFY(late.lock(QtLockedFile::ReadLock, false));
}

namespace {
std::atomic<int> signalsCaught{0};
void countSignal(int)
{
    ++signalsCaught;
}
} // namespace

// A signal handler that runs while a request sleeps ends the kernel's wait early; the request
// must go on waiting instead of failing.
void TestLockedFile::waitOutlastsSignals()
{
    struct sigaction action = {};
    action.sa_handler = countSignal; // no SA_RESTART: the wait is interrupted
    struct sigaction previous = {};
    QCOMPARE(::sigaction(SIGUSR1, &action, &previous), 0);
    const auto restore = qScopeGuard([&] { ::sigaction(SIGUSR1, &previous, nullptr); });

    QtLockedFile holder(path);
    QtLockedFile waiter(path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(waiter.open(QIODevice::ReadWrite));
    QVERIFY(holder.lock(QtLockedFile::WriteLock, false));
    std::promise<pthread_t> started;
    std::future<bool> writing;
    const auto release = qScopeGuard([&] { holder.unlock(); });
    writing = std::async(std::launch::async, [&] {
        started.set_value(::pthread_self());
        return waiter.lock(QtLockedFile::WriteLock, true);
    });
    const pthread_t thread = started.get_future().get();
    QVERIFY(waitForBlockedRequests(path, 1));
    for (int i = 0; i < 3; ++i) {
        const int before = signalsCaught;
        QCOMPARE(::pthread_kill(thread, SIGUSR1), 0);
        QDeadlineTimer deadline(WaitMs);
        while (signalsCaught == before && !deadline.hasExpired())
            QThread::msleep(1);
        QVERIFY(signalsCaught > before);
        // The interrupted request either sleeps again or has given up.
        while (blockedRequests(path) == 0 && !isReady(writing) && !deadline.hasExpired())
            QThread::msleep(1);
        QVERIFY(!isReady(writing));
    }
    QVERIFY(holder.unlock());
    QVERIFY(writing.get());
    QCOMPARE(waiter.lockMode(), QtLockedFile::WriteLock);
}

void TestLockedFile::systemFailureIsReported_data()
{
    QTest::addColumn<QIODevice::OpenMode>("openMode");
    QTest::addColumn<QtLockedFile::LockMode>("lockMode");
    QTest::addColumn<bool>("block");
    QTest::addColumn<QString>("message");
    const QString nonBlocking = QStringLiteral("^QtLockedFile::lock\\(\\): fcntl\\(F_OFD_SETLK\\) "
                                               "failed \\(Bad file descriptor\\)$");
    const QString blocking = QStringLiteral("^QtLockedFile::lock\\(\\): fcntl\\(F_OFD_SETLKW\\) "
                                            "failed \\(Bad file descriptor\\)$");
    QTest::newRow("read lock, write-only file") << QIODevice::OpenMode(QIODevice::WriteOnly)
                                                << QtLockedFile::ReadLock << false << nonBlocking;
    QTest::newRow("write lock, read-only file, blocking")
        << QIODevice::OpenMode(QIODevice::ReadOnly) << QtLockedFile::WriteLock << true << blocking;
}

// The system refuses a read lock on a file not open for reading, and a write lock on one not
// open for writing: reported, and nothing stays held.
void TestLockedFile::systemFailureIsReported()
{
    QFETCH(QIODevice::OpenMode, openMode);
    QFETCH(QtLockedFile::LockMode, lockMode);
    QFETCH(bool, block);
    QFETCH(QString, message);
    QtLockedFile file(path);
    QVERIFY(file.open(openMode));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(message));
    QVERIFY(!file.lock(lockMode, block));
    QCOMPARE(file.lockMode(), QtLockedFile::NoLock);
    QtLockedFile other(path);
    QVERIFY(other.open(QIODevice::ReadWrite));
    QVERIFY(other.lock(QtLockedFile::WriteLock, false));
}

void TestLockedFile::readersShare()
{
    Helper first;
    Helper second;
    const QByteArray open = "open " + QFile::encodeName(path) + " r";
    QCOMPARE(first.ask(open), QByteArray("opened"));
    QCOMPARE(second.ask(open), QByteArray("opened"));
    QCOMPARE(first.ask("lock r try"), QByteArray("locked"));
    QCOMPARE(second.ask("lock r try"), QByteArray("locked"));
    QtLockedFile local(path);
    QVERIFY(local.open(QIODevice::ReadWrite));
    QVERIFY(local.lock(QtLockedFile::ReadLock, false));
    QVERIFY(!local.lock(QtLockedFile::WriteLock, false));
    QCOMPARE(first.ask("mode"), QByteArray("read"));
    QCOMPARE(second.ask("mode"), QByteArray("read"));
}

void TestLockedFile::conflictsAreQuiet_data()
{
    QTest::addColumn<QtLockedFile::LockMode>("held");
    QTest::addColumn<QtLockedFile::LockMode>("asked");
    QTest::newRow("reader, then writer") << QtLockedFile::ReadLock << QtLockedFile::WriteLock;
    QTest::newRow("writer, then reader") << QtLockedFile::WriteLock << QtLockedFile::ReadLock;
    QTest::newRow("writer, then writer") << QtLockedFile::WriteLock << QtLockedFile::WriteLock;
}

// A refusal across processes is a plain "false": no message, nothing held afterwards, and the
// same request succeeds once the holder has gone.
void TestLockedFile::conflictsAreQuiet()
{
    QFETCH(QtLockedFile::LockMode, held);
    QFETCH(QtLockedFile::LockMode, asked);
    Helper holder;
    Helper asker;
    QCOMPARE(holder.ask("open " + QFile::encodeName(path) + " rw"), QByteArray("opened"));
    QCOMPARE(asker.ask("open " + QFile::encodeName(path) + " rw"), QByteArray("opened"));
    QCOMPARE(holder.ask("lock " + modeWord(held) + " try"), QByteArray("locked"));
    QCOMPARE(asker.ask("lock " + modeWord(asked) + " try"), QByteArray("refused"));
    QCOMPARE(asker.ask("mode"), QByteArray("none"));
    QCOMPARE(holder.ask("unlock"), QByteArray("unlocked"));
    QCOMPARE(asker.ask("lock " + modeWord(asked) + " try"), QByteArray("locked"));
}

// Two readers hold the file; a writer asks and waits; another reader arrives after it.
void TestLockedFile::blockingWriterWaitsForReaders()
{
    Helper first;
    Helper second;
    Helper writer;
    Helper late;
    const QByteArray open = "open " + QFile::encodeName(path) + " rw";
    for (Helper* helper : {&first, &second, &writer, &late})
        QCOMPARE(helper->ask(open), QByteArray("opened"));
    QCOMPARE(first.ask("lock r try"), QByteArray("locked"));
    QCOMPARE(second.ask("lock r try"), QByteArray("locked"));

    QCOMPARE(writer.ask("lock w wait"), QByteArray("pending"));
    QVERIFY(waitForBlockedRequests(path, 1));
    // The waiting writer keeps new readers out; a probe that asks too early is let in, so ask
    // until the writer's gate is seen.
    QtLockedFile probe(path);
    QVERIFY(probe.open(QIODevice::ReadOnly));
    QDeadlineTimer deadline(WaitMs);
    while (probe.lock(QtLockedFile::ReadLock, false)) {
        QVERIFY(probe.unlock());
        QVERIFY2(!deadline.hasExpired(), "the waiting writer never barred new readers");
        QThread::msleep(2);
    }
    QCOMPARE(late.ask("lock r wait"), QByteArray("pending"));
    QVERIFY(waitForBlockedRequests(path, 2));

    QCOMPARE(first.ask("unlock"), QByteArray("unlocked"));
    QVERIFY(!writer.hasReply()); // the second reader still holds the file
    QCOMPARE(second.ask("unlock"), QByteArray("unlocked"));
    QCOMPARE(writer.reply(), QByteArray("locked"));
    QVERIFY(!late.hasReply()); // the writer holds the file now

    QCOMPARE(writer.ask("unlock"), QByteArray("unlocked"));
    QCOMPARE(late.reply(), QByteArray("locked"));
    QCOMPARE(late.ask("mode"), QByteArray("read"));
}

void TestLockedFile::otherDescriptorsKeepLock()
{
    QtLockedFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.lock(QtLockedFile::WriteLock, false));

    // Other descriptors of the same file come and go in this process: a plain QFile, a bare
    // descriptor, and a locked file that asks, is refused and closes (as a quick check of
    // whether the file is locked does).
    {
        QFile plain(path);
        QVERIFY(plain.open(QIODevice::ReadOnly));
        QCOMPARE(plain.readAll(), QByteArray("locked file"));
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR);
    QVERIFY(fd >= 0);
    QCOMPARE(::close(fd), 0);
    {
        QtLockedFile check(path);
        QVERIFY(check.open(QIODevice::ReadOnly));
        QVERIFY(!check.lock(QtLockedFile::ReadLock, false));
        check.close();
    }

    Helper other;
    QCOMPARE(other.ask("open " + QFile::encodeName(path) + " rw"), QByteArray("opened"));
    QCOMPARE(other.ask("lock r try"), QByteArray("refused"));
    QCOMPARE(other.ask("lock w try"), QByteArray("refused"));
    QVERIFY(file.unlock());
    QCOMPARE(other.ask("lock w try"), QByteArray("locked"));
}

void TestLockedFile::killedHolderReleases_data()
{
    QTest::addColumn<QtLockedFile::LockMode>("held");
    QTest::newRow("reader") << QtLockedFile::ReadLock;
    QTest::newRow("writer") << QtLockedFile::WriteLock;
}

void TestLockedFile::killedHolderReleases()
{
    QFETCH(QtLockedFile::LockMode, held);
    Helper holder;
    QCOMPARE(holder.ask("open " + QFile::encodeName(path) + " rw"), QByteArray("opened"));
    QCOMPARE(holder.ask("lock " + modeWord(held) + " try"), QByteArray("locked"));
    QtLockedFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(!file.lock(QtLockedFile::WriteLock, false));

    holder.raw().kill(); // SIGKILL: the holder gets no chance to unlock
    QVERIFY(holder.raw().waitForFinished(WaitMs));
    QCOMPARE(holder.raw().exitStatus(), QProcess::CrashExit);
    QVERIFY(file.lock(QtLockedFile::WriteLock, false));
}

// Several processes take read and write locks on one file many times over, each checking at
// every acquisition, through counters shared by all of them, that no writer is beside it
// (and, for a writer, no reader either). Writers also add one to a counter kept in the file,
// so that a lost update would show.
void TestLockedFile::contention()
{
    constexpr int Processes = 4;
    constexpr int Rounds = 400;
    path = freshFile(QStringLiteral("contention.bin"), QByteArray(8, '\0'));
    const QString tally = freshFile(QStringLiteral("contention.tally"), QByteArray(64, '\0'));

    std::vector<std::unique_ptr<Helper>> helpers;
    for (int i = 0; i < Processes; ++i) {
        helpers.push_back(std::make_unique<Helper>(QStringList{QStringLiteral("contend"), path,
                                                               tally, QString::number(Rounds),
                                                               QString::number(1000 + i)}));
    }
    for (auto& helper : helpers)
        QCOMPARE(helper->reply(), QByteArray("ready"));
    for (auto& helper : helpers)
        helper->send("go");

    int reads = 0;
    int writes = 0;
    int violations = 0;
    int failures = 0;
    for (auto& helper : helpers) {
        const QList<QByteArray> words = helper->reply(60000).split(' ');
        QCOMPARE(words.size(), 5);
        QCOMPARE(words[0], QByteArray("done"));
        reads += words[1].toInt();
        writes += words[2].toInt();
        violations += words[3].toInt();
        failures += words[4].toInt();
        QVERIFY(helper->raw().waitForFinished(WaitMs));
        QCOMPARE(helper->raw().exitCode(), 0);
    }
    qInfo("contention: %d processes x %d rounds, %d read and %d write acquisitions, "
          "violations %d",
          Processes, Rounds, reads, writes, violations);
    QCOMPARE(reads + writes, Processes * Rounds);
    QVERIFY(writes > 0 && reads > 0);
    QCOMPARE(failures, 0);
    QCOMPARE(violations, 0);

    QFile counter(path);
    QVERIFY(counter.open(QIODevice::ReadOnly));
    qint64 stored = 0;
    QCOMPARE(counter.read(reinterpret_cast<char*>(&stored), sizeof stored), qint64(sizeof stored));
    QCOMPARE(stored, qint64(writes));
}

QTEST_GUILESS_MAIN(TestLockedFile)
#include "tst_lockedfile.moc"
