// Commits that happen completely or not at all: faults injected at every write, resize and
// sync of a fixed workload (a full disk, a failing device, a killed process), journals cut
// and torn, hot journals met by readers and by a process that cannot write, transactions
// rolled back and committed.

#include "ArchivePrivate.h"
#include "Checksum.h"
#include "FaultyIo.h"
#include "File.h"
#include "Journal.h"
#include "TestSupport.h"
#include "Workload.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Kest::Ar;
using namespace KestTest;
using D = Archive::Durability;
using E = Archive::Error;

Q_DECLARE_METATYPE(Archive::Durability)

namespace {

// What an archive holds when opened again with ordinary I/O: recovered, consistent, and one
// of the contents the workload allows.
QString verdict(const QString& path, const Workload& workload, int committed, bool inFlight)
{
    Archive archive(path);
    if (!archive.open(QIODevice::ReadOnly))
        return "does not open: " + archive.errorString();
    if (!archive.check().isEmpty())
        return "inconsistent: " + archive.check().join(QLatin1String("; "));
    if (Container::hasJournal(path))
        return "the journal is still there";
    const Content found = contentOf(archive);
    if (found == workload.content(committed) ||
        (inFlight && found == workload.content(committed + 1)))
        return {};
    return QString("holds neither step %1 nor the one in flight").arg(committed);
}

struct Run
{
    int done;      // steps that reported success
    bool finished; // the workload ran through without meeting the fault
};

// The workload in this process, with its k-th write, resize or sync failing with `error`.
Run failingAt(const QString& file, int k, D durability, int error)
{
    const Workload workload;
    FaultyIo io(k, FaultyIo::Fault::Errno, error);
    Archive archive(file);
    archive.setDurability(durability);
    if (!archive.open(QIODevice::ReadWrite))
        return {-1, true};
    ArchivePrivate::of(archive).container.setIo(io);
    int done = 0;
    while (done < workload.steps() && workload.run(done, archive))
        ++done;
    ArchivePrivate::of(archive).container.setIo(HostIo::system());
    return {done, !io.fired()};
}

// The workload in a crash_worker that is killed at its k-th call.
Run killedAt(const QString& file, int k, D durability)
{
    QProcess worker;
    worker.start(QStringLiteral(CRASH_WORKER_BINARY),
                 {file, QString::number(k), durability == D::PowerSafe ? "power" : "crash"});
    worker.waitForFinished(60000);
    const bool finished = worker.exitStatus() == QProcess::NormalExit;
    if (finished && worker.exitCode() != 0)
        return {-1, true}; // the worker could not run the workload
    return {int(worker.readAllStandardOutput().count("done")), finished};
}

// CRC-32 as zlib computes it, bit by bit.
quint32 bitwiseCrc32(const QByteArray& bytes)
{
    quint32 c = 0xFFFFFFFF;
    for (const char byte : bytes) {
        c ^= quint8(byte);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

} // namespace

class DurabilityTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("kest.archive.debug=false"); }

    void sweep_data()
    {
        QTest::addColumn<D>("durability");
        QTest::addColumn<int>("error"); // 0: the process is killed
        QTest::newRow("power, full disk") << D::PowerSafe << ENOSPC;
        QTest::newRow("power, I/O error") << D::PowerSafe << EIO;
        QTest::newRow("crash, full disk") << D::CrashSafe << ENOSPC;
        QTest::newRow("crash, killed") << D::CrashSafe << 0;
        QTest::newRow("power, killed") << D::PowerSafe << 0;
    }

    // The k-th write, resize or sync fails (or the process dies there), for every k until the
    // workload runs through. Every step before the failing one reported success; afterwards the
    // next opener finds what the last success left, or the step in flight.
    void sweep()
    {
        QFETCH(D, durability);
        QFETCH(int, error);
        const Workload workload;
        const QString file = path("sweep.kar");
        for (int k = 1;; ++k) {
            QVERIFY(Workload::prepare(file, D::CrashSafe));
            const Run run =
                error ? failingAt(file, k, durability, error) : killedAt(file, k, durability);
            QVERIFY2(run.done >= 0, "the workload could not start");
            const QString found = verdict(file, workload, run.done, !run.finished);
            QVERIFY2(found.isEmpty(),
                     qPrintable(QString("k=%1, step %2: %3").arg(k).arg(run.done + 1).arg(found)));
            if (run.finished)
                break;
        }
    }

