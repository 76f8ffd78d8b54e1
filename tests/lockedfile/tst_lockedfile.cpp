// The locked file across processes, played from scripts against holder processes: on this
// system lockedfile_helper, or, when KEST_WINE_HOLDER gives the command that starts
// lockdriver.exe under Wine, the Windows mechanism (run-under-wine.sh runs "scenarios" and
// "contention" so). Besides, the mechanism of this system inside one process.
#include "TestSupport.h"
#include "qtlockedfile.h"

#include <QProcess>
#include <QtTest>

#include <deque>
#include <map>
#include <memory>

using Kest::QtLockedFile;

namespace {

constexpr int WaitMs = 20000;
constexpr QtLockedFile::LockMode Read = QtLockedFile::ReadLock;
constexpr QtLockedFile::LockMode Write = QtLockedFile::WriteLock;
const QString wineHolder = qEnvironmentVariable("KEST_WINE_HOLDER");

// A holder process (LockHolder.h), driven a line at a time; killed when it goes.
class Holder : public QProcess
{
public:
    explicit Holder(const QStringList& arguments)
    {
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QStringList command =
            wineHolder.isEmpty()
                ? QStringList{QCoreApplication::applicationDirPath() + "/lockedfile_helper"}
                : QProcess::splitCommand(wineHolder);
        start(command[0], command.mid(1) + arguments);
        waitForStarted(WaitMs); // a request written before the start could be lost
    }
    ~Holder() override
    {
        kill();
        waitForFinished(WaitMs);
    }
    void send(const QByteArray& line)
    {
        write(line + '\n');
        waitForBytesWritten(WaitMs);
    }
    // The next line within `ms`, or "-" if none came.
    QByteArray reply(int ms = WaitMs)
    {
        for (QDeadlineTimer end(ms);
             !canReadLine() && waitForReadyRead(int(end.remainingTime()));) {
        }
        return canReadLine() ? readLine().trimmed() : QByteArray("-");
    }
};

// Scenarios: a name (those of the Windows mechanism alone begin with "windows-") and steps
// "WHO REQUEST [ANSWER]" separated by ';'. WHO is a holder's number (the holder starts at its
// first step) or a range "0-63", the same step by each in turn. REQUEST is a line for the holder
// (other than a lock request, a look at the mutexes that only the Windows holder takes, skipped
// elsewhere), or "." to read the answer to a pending request; "x" (exit) and "kill" end the
// holder. ANSWER is the line expected: "-" for none within a moment, "~ANSWER" to ask again
// until it comes.
const char* const scripts[][2] = {
    // Readers share; a writer is refused while any reader is left, and a reader while a writer
    // holds. A refused request holds nothing (3 gets in), and it is a plain answer: a message
    // would come in its place. An unlock frees its reader slot.
    {"share",
     "0 r locked; 1 r locked; 9 slots 0,1; 2 w refused; 3 r locked; 9 slots 0,1,2; 0 u unlocked;"
     "9 slots 1,2; 3 u unlocked; 2 w refused; 1 u unlocked; 9 slots none; 2 w locked;"
     "0 r refused; 1 w refused; 2 u unlocked; 1 w locked"},
    // A waiting writer keeps new readers out and waits for the readers present; a reader that
    // waits comes after it.
    {"blocking-writer",
     "0 r locked; 1 r locked; 2 W pending; 3 r ~refused; 4 R pending; 0 u unlocked; 2 . -;"
     "1 u unlocked; 2 . locked; 4 . -; 3 r refused; 2 u unlocked; 4 . locked"},
    // A holder that ends without unlocking, exiting or killed, leaves the path lockable. On
    // Windows its mutexes are abandoned, which the next wait owns all the same; holder 9 keeps
    // slot 0 open, so that a reader's slot is abandoned rather than gone, and is reused.
    {"ended-holder",
     "9 keep kept; 0 r locked; 1 w refused; 0 x; 1 r locked; 9 slots 0; 1 u unlocked;"
     "2 w locked; 1 r refused; 2 kill; 1 w locked; 1 u unlocked; 3 r locked; 3 kill;"
     "1 r locked; 9 slots 0; 1 u unlocked; 4 w locked; 4 x; 1 w locked"},
    // 64 reader slots, which a writer waits for at once. The 65th reader is refused with a
    // message, and lets the writer mutex go; an unlock frees a slot for another.
    {"windows-65-readers",
     "0-63 r locked; 64 r message: QtLockedFile::lock(): too many readers; 64 . refused;"
     "64 w refused; 17 u unlocked; 65 r locked; 65 u unlocked; 64 r locked"},
    // A name held by another kind of object can be neither made nor opened as a mutex: the
    // failure is reported with the system's error (6). Without the writer mutex nothing begins;
    // a reader slot that cannot be opened counts as free to a reader, which cannot make it, and
    // a writer leaves it out.
    {"windows-taken-writer-name",
     "9 event-w made; 0 r message: QtLockedFile::lock(): CreateMutex failed (error 6);"
     "0 . refused; 0 w message: QtLockedFile::lock(): CreateMutex failed (error 6); 0 . refused"},
    {"windows-taken-slot-name",
     "9 event-0 made; 0 r message: QtLockedFile::lock(): OpenMutex failed (error 6);"
     "0 . message: QtLockedFile::lock(): CreateMutex failed (error 6); 0 . refused;"
     "1 w message: QtLockedFile::lock(): OpenMutex failed (error 6); 1 . locked"},
};

} // namespace

