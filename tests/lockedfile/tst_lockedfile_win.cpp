// The Windows mechanism of the locked file, compiled against the in-process model of the
// kernel's named mutexes (fakewin/). Kernel mutexes belong to threads, so every concurrent
// holder here is a thread of its own.
#include "MessageRecorder.h"
#include "qtlockedfile.h"

#include <windows.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

using Kest::QtLockedFile;
using KestTest::MessageRecorder;

namespace {

constexpr int WaitMs = 10000;

// A thread that runs the tasks given to it one after the other.
class Worker
{
public:
    Worker() : thread([this] { run(); }) {}
    ~Worker()
    {
        post([this] { done = true; });
        thread.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    template <typename F> auto post(F task) -> std::future<decltype(task())>
    {
        auto packaged = std::make_shared<std::packaged_task<decltype(task())()>>(std::move(task));
        auto result = packaged->get_future();
        {
            std::lock_guard<std::mutex> guard(mutex);
            tasks.emplace_back([packaged] { (*packaged)(); });
        }
        wake.notify_one();
        return result;
    }
    template <typename F> auto call(F task) { return post(std::move(task)).get(); }

private:
    void run()
    {
        while (!done) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> guard(mutex);
                wake.wait(guard, [this] { return !tasks.empty(); });
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool done = false; // only touched by the worker's own thread
    std::thread thread;
};

// One locked file object that lives, is used and dies on a thread of its own.
class Holder
{
public:
    explicit Holder(const QString& path)
    {
        opened = worker.call([this, path] {
            file = std::make_unique<QtLockedFile>(path);
            return file->open(QIODevice::ReadWrite);
        });
    }
    ~Holder()
    {
        worker.call([this] { file.reset(); });
    }

    bool isOpen() const { return opened; }
    bool lock(QtLockedFile::LockMode mode, bool block = false)
    {
        return worker.call([=] { return file->lock(mode, block); });
    }
    // A blocking request whose answer comes later.
    std::future<bool> lockLater(QtLockedFile::LockMode mode)
    {
        return worker.post([=] { return file->lock(mode, true); });
    }
    bool unlock()
    {
        return worker.call([this] { return file->unlock(); });
    }
    QtLockedFile::LockMode mode()
    {
        return worker.call([this] { return file->lockMode(); });
    }

private:
    Worker worker;
    std::unique_ptr<QtLockedFile> file;
    bool opened = false;
};

bool mutexExists(const QString& name)
{
    return FakeWin::mutexExists(reinterpret_cast<const char16_t*>(name.utf16()));
}

bool isReady(const std::future<bool>& result)
{
    return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

bool finished(std::future<bool>& result)
{
    return result.wait_for(std::chrono::milliseconds(WaitMs)) == std::future_status::ready;
}

} // namespace

class TestLockedFileWin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void kernelModel();
    void mutexNamesFollowThePath();
    void readersTakeSlotsInOrder();
    void slotOfUnlockedReaderIsReused();
    void oneThreadIsNotExcludedByItself();
    void sameModeAndNoLock();
    void tooManyReaders();
    void writerRefusedWhileReadersHold();
    void writerKeepsReadersOut_data();
    void writerKeepsReadersOut();
    void blockingWriterBarsNewReaders();
    void failedModeChangeHoldsNothing();
    void letterCaseSharesLock();
    void abandonedSlots();
    void systemFailures();
    void fileMustBeOpen();

private:
    QString base() const;
    bool slotExists(int slot) const;
    QList<int> slotsInUse() const;

    QTemporaryDir dir;
    QString path;
};

void TestLockedFileWin::initTestCase()
{
    QVERIFY(dir.isValid());
    // Mixed case on purpose: the mutex names carry the path in lower case.
    path = dir.filePath(QStringLiteral("Locked.QEL"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void TestLockedFileWin::init()
{
    FakeWin::clearFailures();
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

// Every test leaves no handle open and no thread waiting: the objects closed what they made.
void TestLockedFileWin::cleanup()
{
    FakeWin::clearFailures();
    QCOMPARE(FakeWin::blockedWaiters(), 0);
    QCOMPARE(FakeWin::openHandles(), 0);
    QVERIFY(!mutexExists(base()));
}

QString TestLockedFileWin::base() const
{
    return QStringLiteral("QtLockedFile mutex ") + QFileInfo(path).absoluteFilePath().toLower();
}

bool TestLockedFileWin::slotExists(int slot) const
{
    const QString name = base() + QString::number(slot);
    return mutexExists(name);
}

QList<int> TestLockedFileWin::slotsInUse() const
{
    QList<int> used;
    for (int slot = 0; slot < 64; ++slot) {
        if (slotExists(slot))
            used.append(slot);
    }
    return used;
}

// The properties of the kernel's mutexes that the mechanism rests on, as the model gives them.
void TestLockedFileWin::kernelModel()
{
    const std::u16string a = u"model a";
    const std::u16string b = u"model b";
    HANDLE ha = CreateMutexW(NULL, FALSE, a.c_str());
    HANDLE hb = CreateMutexW(NULL, FALSE, b.c_str());
    QVERIFY(ha && hb);
    QCOMPARE(OpenMutexW(SYNCHRONIZE, FALSE, u"model c"), HANDLE(NULL));
    QCOMPARE(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    // Recursive for the owner; another thread must wait until every wait is released.
    QCOMPARE(WaitForSingleObject(ha, 0), DWORD(WAIT_OBJECT_0));
    QCOMPARE(WaitForSingleObject(ha, 0), DWORD(WAIT_OBJECT_0));
    Worker other;
    QCOMPARE(other.call([&] { return WaitForSingleObject(ha, 0); }), DWORD(WAIT_TIMEOUT));
    QCOMPARE(other.call([&] { return ReleaseMutex(ha); }), BOOL(FALSE));
    QVERIFY(ReleaseMutex(ha));
    QCOMPARE(other.call([&] { return WaitForSingleObject(ha, 0); }), DWORD(WAIT_TIMEOUT));
    QVERIFY(ReleaseMutex(ha));
    QVERIFY(!ReleaseMutex(ha));
    QCOMPARE(GetLastError(), DWORD(ERROR_NOT_OWNER));

    // Wait-all takes all or nothing.
    QCOMPARE(other.call([&] { return WaitForSingleObject(hb, 0); }), DWORD(WAIT_OBJECT_0));
    const HANDLE both[] = {ha, hb};
    QCOMPARE(WaitForMultipleObjects(2, both, TRUE, 0), DWORD(WAIT_TIMEOUT));
    QCOMPARE(other.call([&] { return WaitForSingleObject(ha, 0); }), DWORD(WAIT_OBJECT_0));
    QVERIFY(other.call([&] { return ReleaseMutex(ha) && ReleaseMutex(hb); }));
    QCOMPARE(WaitForMultipleObjects(2, both, TRUE, INFINITE), DWORD(WAIT_OBJECT_0));
    QVERIFY(ReleaseMutex(ha) && ReleaseMutex(hb));

    // A second handle keeps the name; the last one takes it away.
    HANDLE again = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, a.c_str());
    QVERIFY(again);
    QVERIFY(CloseHandle(ha));
    QVERIFY(FakeWin::mutexExists(a.c_str()));
    QVERIFY(CloseHandle(again));
    QVERIFY(!FakeWin::mutexExists(a.c_str()));
    QVERIFY(CloseHandle(hb));
    QVERIFY(!CloseHandle(hb));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

void TestLockedFileWin::mutexNamesFollowThePath()
{
    QVERIFY(path != path.toLower());
    {
        Holder writer(path);
        QVERIFY(writer.isOpen());
        QVERIFY(!mutexExists(base()));
        QVERIFY(writer.lock(QtLockedFile::WriteLock));
        QVERIFY(mutexExists(base()));
        const QString asGiven = QStringLiteral("QtLockedFile mutex ") + path;
        QVERIFY(!mutexExists(asGiven));
        QCOMPARE(slotsInUse(), QList<int>());

        // The writer mutex handle is kept across unlock and dropped with the object.
        QVERIFY(writer.unlock());
        QVERIFY(mutexExists(base()));
        QCOMPARE(FakeWin::openHandles(), 1);
    }
    QVERIFY(!mutexExists(base()));
}

void TestLockedFileWin::readersTakeSlotsInOrder()
{
    Holder first(path);
    Holder second(path);
    QVERIFY(first.lock(QtLockedFile::ReadLock));
    QCOMPARE(slotsInUse(), QList<int>({0}));
    QVERIFY(second.lock(QtLockedFile::ReadLock));
    QCOMPARE(slotsInUse(), QList<int>({0, 1}));
    QCOMPARE(first.mode(), QtLockedFile::ReadLock);
    QCOMPARE(second.mode(), QtLockedFile::ReadLock);
}

void TestLockedFileWin::slotOfUnlockedReaderIsReused()
{
    Holder first(path);
    Holder second(path);
    Holder third(path);
    QVERIFY(first.lock(QtLockedFile::ReadLock));
    QVERIFY(second.lock(QtLockedFile::ReadLock));
    QVERIFY(first.unlock());
    QCOMPARE(first.mode(), QtLockedFile::NoLock);
    // The slot's only handle was closed, so its name is gone and the slot free.
    QCOMPARE(slotsInUse(), QList<int>({1}));
    QVERIFY(third.lock(QtLockedFile::ReadLock));
    QCOMPARE(slotsInUse(), QList<int>({0, 1}));
    QVERIFY(second.unlock());
    QVERIFY(third.unlock());
    QCOMPARE(slotsInUse(), QList<int>());
}

// Kernel mutexes are recursive for the owning thread, so a second object used from the same
// thread shares the slot of the first and is not kept out by its write lock either.
void TestLockedFileWin::oneThreadIsNotExcludedByItself()
{
    QtLockedFile a(path);
    QtLockedFile b(path);
    QVERIFY(a.open(QIODevice::ReadWrite));
    QVERIFY(b.open(QIODevice::ReadWrite));
    QVERIFY(a.lock(QtLockedFile::ReadLock, false));
    QVERIFY(b.lock(QtLockedFile::ReadLock, false));
    QCOMPARE(slotsInUse(), QList<int>({0}));
    QVERIFY(b.lock(QtLockedFile::WriteLock, false));

    // Another thread is kept out all the same.
    Holder other(path);
    MessageRecorder recorder;
    QVERIFY(!other.lock(QtLockedFile::ReadLock));
    QVERIFY(!other.lock(QtLockedFile::WriteLock));
    QCOMPARE(recorder.messages(), QStringList());
    QVERIFY(b.unlock());
    QVERIFY(a.unlock());
    QVERIFY(other.lock(QtLockedFile::WriteLock));
}

void TestLockedFileWin::sameModeAndNoLock()
{
    QtLockedFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.lock(QtLockedFile::NoLock, false));
    QCOMPARE(file.lockMode(), QtLockedFile::NoLock);
    QCOMPARE(FakeWin::openHandles(), 0);

    QVERIFY(file.lock(QtLockedFile::ReadLock, false));
    const int handles = FakeWin::openHandles();
    QVERIFY(file.lock(QtLockedFile::ReadLock, false));
    QCOMPARE(file.lockMode(), QtLockedFile::ReadLock);
    QCOMPARE(FakeWin::openHandles(), handles);
    QCOMPARE(slotsInUse(), QList<int>({0}));

    QVERIFY(file.lock(QtLockedFile::NoLock, false));
    QVERIFY(!file.isLocked());
    QCOMPARE(slotsInUse(), QList<int>());
    Holder writer(path);
    QVERIFY(writer.lock(QtLockedFile::WriteLock));
}

void TestLockedFileWin::tooManyReaders()
{
    std::vector<std::unique_ptr<Holder>> readers;
    for (int i = 0; i < 64; ++i) {
        readers.push_back(std::make_unique<Holder>(path));
        QVERIFY(readers.back()->lock(QtLockedFile::ReadLock));
    }
    QCOMPARE(slotsInUse().size(), 64);

    Holder extra(path);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): too many readers");
    QVERIFY(!extra.lock(QtLockedFile::ReadLock));
    QCOMPARE(extra.mode(), QtLockedFile::NoLock);
    // The refused reader let the writer mutex go: a reader of another thread gets as far as
    // the slots again.
    Holder another(path);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): too many readers");
    QVERIFY(!another.lock(QtLockedFile::ReadLock));

    // Once a slot is free the next reader gets in without waiting, in that slot.
    QVERIFY(readers[17]->unlock());
    QVERIFY(!slotExists(17));
    QVERIFY(extra.lock(QtLockedFile::ReadLock));
    QVERIFY(slotExists(17));
    QCOMPARE(slotsInUse().size(), 64);
}

void TestLockedFileWin::writerRefusedWhileReadersHold()
{
    Holder first(path);
    Holder second(path);
    Holder writer(path);
    Holder late(path);
    QVERIFY(first.lock(QtLockedFile::ReadLock));
    QVERIFY(second.lock(QtLockedFile::ReadLock));
    {
        MessageRecorder recorder;
        QVERIFY(!writer.lock(QtLockedFile::WriteLock));
        QCOMPARE(recorder.messages(), QStringList());
    }
    QCOMPARE(writer.mode(), QtLockedFile::NoLock);
    // The refused writer gave everything back: no writer mutex held, no slot handles open.
    QVERIFY(late.lock(QtLockedFile::ReadLock));
    QCOMPARE(slotsInUse(), QList<int>({0, 1, 2}));
    QVERIFY(first.unlock());
    QVERIFY(second.unlock());
    QVERIFY(late.unlock());
    QCOMPARE(slotsInUse(), QList<int>());
    QVERIFY(writer.lock(QtLockedFile::WriteLock));
}

void TestLockedFileWin::writerKeepsReadersOut_data()
{
    QTest::addColumn<QtLockedFile::LockMode>("request");
    QTest::newRow("reader") << QtLockedFile::ReadLock;
    QTest::newRow("writer") << QtLockedFile::WriteLock;
}

void TestLockedFileWin::writerKeepsReadersOut()
{
    QFETCH(QtLockedFile::LockMode, request);
    Holder writer(path);
    Holder other(path);
    QVERIFY(writer.lock(QtLockedFile::WriteLock));
    {
        MessageRecorder recorder;
        QVERIFY(!other.lock(request));
        QCOMPARE(recorder.messages(), QStringList());
    }
    QCOMPARE(other.mode(), QtLockedFile::NoLock);

    std::future<bool> waiting = other.lockLater(request);
    QVERIFY(FakeWin::waitForBlockedWaiters(1, WaitMs));
    QVERIFY(!isReady(waiting));
    QVERIFY(writer.unlock());
    QVERIFY(finished(waiting));
    QVERIFY(waiting.get());
    QCOMPARE(other.mode(), request);
    QVERIFY(!writer.lock(QtLockedFile::WriteLock));
}

// Readers present, then a blocking writer, then more readers: the writer waits for the
// readers present only, and those that came after it get in only after it.
void TestLockedFileWin::blockingWriterBarsNewReaders()
{
    Holder first(path);
    Holder second(path);
    Holder writer(path);
    Holder late(path);
    Holder later(path);
    QVERIFY(first.lock(QtLockedFile::ReadLock));
    QVERIFY(second.lock(QtLockedFile::ReadLock));

    std::future<bool> writing = writer.lockLater(QtLockedFile::WriteLock);
    QVERIFY(FakeWin::waitForBlockedWaiters(1, WaitMs));
    {
        MessageRecorder recorder;
        QVERIFY(!late.lock(QtLockedFile::ReadLock));
        QCOMPARE(recorder.messages(), QStringList());
    }
    std::future<bool> reading = later.lockLater(QtLockedFile::ReadLock);
    QVERIFY(FakeWin::waitForBlockedWaiters(2, WaitMs));

    QVERIFY(first.unlock());
    QVERIFY(!isReady(writing)); // the second reader is still there
    QVERIFY(second.unlock());
    QVERIFY(finished(writing));
    QVERIFY(writing.get());
    QCOMPARE(writer.mode(), QtLockedFile::WriteLock);
    QVERIFY(!isReady(reading));
    QCOMPARE(FakeWin::blockedWaiters(), 1);

    QVERIFY(writer.unlock());
    QVERIFY(finished(reading));
    QVERIFY(reading.get());
    QCOMPARE(slotsInUse(), QList<int>({0}));
}

// Changing mode releases first; if the new mode is refused nothing is held afterwards.
void TestLockedFileWin::failedModeChangeHoldsNothing()
{
    Holder changer(path);
    Holder reader(path);
    QVERIFY(changer.lock(QtLockedFile::ReadLock));
    QVERIFY(reader.lock(QtLockedFile::ReadLock));
    QVERIFY(!changer.lock(QtLockedFile::WriteLock));
    QCOMPARE(changer.mode(), QtLockedFile::NoLock);
    QCOMPARE(slotsInUse(), QList<int>({1}));

    QVERIFY(reader.unlock());
    QVERIFY(changer.lock(QtLockedFile::ReadLock));
    QVERIFY(changer.lock(QtLockedFile::WriteLock));
    QCOMPARE(changer.mode(), QtLockedFile::WriteLock);
    QVERIFY(!reader.lock(QtLockedFile::ReadLock));
    QVERIFY(changer.lock(QtLockedFile::ReadLock));
    QVERIFY(reader.lock(QtLockedFile::ReadLock));
}

void TestLockedFileWin::letterCaseSharesLock()
{
    const QString otherCase = dir.filePath(QStringLiteral("locked.qel"));
    Holder writer(path);
    Holder other(otherCase);
    QVERIFY(other.isOpen());
    QVERIFY(writer.lock(QtLockedFile::WriteLock));
    QVERIFY(!other.lock(QtLockedFile::ReadLock));
    QVERIFY(!other.lock(QtLockedFile::WriteLock));
    QVERIFY(writer.unlock());
    QVERIFY(other.lock(QtLockedFile::ReadLock));
    QCOMPARE(slotsInUse(), QList<int>({0}));
    QVERIFY(!writer.lock(QtLockedFile::WriteLock));
    QVERIFY(other.unlock());
    QFile::remove(otherCase);
}

// A reader whose thread ended without unlocking leaves its slot owned by nobody: the kernel
// hands it to the next waiter as abandoned, which counts as owned. The orphaned object keeps
// its handle, so the slot's name stays and the slot is reused rather than made anew.
void TestLockedFileWin::abandonedSlots()
{
    QtLockedFile orphan(path);
    QVERIFY(orphan.open(QIODevice::ReadWrite));
    bool taken = false;
    std::thread([&] { taken = orphan.lock(QtLockedFile::ReadLock, false); }).join();
    QVERIFY(taken);
    QCOMPARE(slotsInUse(), QList<int>({0}));

    // A writer gets the abandoned slot.
    {
        Holder writer(path);
        QVERIFY(writer.lock(QtLockedFile::WriteLock));
        QVERIFY(writer.unlock());
    }
    // A reader reuses the slot that exists but that nobody owns.
    {
        Holder reader(path);
        QVERIFY(reader.lock(QtLockedFile::ReadLock));
        QCOMPARE(slotsInUse(), QList<int>({0}));
    }

    // Abandoned again, this time under a reader.
    QtLockedFile orphan2(path);
    QVERIFY(orphan2.open(QIODevice::ReadWrite));
    std::thread([&] { taken = orphan2.lock(QtLockedFile::ReadLock, false); }).join();
    QVERIFY(taken);
    QCOMPARE(slotsInUse(), QList<int>({0}));
    {
        Holder reader(path);
        QVERIFY(reader.lock(QtLockedFile::ReadLock));
        QCOMPARE(slotsInUse(), QList<int>({0}));
    }
    // The orphans' destructors release from the wrong thread, which fails quietly, and close
    // their handles all the same (see cleanup()).
}

void TestLockedFileWin::systemFailures()
{
    // Creating the writer mutex fails: nothing is kept, and the next attempt makes it.
    {
        QtLockedFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        FakeWin::failCall(FakeWin::Call::CreateMutex, 0, ERROR_ACCESS_DENIED);
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("^QtLockedFile::lock\\(\\): CreateMutex failed"));
        QVERIFY(!file.lock(QtLockedFile::WriteLock, false));
        QVERIFY(!file.isLocked());
        QCOMPARE(FakeWin::openHandles(), 0);
        QVERIFY(file.lock(QtLockedFile::WriteLock, false));
    }
    // Creating a reader slot fails: the writer mutex is let go.
    {
        Holder reader(path);
        FakeWin::failCall(FakeWin::Call::CreateMutex, 1, ERROR_ACCESS_DENIED);
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("^QtLockedFile::lock\\(\\): CreateMutex failed"));
        QVERIFY(!reader.lock(QtLockedFile::ReadLock));
        QCOMPARE(reader.mode(), QtLockedFile::NoLock);
        QCOMPARE(slotsInUse(), QList<int>());
        Holder writer(path);
        QVERIFY(writer.lock(QtLockedFile::WriteLock));
    }
    // Opening a slot fails for another reason than its absence: reported, and the slot is
    // taken as free.
    {
        Holder reader(path);
        FakeWin::failCall(FakeWin::Call::OpenMutex, 0, ERROR_ACCESS_DENIED);
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("^QtLockedFile::lock\\(\\): OpenMutex failed"));
        QVERIFY(reader.lock(QtLockedFile::ReadLock));
        QCOMPARE(slotsInUse(), QList<int>({0}));
    }
    // Waiting for the writer mutex fails.
    {
        Holder writer(path);
        FakeWin::failCall(FakeWin::Call::WaitForSingleObject, 0, ERROR_INVALID_HANDLE);
        QTest::ignoreMessage(
            QtCriticalMsg,
            QRegularExpression("^QtLockedFile::lock\\(\\): WaitForSingleObject failed"));
        QVERIFY(!writer.lock(QtLockedFile::WriteLock));
        QCOMPARE(writer.mode(), QtLockedFile::NoLock);
        QVERIFY(writer.lock(QtLockedFile::WriteLock));
    }
    // Waiting for the reader slots fails: the writer holds nothing afterwards.
    {
        Holder reader(path);
        Holder writer(path);
        Holder late(path);
        QVERIFY(reader.lock(QtLockedFile::ReadLock));
        FakeWin::failCall(FakeWin::Call::WaitForMultipleObjects, 0, ERROR_INVALID_HANDLE);
        QTest::ignoreMessage(
            QtCriticalMsg,
            QRegularExpression("^QtLockedFile::lock\\(\\): WaitForMultipleObjects failed"));
        QVERIFY(!writer.lock(QtLockedFile::WriteLock));
        QCOMPARE(writer.mode(), QtLockedFile::NoLock);
        QVERIFY(late.lock(QtLockedFile::ReadLock));
        QCOMPARE(slotsInUse(), QList<int>({0, 1}));
    }
}

void TestLockedFileWin::fileMustBeOpen()
{
    QtLockedFile file(path);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): file is not opened");
    QVERIFY(!file.lock(QtLockedFile::ReadLock, false));
    QCOMPARE(FakeWin::openHandles(), 0);

    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::open(): Truncate mode not allowed.");
    QVERIFY(!file.open(QIODevice::ReadWrite | QIODevice::Truncate));
    QVERIFY(!file.isOpen());

    // A lock outlives the file's close, and only an open file can release it.
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.lock(QtLockedFile::ReadLock, false));
    file.close();
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::unlock(): file is not opened");
    QVERIFY(!file.unlock());
    QCOMPARE(file.lockMode(), QtLockedFile::ReadLock);
    QCOMPARE(slotsInUse(), QList<int>({0}));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.unlock());
    QCOMPARE(slotsInUse(), QList<int>());
}

QTEST_GUILESS_MAIN(TestLockedFileWin)
#include "tst_lockedfile_win.moc"