    // The fast checksum equals the bitwise one at every length, start and continuation.
    void checksum()
    {
        QCOMPARE(bitwiseCrc32("123456789"), 0xCBF43926u);
        QCOMPARE(crc32("123456789", 9), 0xCBF43926u);
        const QByteArray bytes = patternBytes(600, 17);
        for (int length = 0; length <= 300; ++length) {
            const int start = length % 7;
            const QByteArray piece = bytes.mid(start, length);
            QCOMPARE(crc32(piece.constData(), length), bitwiseCrc32(piece));
            const int split = length / 3;
            QCOMPARE(
                crc32(piece.constData() + split, length - split, crc32(piece.constData(), split)),
                bitwiseCrc32(piece));
        }
    }

    // A reader keeps every whole record of a journal and nothing after the first one that is cut
    // short, torn or from another journal.
    void journalRecords()
    {
        Journal journal(path("records.kar"));
        const Journal::Geometry geometry{64 * 40, 64, 256};
        journal.begin(HostIo::system(), geometry);
        QList<QByteArray> records;
        for (int unit = -1; unit < 8; ++unit) {
            records.append(patternBytes(geometry.lengthOf(unit), quint32(unit + 10)));
            const QByteArray& original = records.last();
            journal.append(unit, original.size(), [&](char* into) {
                memcpy(into, original.constData(), size_t(original.size()));
                return original.size();
            });
        }
        journal.flush(HostIo::system(), true);
        const QByteArray whole = readHostFile(journal.path());
        const auto readBack = [&](const QByteArray& bytes) {
            writeHostFile(path("copy-journal"), bytes);
            Journal::Reader reader(HostIo::system(), path("copy-journal"));
            QList<QByteArray> found;
            qint32 unit = 0;
            QByteArray data;
            while (reader.isValid() && reader.next(unit, data) && data == records.value(unit + 1))
                found.append(data);
            return std::make_pair(reader.isValid(), found.size());
        };
        QCOMPARE(readBack(whole), std::make_pair(true, qsizetype(records.size())));
        qsizetype boundary = 36;
        for (int i = 0; i <= records.size(); ++i) {
            QCOMPARE(readBack(whole.left(boundary)), std::make_pair(true, qsizetype(i)));
            if (i < records.size()) {
                QCOMPARE(readBack(whole.left(boundary + 9)), std::make_pair(true, qsizetype(i)));
                QByteArray torn = whole;
                torn[boundary + 8 + i] = char(torn[boundary + 8 + i] ^ 0x40);
                QCOMPARE(readBack(torn), std::make_pair(true, qsizetype(i)));
                boundary += 8 + records.at(i).size() + 4;
            }
        }
        // The checksums: the header's over its first 32 bytes, a record's over the nonce, its
        // frame and its bytes.
        const auto crc = bitwiseCrc32;
        QCOMPARE(qFromBigEndian<quint32>(whole.constData() + 32), crc(whole.left(32)));
        const qsizetype firstLength = 8 + records.first().size();
        QCOMPARE(qFromBigEndian<quint32>(whole.constData() + 36 + firstLength),
                 crc(whole.mid(12, 4) + whole.mid(36, firstLength)));
        QCOMPARE(readBack(whole.left(35)).first, false);
        QByteArray otherHeader = whole;
        otherHeader[20] = char(otherHeader[20] ^ 1);
        QCOMPARE(readBack(otherHeader).first, false);
        journal.end(HostIo::system(), true);
        QVERIFY(!Journal::Reader(HostIo::system(), journal.path()).isValid());
    }