class TestLockedFile : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString base =
        wineHolder.isEmpty()
            ? dir.path() + '/'
            : QStringLiteral("c:/kestlocktest/%1/").arg(QCoreApplication::applicationPid());

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void scenarios_data()
    {
        QTest::addColumn<QString>("steps");
        for (const auto& [name, steps] : scripts) {
            if (!wineHolder.isEmpty() || !QByteArray(name).startsWith("windows-"))
                QTest::newRow(name) << QString::fromLatin1(steps);
        }
    }
    void scenarios()
    {
        QFETCH(QString, steps);
        const QString path = base + QTest::currentDataTag();
        std::map<int, std::unique_ptr<Holder>> holders;
        for (const QString& step : steps.split(';')) {
            const QStringList words = step.simplified().split(' ');
            const QByteArray request = words.value(1).toUtf8();
            QByteArray answer = words.mid(2).join(' ').toUtf8();
            if (wineHolder.isEmpty() &&
                !QByteArrayList{"r", "w", "R", "W", "u", ".", "x", "kill"}.contains(request))
                continue;
            const QStringList ends = words[0].split('-');
            QList<int> who;
            for (int i = ends[0].toInt(); i <= ends.last().toInt(); ++i)
                who << i;
            for (int i : who) { // all started before the first is asked
                if (!holders[i])
                    holders[i] = std::make_unique<Holder>(QStringList{"hold", path});
            }
            const bool again = answer.startsWith('~');
            answer.remove(0, again);
            for (int i : who) {
                Holder& holder = *holders[i];
                const QByteArray where =
                    (step.trimmed() + " (holder " + QString::number(i) + ")").toUtf8();
                if (request == "x" || request == "kill") {
                    request == "x" ? holder.send(request) : holder.kill();
                    QVERIFY2(holder.waitForFinished(WaitMs), where.constData());
                    continue;
                }
                if (request != ".")
                    holder.send(request);
                QByteArray got = holder.reply(answer == "-" ? 300 : WaitMs);
                for (QDeadlineTimer end(5000); again && got == "locked" && !end.hasExpired();) {
                    holder.send("u");
                    holder.reply();
                    QThread::msleep(20);
                    holder.send(request);
                    got = holder.reply();
                }
                QVERIFY2(got == answer, (where + ": got " + got).constData());
            }
        }
    }

    // Several processes take read and write locks many times over, blocking, each checking
    // through counters they all share that no writer is beside it.
    void contention()
    {
        const QString path = base + QStringLiteral("contended");
        QVERIFY(!wineHolder.isEmpty() || KestTest::writeHostFile(path, QByteArray(8, '\0')));
        std::deque<Holder> holders;
        for (const char* seed : {"1", "2", "3", "4"})
            holders.emplace_back(QStringList{"contend", path, "1000", seed});
        for (Holder& holder : holders)
            QCOMPARE(holder.reply(), "ready");
        for (Holder& holder : holders)
            holder.send("go");
        int totals[4] = {}; // reads, writes, violations, failures
        for (Holder& holder : holders) {
            const QList<QByteArray> words = holder.reply(120 * 1000).split(' ');
            QCOMPARE(words.size(), 5);
            for (int i = 0; i < 4; ++i)
                totals[i] += words[i + 1].toInt();
        }
        std::printf(
            "contention%s: 4 processes x 1000 rounds, %d reads and %d writes, violations %d\n",
            wineHolder.isEmpty() ? "" : " under Wine", totals[0], totals[1], totals[2]);
        std::fflush(stdout);
        QVERIFY(totals[0] > 0 && totals[1] > 0 && totals[0] + totals[1] == 4000);
        QCOMPARE(totals[2], 0);
        QCOMPARE(totals[3], 0);
    }

    // This system's mechanism in one process: objects exclude each other as processes do, and
    // a lock belongs to its object, whatever happens to the file's descriptors meanwhile.
    void inOneProcess()
    {
        const QString path = dir.filePath(QStringLiteral("one.bin"));
        QVERIFY(KestTest::writeHostFile(path, "locked file"));
        QtLockedFile file(path);
        auto other = std::make_unique<QtLockedFile>(path);
        QVERIFY(other->open(QIODevice::ReadWrite));
        // Truncate would empty the file before any lock protects it.
        QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::open(): Truncate mode not allowed.");
        QVERIFY(!file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(other->readAll(), QByteArray("locked file"));
        QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): file is not opened");
        QVERIFY(!file.lock(Read, false));
        // The system refuses a read lock on a file not open for reading: reported, not taken
        // for a plain conflict.
        QVERIFY(file.open(QIODevice::WriteOnly));
        QTest::ignoreMessage(
            QtCriticalMsg,
            QRegularExpression("^QtLockedFile::lock\\(\\): fcntl\\(F_OFD_SETLKW\\)"));
        QVERIFY(!file.lock(Read, true));
        file.close();

        QVERIFY(file.open(QIODevice::ReadWrite));
        for (const auto held : {Read, Write}) {
            for (const auto asked : {Read, Write}) {
                const bool shared = held == Read && asked == Read;
                QVERIFY(file.lock(held, false) && file.lock(held, false)); // the second: no-op
                QCOMPARE(other->lock(asked, false), shared);
                QVERIFY(file.lock(QtLockedFile::NoLock) && other->lock(asked, false));
                QCOMPARE(file.lock(held, false), shared);
                QVERIFY(file.unlock() && other->unlock());
            }
        }

        // Other descriptors of the file that close, and closing the file itself, keep the lock;
        // only the file opened again releases it, or the object when it goes.
        QVERIFY(file.lock(Write, false));
        QVERIFY(QFile(path).open(QIODevice::ReadOnly));
        file.close();
        QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::unlock(): file is not opened");
        QVERIFY(!file.unlock());
        QCOMPARE(file.lockMode(), Write);
        QVERIFY(!other->lock(Read, false));
        QVERIFY(file.open(QIODevice::ReadOnly) && file.unlock());
        QVERIFY(other->lock(Write, false));
        other->close();
        QVERIFY(!file.lock(Read, false));
        other.reset();
        QVERIFY(file.lock(Read, false));
    }
};

QTEST_GUILESS_MAIN(TestLockedFile)
#include "tst_lockedfile.moc"
