// The Windows mechanism of the locked file, built against the in-process model of the kernel's
// named mutexes in fakewin/. Kernel mutexes belong to threads, so every holder here runs on a
// thread of its own.
#include "MessageRecorder.h"
#include "qtlockedfile.h"

#include <windows.h>

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <deque>
#include <functional>
#include <future>
#include <memory>

using Kest::QtLockedFile;
using KestTest::MessageRecorder;

namespace {

constexpr QtLockedFile::LockMode Read = QtLockedFile::ReadLock;
constexpr QtLockedFile::LockMode Write = QtLockedFile::WriteLock;

// One locked file object, made, used and destroyed on a thread of its own.
class Holder
{
public:
    explicit Holder(const QString& path)
    {
        context.moveToThread(&thread);
        thread.start();
        run([this, path] {
            file = std::make_unique<QtLockedFile>(path);
            return file->open(QIODevice::ReadWrite);
        });
    }
    ~Holder()
    {
        run([this] { return file.reset(), true; });
        thread.quit();
        thread.wait();
    }
    bool run(const std::function<bool()>& task)
    {
        bool result = false;
        QMetaObject::invokeMethod(&context, task, Qt::BlockingQueuedConnection, &result);
        return result;
    }
    bool lock(QtLockedFile::LockMode mode)
    {
        return run([=] { return file->lock(mode, false); });
    }
    // A blocking request, answered later.
    std::future<bool> lockLater(QtLockedFile::LockMode mode)
    {
        auto promise = std::make_shared<std::promise<bool>>();
        auto answer = promise->get_future();
        QMetaObject::invokeMethod(&context, [=] { promise->set_value(file->lock(mode, true)); });
        return answer;
    }
    bool unlock()
    {
        return run([this] { return file->unlock(); });
    }

private:
    QThread thread;
    QObject context;
    std::unique_ptr<QtLockedFile> file;
};

} // namespace

class TestLockedFileWin : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString path;
    QString mutexName;

    QList<int> slotsInUse() const
    {
        QList<int> used;
        for (int slot = 0; slot < 64; ++slot) {
            const QString name = mutexName + QString::number(slot);
            if (FakeWin::mutexExists(reinterpret_cast<const char16_t*>(name.utf16())))
                used.append(slot);
        }
        return used;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // Mixed case on purpose: the mutexes are named after the path in lower case.
        path = dir.filePath(QStringLiteral("Locked.QEL"));
        mutexName = "QtLockedFile mutex " + path.toLower(); // the path is absolute already
        MessageRecorder::install();
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        MessageRecorder::criticals = 0;
    }

    // Every test destroys its objects, which must have closed every handle they opened; and no
    // request, granted or refused, reports anything.
    void cleanup()
    {
        QCOMPARE(FakeWin::openHandles(), 0);
        QCOMPARE(MessageRecorder::criticals.load(), 0);
    }

    // Readers take the lowest free slots; a writer is refused while any is left; a reader that
    // unlocks frees its slot for the next. Paths that differ only in letter case share one lock.
    void readerSlots()
    {
        Holder first(path);
        Holder second(path);
        Holder third(dir.filePath(QStringLiteral("locked.qel")));
        Holder writer(path);
        QVERIFY(first.lock(Read));
        QVERIFY(second.lock(Read));
        QCOMPARE(slotsInUse(), QList<int>({0, 1}));
        QVERIFY(!writer.lock(Write));
        QVERIFY(first.unlock());
        QCOMPARE(slotsInUse(), QList<int>({1}));
        QVERIFY(third.lock(Read));
        QCOMPARE(slotsInUse(), QList<int>({0, 1}));
        QVERIFY(!writer.lock(Write));
        QVERIFY(second.unlock());
        QVERIFY(third.unlock());
        QCOMPARE(slotsInUse(), QList<int>());
        QVERIFY(writer.lock(Write));
        QVERIFY(!first.lock(Read));
    }

    void tooManyReaders()
    {
        std::deque<Holder> readers;
        for (int i = 0; i < 64; ++i)
            QVERIFY(readers.emplace_back(path).lock(Read));
        Holder extra(path);
        QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): too many readers");
        QVERIFY(!extra.lock(Read));
        // The refused reader let the writer mutex go, and a reader of another thread gets the
        // slot freed.
        QVERIFY(readers[17].unlock());
        Holder next(path);
        QVERIFY(next.lock(Read));
    }

    // Readers present, then a blocking writer, then more readers: the writer waits for the
    // readers present only; those that came after it are refused when they do not wait, and
    // get in after it when they do.
    void blockingWriterBarsNewReaders()
    {
        // Made in the reverse of the order they must go if a check fails: the holders first, so
        // that the waiters get through and their threads can end.
        Holder later(path);
        Holder late(path);
        Holder writer(path);
        Holder first(path);
        Holder second(path);
        QVERIFY(first.lock(Read));
        QVERIFY(second.lock(Read));
        std::future<bool> writing = writer.lockLater(Write);
        QVERIFY(FakeWin::waitForSleepers(1));
        QVERIFY(!late.lock(Read));
        std::future<bool> reading = later.lockLater(Read);
        QVERIFY(FakeWin::waitForSleepers(2));

        QVERIFY(first.unlock());
        // The second reader is still there.
        QVERIFY(writing.wait_for(std::chrono::seconds(0)) == std::future_status::timeout);
        QVERIFY(second.unlock());
        QVERIFY(writing.get());
        QVERIFY(!late.lock(Read));
        QVERIFY(!first.lock(Write));
        QVERIFY(reading.wait_for(std::chrono::seconds(0)) == std::future_status::timeout);
        QVERIFY(writer.unlock());
        QVERIFY(reading.get());
        QCOMPARE(slotsInUse(), QList<int>({0}));
    }
};

QTEST_GUILESS_MAIN(TestLockedFileWin)
#include "tst_lockedfile_win.moc"