    // A journal left by a killed writer in the middle of a transaction: a reader recovers it; a
    // process that may not write the archive refuses to open it, with Corrupt, changing nothing,
    // and still peeks the committed version.
    void hotJournal()
    {
        const Workload workload;
        const QString file = path("hot.kar");
        // The last call of the transaction's step: its journal holds the most records.
        int last = 0;
        for (int k = 1;; ++k) {
            QVERIFY(Workload::prepare(file, D::CrashSafe));
            if (killedAt(file, k, D::CrashSafe).done > workload.steps() - 2)
                break;
            last = Container::hasJournal(file) ? k : last;
        }
        QVERIFY(last > 0 && Workload::prepare(file, D::CrashSafe));
        QCOMPARE(killedAt(file, last, D::CrashSafe).done, workload.steps() - 2);
        const QByteArray left = readHostFile(file);
        const QByteArray journal = readHostFile(Journal::pathFor(file));
        QVERIFY(verdict(file, workload, workload.steps() - 2, false).isEmpty());

        QVERIFY(writeHostFile(file, left) && writeHostFile(Journal::pathFor(file), journal));
        QVERIFY(::chmod(QFile::encodeName(dir_.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0444) == 0);
        // As root, the reader is a process of the user nobody, which may run a copy of the worker
        // in this folder even where the build folder is closed to it.
        const QString worker = path("worker");
        QVERIFY(QFile::copy(QStringLiteral(CRASH_WORKER_BINARY), worker));
        QVERIFY(::chmod(QFile::encodeName(worker).constData(), 0755) == 0);
        QProcess reader;
        if (geteuid() == 0)
            reader.setChildProcessModifier([] { (void)!setuid(65534); });
        reader.start(worker, {file, "open", "read"});
        QVERIFY(reader.waitForFinished(60000));
        QCOMPARE(reader.readAllStandardOutput().trimmed(), QByteArray("Corrupt 3.2.1"));
        QCOMPARE(readHostFile(file), left);
        QCOMPARE(readHostFile(Journal::pathFor(file)), journal);
    }

    // Any number of operations commit as one; a rollback restores disk and memory; closing inside
    // a transaction rolls it back.
    void transactions()
    {
        const QString file = path("txn.kar");
        QVERIFY(Workload::prepare(file, D::PowerSafe));
        Archive archive(file);
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QVERIFY(writeMember(archive, "/keep", patternBytes(500, 1)));
        const QByteArray committed = readHostFile(file);
        const Content before = contentOf(archive);
        for (bool commit : {false, true}) {
            QVERIFY(archive.beginTransaction());
            QVERIFY(!archive.beginTransaction() && archive.error() == E::InvalidArgument);
            for (int i = 0; i < 50; ++i)
                QVERIFY(writeMember(archive, "/m" + QString::number(i), patternBytes(100 + i, i)));
            QVERIFY(writeMember(archive, "/keep", "short"));
            QVERIFY(archive.removeFolder("/nothing"));
            QVERIFY(commit ? archive.commit() : archive.rollback());
            if (!commit) {
                QCOMPARE(contentOf(archive), before);
                QCOMPARE(readHostFile(file), committed);
            }
        }
        QCOMPARE(contentOf(archive).size(), 51);
        QVERIFY(!archive.commit() && archive.error() == E::InvalidArgument);
        QVERIFY(archive.beginTransaction() && archive.makeFolder("/dropped"));
        archive.close();
        QVERIFY(archive.open(QIODevice::ReadOnly));
        QVERIFY(!archive.entryInfo("/dropped").isFolder);
        QVERIFY(archive.check().isEmpty());
    }

    // A full disk under a member's write and a failing sync under a commit are reported with
    // their codes, and the archive stays open at its last commit.
    void failuresReachTheCaller()
    {
        const QString file = path("failing.kar");
        QVERIFY(Workload::prepare(file, D::PowerSafe));
        Archive archive(file);
        QVERIFY(archive.open(QIODevice::ReadWrite));
        FaultyIo full(1, FaultyIo::Fault::Errno, ENOSPC);
        ArchivePrivate::of(archive).container.setIo(full);
        Kest::Ar::File member(&archive, "/m");
        QVERIFY(member.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QCOMPARE(member.write("data"), -1);
        QCOMPARE(member.error(), E::OutOfSpace);
        member.close();
        FaultyIo failing(3, FaultyIo::Fault::Errno, EIO);
        ArchivePrivate::of(archive).container.setIo(failing);
        QVERIFY(archive.makeFolder("/f"));
        QVERIFY(!archive.writeBack());
        QCOMPARE(archive.error(), E::IoError);
        ArchivePrivate::of(archive).container.setIo(HostIo::system());
        QVERIFY(archive.entries("/").isEmpty());
        QVERIFY(archive.makeFolder("/g") && archive.writeBack());
        QVERIFY(archive.check().isEmpty());
    }

    // The journal never changes what the archive holds: the workload leaves the same bytes at
    // every level, and no journal file behind.
    void sameBytesAtEveryLevel()
    {
        const Workload workload;
        QList<QByteArray> files;
        for (D level : {D::Off, D::CrashSafe, D::PowerSafe}) {
            const QString file = path(QString("level%1.kar").arg(int(level)));
            QVERIFY(Workload::prepare(file, level));
            Archive archive(file);
            archive.setDurability(level);
            QVERIFY(archive.open(QIODevice::ReadWrite));
            for (int i = 0; i < workload.steps(); ++i)
                QVERIFY(workload.run(i, archive));
            files.append(readHostFile(file));
            QVERIFY(!QFile::exists(Journal::pathFor(file)));
        }
        QCOMPARE(files, QList<QByteArray>(3, files.at(0)));
    }

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

QTEST_GUILESS_MAIN(DurabilityTest)
#include "tst_durability.moc"
