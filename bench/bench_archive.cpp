// kest_bench: KestArchive against plain QFile on host files in the same folder, in one run.
//
// Every workload runs with the library and with QFile, alternately, --reps times; the table
// shows the medians and their ratio. On a shared machine absolute figures are noise, and the
// ratio is what to read. Commits are CrashSafe unless a row names another level; QFile never
// syncs. What is read back is checked, and a wrong byte ends the program with status 1.
// W1, W3b and W5 run at PowerSafe as well, where rows show the syncs a commit makes and their
// share of the time: this program defines fsync and fdatasync, counting and timing each call.
//
// W1, W2  a large host file imported into one member and exported again, 16 KiB at a time,
//         against copying it with QFile
// W3      many members of 4 KiB, one File each, in one transaction or a commit each, against
//         as many host files
// W4      random 4 KiB reads in a large member, and in the last tenth of a larger one against
//         its first tenth
// W5      random 4 KiB overwrites in one transaction, at CrashSafe, PowerSafe and Off
// S       a great many members of 1 KiB in one transaction; reopening, listing a huge folder,
//         resident memory; the kestar tool adding as many host files, with its progress bar on
//         a pseudo-terminal, against copying them with QFile::copy; a million small members in
//         one transaction, built in a child process for its peak resident memory
//
//   kest_bench [--quick] [--reps N] [--dir FOLDER] [--size-mib N] [--large-mib N] ...

#include <KestArchive/Archive.h>
#include <KestArchive/File.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

using Kest::Ar::Archive;
using Kest::Ar::File;
using Durability = Archive::Durability;

// ---------------------------------------------------------------------------------------------
// Syncs
//
// The library syncs through ::fsync. It is a shared object, and the dynamic linker binds its
// calls to the definitions below, which this executable exports: they count every sync of the
// process and the time it takes, and pass it on to the C library's function.

namespace {

std::atomic<qint64> syncCalls{0};
std::atomic<qint64> syncNanoseconds{0};

using SyncFunction = int (*)(int);

SyncFunction nextSync(const char* name)
{
    const auto next = reinterpret_cast<SyncFunction>(dlsym(RTLD_NEXT, name));
    if (!next) {
        std::fprintf(stderr, "kest_bench: no %s in the C library\n", name);
        std::abort();
    }
    return next;
}

int countedSync(SyncFunction sync, int fd)
{
    const auto start = std::chrono::steady_clock::now();
    const int result = sync(fd);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
    syncCalls += 1;
    syncNanoseconds += nanoseconds;
    return result;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd)
{
    static const SyncFunction next = nextSync("fsync");
    return countedSync(next, fd);
}

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd)
{
    static const SyncFunction next = nextSync("fdatasync");
    return countedSync(next, fd);
}

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
constexpr qint64 ChunkSize = 16 * KiB;
constexpr qint64 PageSize = 4 * KiB;

// ---------------------------------------------------------------------------------------------
// Failures, data, time and memory

// Thrown on any failure or wrong result; main() reports it after the work folder is gone.
struct Failure
{
    QString what;
};

[[noreturn]] void die(const QString& what)
{
    throw Failure{what};
}

void require(bool ok, const QString& what)
{
    if (!ok)
        die(what);
}

void require(bool ok, const Archive& archive, const QString& what)
{
    if (!ok)
        die(what + QStringLiteral(": ") + archive.errorString());
}

quint64 mix(quint64 x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// The bytes at `offset` of a stream made from `seed`: every 8-byte word depends on its place,
// so any piece of a file can be checked on its own. Offsets and lengths are multiples of 8.
QByteArray pattern(qint64 offset, qint64 length, quint64 seed)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; i += 8) {
        const quint64 word = mix(quint64(offset + i) ^ (seed << 40));
        std::memcpy(bytes.data() + i, &word, sizeof word);
    }
    return bytes;
}

// Writes `size` bytes of the pattern of `seed` to a new host file.
void writePatternFile(const QString& path, qint64 size, quint64 seed)
{
    QFile file(path);
    require(file.open(QIODevice::WriteOnly), QStringLiteral("cannot create ") + path);
    for (qint64 at = 0; at < size; at += MiB) {
        const qint64 length = std::min(MiB, size - at);
        require(file.write(pattern(at, length, seed)) == length,
                QStringLiteral("cannot write ") + path);
    }
}

bool sameContent(const QString& a, const QString& b)
{
    QFile left(a), right(b);
    if (!left.open(QIODevice::ReadOnly) || !right.open(QIODevice::ReadOnly) ||
        left.size() != right.size())
        return false;
    while (!left.atEnd())
        if (left.read(MiB) != right.read(MiB))
            return false;
    return true;
}

// Copies `from` to `to` in chunks of 16 KiB; returns the bytes copied.
qint64 copyInChunks(QIODevice& from, QIODevice& to)
{
    QByteArray chunk(ChunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 got = from.read(chunk.data(), ChunkSize);
        require(got >= 0, QStringLiteral("read failed: ") + from.errorString());
        if (got == 0)
            return total;
        require(to.write(chunk.constData(), got) == got,
                QStringLiteral("write failed: ") + to.errorString());
        total += got;
    }
}

struct Syncs
{
    qint64 calls = 0;
    qint64 nanoseconds = 0;
};

// The syncs made in the part that seconds() timed last.
Syncs lastTimedSyncs;

template <typename Work> double seconds(Work&& work)
{
    const Syncs before{syncCalls, syncNanoseconds};
    QElapsedTimer timer;
    timer.start();
    work();
    const double elapsed = double(timer.nsecsElapsed()) / 1e9;
    lastTimedSyncs = {syncCalls - before.calls, syncNanoseconds - before.nanoseconds};
    return elapsed;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The resident memory of this process in KiB: VmRSS, now, or VmHWM, its peak so far.
qint64 residentKiB(const QByteArray& field = "VmRSS")
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// `count` page-aligned offsets of 4 KiB pieces inside [begin, end), the same for every run.
QList<qint64> randomOffsets(int count, qint64 begin, qint64 end, quint64 seed)
{
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<qint64> page(begin / PageSize, end / PageSize - 1);
    QList<qint64> offsets(count);
    for (qint64& offset : offsets)
        offset = page(random) * PageSize;
    return offsets;
}

// ---------------------------------------------------------------------------------------------
// Results

struct Row
{
    QString workload;
    QString unit;
    double figure;   // KestArchive
    double baseline; // plain QFile, or what the row names after "vs"; negative when none
};

struct Bench
{
    int reps = 0;
    qint64 size = 0;      // the host file and member of W1, W2, W4 and W5
    qint64 largeSize = 0; // the member of the first/last tenth reads; 0: none
    int members = 0;      // W3
    int powerMembers = 0; // W3 at PowerSafe
    int reads = 0;        // W4
    int writes = 0;       // W5
    int scaleMembers = 0;
    int millionMembers = 0; // in a child process, for its peak VmRSS; 0: none
    int scaleFolders = 100;
    QString dir;
    QList<Row> rows;
    QElapsedTimer sinceLastRow;

    QString path(const QString& name) const { return QDir(dir).filePath(name); }
    QString source() const { return path(QStringLiteral("source.bin")); }
    QString bigArchive() const { return path(QStringLiteral("big.kar")); }

    void add(const QString& workload, const QString& unit, double figure, double baseline)
    {
        rows.append({workload, unit, figure, baseline});
        std::fprintf(stderr, "%6.1f s  %s\n", double(sinceLastRow.restart()) / 1e3,
                     qPrintable(workload));
    }
};

// Runs each of `runs` in turn, `reps` times round, so that all of them see the same machine;
// a run is given the repetition's number and returns the seconds of its timed part. Returns
// the median of each.
QList<double> medianSeconds(int reps, const QList<std::function<double(int)>>& runs)
{
    QList<QList<double>> times(runs.size());
    for (int rep = 0; rep < reps; ++rep)
        for (qsizetype i = 0; i < runs.size(); ++i)
            times[i].append(runs[i](rep));
    QList<double> medians;
    for (const QList<double>& t : times)
        medians.append(median(t));
    return medians;
}

struct Medians
{
    double figure;
    double baseline;
};

// The library's side against its baseline, usually the same work done with QFile.
Medians compare(int reps, const std::function<double(int)>& figure,
                const std::function<double(int)>& baseline)
{
    const QList<double> m = medianSeconds(reps, {figure, baseline});
    return {m[0], m[1]};
}

// The syncs of PowerSafe commits, over the repetitions of a workload: how many a commit makes
// and what share of the workload's time they take.
struct SyncShare
{
    QList<double> perCommit;
    QList<double> share;

    // After a PowerSafe run timed by seconds() that made `commits` commits in `elapsed` seconds.
    void note(int commits, double elapsed)
    {
        require(lastTimedSyncs.calls > 0,
                QStringLiteral("PowerSafe commits made no sync that the counting fsync saw"));
        perCommit.append(double(lastTimedSyncs.calls) / commits);
        share.append(double(lastTimedSyncs.nanoseconds) / 1e9 / elapsed);
    }

    void addRows(Bench& b, const QString& workload) const
    {
        b.add(workload + QStringLiteral(": syncs per commit"), QStringLiteral("syncs"),
              median(perCommit), -1);
        b.add(workload + QStringLiteral(": share of the time in syncs"), QStringLiteral("fraction"),
              median(share), -1);
    }
};

// A new, empty archive (anything at the path before is deleted), open for writing.
std::unique_ptr<Archive> freshArchive(const QString& path, Durability durability,
                                      unsigned int blockSize = Archive::DefaultBlockSize)
{
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-journal"));
    auto archive = std::make_unique<Archive>(path, blockSize);
    archive->setDurability(durability);
    require(archive->open(QIODevice::ReadWrite), *archive, QStringLiteral("cannot create ") + path);
    return archive;
}

std::unique_ptr<Archive> openArchive(const QString& path, QIODevice::OpenMode mode,
                                     Durability durability = Durability::CrashSafe)
{
    auto archive = std::make_unique<Archive>(path);
    archive->setDurability(durability);
    require(archive->open(mode), *archive, QStringLiteral("cannot open ") + path);
    return archive;
}

void commit(Archive& archive)
{
    require(archive.commit(), archive, QStringLiteral("commit failed"));
}

void closeMember(File& member)
{
    member.close();
    require(member.error() == Archive::Error::NoError,
            QStringLiteral("closing %1 failed: %2").arg(member.name(), member.errorString()));
}

// An empty host folder at the path.
QDir freshFolder(const QString& path)
{
    QDir(path).removeRecursively();
    require(QDir().mkpath(path), QStringLiteral("cannot make ") + path);
    return QDir(path);
}

QString mib(qint64 bytes)
{
    return bytes >= 1024 * MiB ? QStringLiteral("%1 GiB").arg(bytes / (1024 * MiB))
                               : QStringLiteral("%1 MiB").arg(bytes / MiB);
}

QString count(qint64 n)
{
    return QLocale(QLocale::English).toString(n);
}

// ---------------------------------------------------------------------------------------------
// W1, W2: a large file in and out, 16 KiB at a time

// Imports the source into a new archive in one commit; returns the seconds it took.
double importOnce(Bench& b, Durability durability)
{
    auto archive = freshArchive(b.bigArchive(), durability);
    return seconds([&] {
        QFile source(b.source());
        require(source.open(QIODevice::ReadOnly), QStringLiteral("cannot read source"));
        require(archive->beginTransaction(), *archive, QStringLiteral("transaction"));
        File member(archive.get(), QStringLiteral("/big"));
        require(member.open(QIODevice::WriteOnly), member.errorString());
        require(copyInChunks(source, member) == b.size, QStringLiteral("short import"));
        closeMember(member);
        commit(*archive);
    });
}

void importLargeFile(Bench& b)
{
    const QString copy = b.path(QStringLiteral("copy.bin"));
    SyncShare syncs;
    const QList<double> m = medianSeconds(
        b.reps,
        {
            [&](int) { return importOnce(b, Durability::CrashSafe); },
            [&](int) {
                QFile::remove(copy); // as the archive, the copy starts from nothing
                return seconds([&] {
                    QFile source(b.source()), target(copy);
                    require(source.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly),
                            QStringLiteral("cannot copy the source"));
                    require(copyInChunks(source, target) == b.size, QStringLiteral("short copy"));
                    target.close();
                });
            },
            [&](int) {
                const double elapsed = importOnce(b, Durability::PowerSafe);
                syncs.note(1, elapsed);
                return elapsed;
            },
        });
    const double mibs = double(b.size) / MiB;
    const QString workload =
        QStringLiteral("W1 import %1 in 16 KiB chunks, one commit").arg(mib(b.size));
    b.add(workload, QStringLiteral("MiB/s"), mibs / m[0], mibs / m[1]);
    b.add(workload + QStringLiteral(", PowerSafe"), QStringLiteral("MiB/s"), mibs / m[2],
          mibs / m[1]);
    syncs.addRows(b, QStringLiteral("W1 PowerSafe"));
}

void exportLargeFile(Bench& b)
{
    const QString exported = b.path(QStringLiteral("exported.bin"));
    const QString copied = b.path(QStringLiteral("copied.bin"));
    auto archive = openArchive(b.bigArchive(), QIODevice::ReadOnly);
    const auto copyTo = [](QIODevice& from, const QString& path) {
        QFile target(path);
        require(target.open(QIODevice::WriteOnly), QStringLiteral("cannot create ") + path);
        copyInChunks(from, target);
        target.close();
    };
    const auto m = compare(
        b.reps,
        [&](int) {
            QFile::remove(exported);
            return seconds([&] {
                File member(archive.get(), QStringLiteral("/big"));
                require(member.open(QIODevice::ReadOnly), member.errorString());
                copyTo(member, exported);
            });
        },
        [&](int) {
            QFile::remove(copied);
            return seconds([&] {
                QFile source(b.source());
                require(source.open(QIODevice::ReadOnly), QStringLiteral("cannot read source"));
                copyTo(source, copied);
            });
        });
    require(sameContent(exported, b.source()),
            QStringLiteral("W2: the exported member differs from the imported file"));
    QFile::remove(exported);
    QFile::remove(copied);
    const double mibs = double(b.size) / MiB;
    b.add(QStringLiteral("W2 export %1 in 16 KiB chunks").arg(mib(b.size)), QStringLiteral("MiB/s"),
          mibs / m.figure, mibs / m.baseline);
}

// ---------------------------------------------------------------------------------------------
// W3: many small members, one File each

// Writes `n` members of 4 KiB into a new archive, in one transaction or a commit each.
double writeSmallMembers(Bench& b, int n, Durability durability, bool oneTransaction)
{
    const QString path = b.path(QStringLiteral("small.kar"));
    const QByteArray payload = pattern(0, PageSize, 3);
    auto archive = freshArchive(path, durability);
    require(archive->makeFolder(QStringLiteral("/w3")), *archive, QStringLiteral("makeFolder"));
    const double elapsed = seconds([&] {
        if (oneTransaction)
            require(archive->beginTransaction(), *archive, QStringLiteral("transaction"));
        for (int i = 0; i < n; ++i) {
            File member(archive.get(), QStringLiteral("/w3/m%1").arg(i));
            require(member.open(QIODevice::WriteOnly) && member.write(payload) == PageSize,
                    member.errorString());
            closeMember(member);
        }
        if (oneTransaction)
            commit(*archive);
    });
    require(archive->entries(QStringLiteral("/w3")).size() == n,
            QStringLiteral("W3: members are missing"));
    File last(archive.get(), QStringLiteral("/w3/m%1").arg(n - 1));
    require(last.open(QIODevice::ReadOnly) && last.readAll() == payload,
            QStringLiteral("W3: a member reads back wrong"));
    return elapsed;
}

// The same with QFile: `n` host files, each opened, written and closed.
double writeSmallHostFiles(Bench& b, int n)
{
    const QDir folder = freshFolder(b.path(QStringLiteral("w3")));
    const QByteArray payload = pattern(0, PageSize, 3);
    const double elapsed = seconds([&] {
        for (int i = 0; i < n; ++i) {
            QFile file(folder.filePath(QStringLiteral("m%1").arg(i)));
            require(file.open(QIODevice::WriteOnly) && file.write(payload) == PageSize,
                    file.errorString());
            file.close();
        }
    });
    QDir(folder).removeRecursively();
    return elapsed;
}

// Commits cost more at PowerSafe, and each costs more as the archive grows: the PowerSafe
// figures use a smaller count, and the time per commit is set against CrashSafe at that count.
void smallMembers(Bench& b)
{
    const int n = b.members;
    const int p = b.powerMembers;
    SyncShare syncs;
    const QList<double> m = medianSeconds(
        b.reps, {
                    [&](int) { return writeSmallMembers(b, n, Durability::CrashSafe, true); },
                    [&](int) { return writeSmallMembers(b, n, Durability::CrashSafe, false); },
                    [&](int) { return writeSmallHostFiles(b, n); },
                    [&](int) {
                        const double elapsed =
                            writeSmallMembers(b, p, Durability::PowerSafe, false);
                        syncs.note(p, elapsed);
                        return elapsed;
                    },
                    [&](int) { return writeSmallMembers(b, p, Durability::CrashSafe, false); },
                    [&](int) { return writeSmallHostFiles(b, p); },
                });
    QFile::remove(b.path(QStringLiteral("small.kar")));
    const QString members = QStringLiteral("members/s");
    b.add(QStringLiteral("W3a %1 members of 4 KiB, one transaction").arg(count(n)), members,
          n / m[0], n / m[2]);
    b.add(QStringLiteral("W3b %1 members of 4 KiB, a commit each").arg(count(n)), members, n / m[1],
          n / m[2]);
    b.add(QStringLiteral("W3b %1 members of 4 KiB, a commit each, PowerSafe").arg(count(p)),
          members, p / m[3], p / m[5]);
    b.add(QStringLiteral("W3b time per commit, %1 members: PowerSafe vs CrashSafe").arg(count(p)),
          QStringLiteral("ms"), m[3] / p * 1e3, m[4] / p * 1e3);
    syncs.addRows(b, QStringLiteral("W3b PowerSafe"));
}

// ---------------------------------------------------------------------------------------------
// W4: random reads; W5: random overwrites

// Reads 4 KiB at every offset; checks every 64th piece against the pattern of `seed`.
double timeRandomReads(QIODevice& device, const QList<qint64>& offsets, quint64 seed)
{
    QByteArray piece(PageSize, Qt::Uninitialized);
    return seconds([&] {
        for (qsizetype i = 0; i < offsets.size(); ++i) {
            require(device.seek(offsets[i]) && device.read(piece.data(), PageSize) == PageSize,
                    QStringLiteral("W4: read failed at %1").arg(offsets[i]));
            if (i % 64 == 0)
                require(piece == pattern(offsets[i], PageSize, seed),
                        QStringLiteral("W4: wrong bytes at %1").arg(offsets[i]));
        }
    });
}

void randomReads(Bench& b)
{
    const QList<qint64> offsets = randomOffsets(b.reads, 0, b.size, 4);
    auto archive = openArchive(b.bigArchive(), QIODevice::ReadOnly);
    File member(archive.get(), QStringLiteral("/big"));
    require(member.open(QIODevice::ReadOnly | QIODevice::Unbuffered), member.errorString());
    QFile host(b.source());
    require(host.open(QIODevice::ReadOnly | QIODevice::Unbuffered), host.errorString());
    const auto m = compare(
        b.reps, [&](int) { return timeRandomReads(member, offsets, 1); },
        [&](int) { return timeRandomReads(host, offsets, 1); });
    b.add(QStringLiteral("W4 %1 random 4 KiB reads in %2, unbuffered")
              .arg(count(b.reads), mib(b.size)),
          QStringLiteral("reads/s"), b.reads / m.figure, b.reads / m.baseline);
}

// Whether a read costs more far into a member: its last tenth against its first.
void readsByPlace(Bench& b)
{
    if (b.largeSize <= 0)
        return;
    const QString path = b.path(QStringLiteral("large.kar"));
    {
        auto archive = freshArchive(path, Durability::Off);
        File member(archive.get(), QStringLiteral("/large"));
        require(member.open(QIODevice::WriteOnly), member.errorString());
        for (qint64 at = 0; at < b.largeSize; at += MiB)
            require(member.write(pattern(at, MiB, 5)) == MiB, member.errorString());
        closeMember(member);
    }
    auto archive = openArchive(path, QIODevice::ReadOnly);
    File member(archive.get(), QStringLiteral("/large"));
    require(member.open(QIODevice::ReadOnly | QIODevice::Unbuffered), member.errorString());
    const int n = std::max(1, b.reads / 10);
    const qint64 tenth = b.largeSize / 10;
    const QList<qint64> first = randomOffsets(n, 0, tenth, 6);
    const QList<qint64> last = randomOffsets(n, b.largeSize - tenth, b.largeSize, 7);
    const auto m = compare(
        b.reps, [&](int) { return timeRandomReads(member, last, 5); },
        [&](int) { return timeRandomReads(member, first, 5); });
    b.add(QStringLiteral("W4 %1 random 4 KiB reads in a %2 member: last tenth vs first")
              .arg(count(n), mib(b.largeSize)),
          QStringLiteral("reads/s"), n / m.figure, n / m.baseline);
    member.close();
    archive.reset();
    QFile::remove(path);
}

// Writes `payload` at every offset.
void writeAt(QIODevice& device, const QList<qint64>& offsets, const QByteArray& payload)
{
    for (qint64 offset : offsets)
        require(device.seek(offset) && device.write(payload) == payload.size(),
                QStringLiteral("W5: write failed at %1").arg(offset));
}

void randomOverwrites(Bench& b, Durability durability, const QString& level)
{
    const QString copy = b.path(QStringLiteral("copy.bin")); // 256 MiB, left by W1
    const QList<qint64> offsets = randomOffsets(b.writes, 0, b.size, 8);
    auto archive = openArchive(b.bigArchive(), QIODevice::ReadWrite, durability);
    SyncShare syncs;
    const auto m = compare(
        b.reps,
        [&](int rep) {
            const QByteArray payload = pattern(0, PageSize, 100 + rep);
            const double elapsed = seconds([&] {
                require(archive->beginTransaction(), *archive, QStringLiteral("transaction"));
                File member(archive.get(), QStringLiteral("/big"));
                require(member.open(QIODevice::ReadWrite | QIODevice::Unbuffered),
                        member.errorString());
                writeAt(member, offsets, payload);
                closeMember(member);
                commit(*archive);
            });
            if (durability == Durability::PowerSafe)
                syncs.note(1, elapsed);
            File member(archive.get(), QStringLiteral("/big"));
            require(member.open(QIODevice::ReadOnly) && member.size() == b.size,
                    QStringLiteral("W5: the member changed its size"));
            for (qsizetype i = 0; i < offsets.size(); i += 97)
                require(member.seek(offsets[i]) && member.read(PageSize) == payload,
                        QStringLiteral("W5: an overwrite reads back wrong"));
            return elapsed;
        },
        [&](int rep) {
            const QByteArray payload = pattern(0, PageSize, 100 + rep);
            return seconds([&] {
                QFile host(copy);
                require(host.open(QIODevice::ReadWrite | QIODevice::Unbuffered),
                        host.errorString());
                writeAt(host, offsets, payload);
                host.close();
            });
        });
    b.add(QStringLiteral("W5 %1 random 4 KiB overwrites, one transaction, %2")
              .arg(count(b.writes), level),
          QStringLiteral("writes/s"), b.writes / m.figure, b.writes / m.baseline);
    if (durability == Durability::PowerSafe)
        syncs.addRows(b, QStringLiteral("W5 PowerSafe"));
}

// ---------------------------------------------------------------------------------------------
// Scale: a great many members in one transaction

struct BuildTimes
{
    double total = 0;
    double firstTenth = 0;
    double lastTenth = 0;
};

// Times n calls of makeOne(i) followed by finish(); the first and the last tenth of the calls
// are timed on their own as well.
BuildTimes timeBuild(int n, const std::function<void(int)>& makeOne,
                     const std::function<void()>& finish)
{
    BuildTimes times;
    QElapsedTimer timer;
    timer.start();
    qint64 lastTenthStart = 0;
    for (int i = 0; i < n; ++i) {
        if (i == n - n / 10)
            lastTenthStart = timer.nsecsElapsed();
        makeOne(i);
        if (i + 1 == n / 10)
            times.firstTenth = double(timer.nsecsElapsed()) / 1e9;
    }
    times.lastTenth = double(timer.nsecsElapsed() - lastTenthStart) / 1e9;
    finish();
    times.total = double(timer.nsecsElapsed()) / 1e9;
    return times;
}

// n members of the payload spread over the folders in turn, in one transaction; with
// folders == 1 all in "/f0".
BuildTimes buildArchive(const QString& path, int n, int folders, const QByteArray& payload,
                        unsigned int blockSize = Archive::DefaultBlockSize)
{
    auto archive = freshArchive(path, Durability::CrashSafe, blockSize);
    require(archive->beginTransaction(), *archive, QStringLiteral("transaction"));
    for (int f = 0; f < folders; ++f)
        require(archive->makeFolder(QStringLiteral("/f%1").arg(f)), *archive,
                QStringLiteral("makeFolder"));
    BuildTimes times = timeBuild(
        n,
        [&](int i) {
            File member(archive.get(), QStringLiteral("/f%1/m%2").arg(i % folders).arg(i));
            require(member.open(QIODevice::WriteOnly) && member.write(payload) == payload.size(),
                    member.errorString());
            closeMember(member);
        },
        [&] { commit(*archive); });
    return times;
}

BuildTimes buildHostTree(const QString& path, int n, int folders, const QByteArray& payload)
{
    QDir root = freshFolder(path);
    for (int f = 0; f < folders; ++f)
        root.mkdir(QStringLiteral("f%1").arg(f));
    return timeBuild(
        n,
        [&](int i) {
            QFile file(root.filePath(QStringLiteral("f%1/m%2").arg(i % folders).arg(i)));
            require(file.open(QIODevice::WriteOnly) && file.write(payload) == payload.size(),
                    file.errorString());
            file.close();
        },
        [] {});
}

#ifdef KESTAR_PATH
// kestar draws its progress bar on standard error when that is a terminal, for transfers of
// this many bytes or more.
constexpr qint64 KestarBarThreshold = 8 * MiB;

// Appends what has been written to the terminal so far; never waits.
void drain(int terminal, QByteArray& into)
{
    char buffer[4096];
    for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;)
        into.append(buffer, got);
}

// Runs kestar with standard error on a pseudo-terminal, as in a shell, so that it draws its
// progress bar; returns what it wrote there. Fails unless kestar exits with status 0.
QByteArray runKestar(const QStringList& arguments)
{
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    require(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0,
            QStringLiteral("cannot open a pseudo-terminal"));
    const int childSide = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    require(childSide >= 0, QStringLiteral("cannot open the pseudo-terminal's other side"));
    QProcess kestar;
    kestar.setChildProcessModifier([childSide] { ::dup2(childSide, STDERR_FILENO); });
    kestar.start(QStringLiteral(KESTAR_PATH), arguments);
    ::close(childSide); // the child has its own; the terminal closes when the child ends
    QByteArray written;
    // The terminal holds a few KiB: it is read while kestar runs, lest the bar block it.
    while (kestar.state() != QProcess::NotRunning) {
        kestar.waitForFinished(50);
        drain(terminal, written);
    }
    drain(terminal, written);
    ::close(terminal);
    require(kestar.exitStatus() == QProcess::NormalExit && kestar.exitCode() == 0,
            QStringLiteral("kestar %1 failed: %2")
                .arg(arguments.join(u' '), QString::fromLocal8Bit(written)));
    return written;
}

struct Tally
{
    qint64 files = 0;
    qint64 folders = 0;
};

// The member files and folders below `folder`.
Tally tallyEntries(const Archive& archive, const QString& folder)
{
    Tally tally;
    for (const Archive::EntryInfo& entry : archive.entries(folder)) {
        if (!entry.isFolder) {
            ++tally.files;
            continue;
        }
        const Tally below = tallyEntries(archive, QDir(folder).filePath(entry.name));
        tally.files += below.files;
        tally.folders += 1 + below.folders;
    }
    return tally;
}

// Copies a host tree with QFile::copy, making its folders with mkpath; returns the files copied.
qint64 copyHostTree(const QString& from, const QString& to)
{
    require(QDir().mkpath(to), QStringLiteral("cannot make ") + to);
    qint64 files = 0;
    for (const QFileInfo& entry :
         QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString target = QDir(to).filePath(entry.fileName());
        if (entry.isDir()) {
            files += copyHostTree(entry.filePath(), target);
        } else {
            require(QFile::copy(entry.filePath(), target),
                    QStringLiteral("cannot copy %1").arg(entry.filePath()));
            ++files;
        }
    }
    return files;
}

// The tool run as a user would: a new archive, and the host tree of the scale workload added
// to it recursively, against copying the tree with QFile.
void addWithKestar(Bench& b, const QString& hostTree, const QByteArray& payload)
{
    const int n = b.scaleMembers;
    const QString path = b.path(QStringLiteral("kestar.kar"));
    const QString copy = b.path(QStringLiteral("scale-copy"));
    QByteArray drawn;
    const double kest = seconds([&] {
        runKestar({QStringLiteral("create"), path});
        drawn = runKestar({QStringLiteral("add"), path, hostTree, QStringLiteral("-r")});
    });
    const double raw = seconds([&] {
        require(copyHostTree(hostTree, copy) == n, QStringLiteral("the host copy is incomplete"));
    });
    QDir(copy).removeRecursively();
    if (n * payload.size() >= KestarBarThreshold)
        require(drawn.contains("100%"), QStringLiteral("kestar add drew no full progress bar: ") +
                                            QString::fromLocal8Bit(drawn));
    {
        auto archive = openArchive(path, QIODevice::ReadOnly);
        const Tally tally = tallyEntries(*archive, QStringLiteral("/"));
        require(tally.files == n && tally.folders == b.scaleFolders + 1,
                QStringLiteral("kestar add: %1 files and %2 folders in the archive")
                    .arg(tally.files)
                    .arg(tally.folders));
        File last(archive.get(), QStringLiteral("/%1/f%2/m%3")
                                     .arg(QFileInfo(hostTree).fileName())
                                     .arg((n - 1) % b.scaleFolders)
                                     .arg(n - 1));
        require(last.open(QIODevice::ReadOnly) && last.readAll() == payload,
                QStringLiteral("kestar add: a member reads back wrong"));
    }
    QFile::remove(path);
    b.add(QStringLiteral("S kestar create, add -r of these files (PowerSafe, progress bar) vs "
                         "QFile::copy (1 run)"),
          QStringLiteral("files/s"), n / kest, n / raw);
}
#endif

struct Reopening
{
    double ms = 0;
    qint64 residentBeforeKiB = 0;
    qint64 residentAfterKiB = 0;
};

// Run in a child process: a fresh process shows what opening an archive costs in memory.
int probeReopen(const QString& path)
{
    const qint64 before = residentKiB();
    Archive archive(path);
    QElapsedTimer timer;
    timer.start();
    if (!archive.open(QIODevice::ReadOnly))
        return 1;
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    std::printf("%.3f %lld %lld\n", ms, before, residentKiB());
    return 0;
}

// Runs this program with the arguments of a probe; returns the `count` figures it prints.
QList<QByteArray> probeInChild(const QStringList& arguments, qsizetype count)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    require(child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit &&
                child.exitCode() == 0,
            QStringLiteral("%1 in a child process failed (%2): %3")
                .arg(arguments.join(u' '), child.errorString(),
                     QString::fromLocal8Bit(child.readAllStandardError())));
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    require(fields.size() == count, QStringLiteral("unexpected answer from the child process"));
    return fields;
}

Reopening reopenInChild(const QString& path)
{
    const QList<QByteArray> fields = probeInChild({QStringLiteral("--probe-reopen"), path}, 3);
    return {fields[0].toDouble(), fields[1].toLongLong(), fields[2].toLongLong()};
}

// The archive of a million members: members of 200 bytes in blocks of 256 bytes keep the file
// near a quarter of a GiB where blocks of 4 KiB would make it 4 GiB.
constexpr int MillionFolders = 1000;
constexpr qint64 MillionMemberSize = 200;
constexpr unsigned int MillionBlockSize = 256;

// Run in a child process, whose peak resident memory is then that of this work alone: n
// members in one transaction, committed and closed, and the archive reopened ReadOnly and one
// folder listed. Prints the seconds of the build, the milliseconds of reopening and listing,
// and the peak VmRSS in KiB.
int probeMillion(const QString& path, int n)
{
    try {
        const QByteArray payload = pattern(0, MillionMemberSize, 12);
        const BuildTimes built = buildArchive(path, n, MillionFolders, payload, MillionBlockSize);
        QElapsedTimer timer;
        timer.start();
        auto archive = openArchive(path, QIODevice::ReadOnly);
        const qsizetype listed = archive->entries(QStringLiteral("/f0")).size();
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        require(listed == (n + MillionFolders - 1) / MillionFolders,
                QStringLiteral("/f0 lists %1 members").arg(listed));
        File first(archive.get(), QStringLiteral("/f0/m0"));
        require(first.open(QIODevice::ReadOnly) && first.readAll() == payload,
                QStringLiteral("a member reads back wrong"));
        std::printf("%.3f %.3f %lld\n", built.total, ms, residentKiB("VmHWM"));
        return 0;
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", qPrintable(failure.what));
        return 1;
    }
}

void millionMembers(Bench& b)
{
    const int n = b.millionMembers;
    if (n <= 0)
        return;
    const QString path = b.path(QStringLiteral("million.kar"));
    const QList<QByteArray> fields = probeInChild(
        {QStringLiteral("--probe-million"), path, QStringLiteral("--million"), QString::number(n)},
        3);
    QFile::remove(path);
    const QString workload = QStringLiteral("S %1 members of %2 bytes in %3 folders, one "
                                            "transaction (1 run)")
                                 .arg(count(n))
                                 .arg(MillionMemberSize)
                                 .arg(count(MillionFolders));
    b.add(workload + QStringLiteral(": peak VmRSS"), QStringLiteral("MiB"),
          fields[2].toDouble() / 1024, -1);
    b.add(workload, QStringLiteral("members/s"), n / fields[0].toDouble(), -1);
    b.add(QStringLiteral("S reopening it ReadOnly and listing a folder"), QStringLiteral("ms"),
          fields[1].toDouble(), -1);
}

void scale(Bench& b)
{
    const int n = b.scaleMembers;
    const QByteArray payload = pattern(0, KiB, 9);
    const QString path = b.path(QStringLiteral("scale.kar"));
    const QString hostTree = b.path(QStringLiteral("scale"));
    QList<double> total, first, last;
    for (int rep = 0; rep < b.reps; ++rep) {
        const BuildTimes kest = buildArchive(path, n, b.scaleFolders, payload);
        total.append(kest.total);
        first.append(kest.firstTenth);
        last.append(kest.lastTenth);
    }
    // Host files are made far more slowly than members: one run of them keeps the run short.
    const BuildTimes raw = buildHostTree(hostTree, n, b.scaleFolders, payload);
    b.add(QStringLiteral("S %1 members of 1 KiB in %2 folders, one transaction (QFile: 1 run)")
              .arg(count(n))
              .arg(b.scaleFolders),
          QStringLiteral("members/s"), n / median(total), n / raw.total);
    b.add(QStringLiteral("S building: last tenth vs first tenth"), QStringLiteral("members/s"),
          (n / 10) / median(last), (n / 10) / median(first));
#ifdef KESTAR_PATH
    addWithKestar(b, hostTree, payload);
#endif
    QDir(hostTree).removeRecursively();

    QList<double> ms, before, after;
    for (int rep = 0; rep < b.reps; ++rep) {
        const Reopening r = reopenInChild(path);
        ms.append(r.ms);
        before.append(double(r.residentBeforeKiB));
        after.append(double(r.residentAfterKiB));
    }
    b.add(QStringLiteral("S reopening it ReadOnly"), QStringLiteral("ms"), median(ms), -1);
    b.add(QStringLiteral("S VmRSS of a new process: after reopening vs before"),
          QStringLiteral("MiB"), median(after) / 1024, median(before) / 1024);
    QFile::remove(path);
}

// entries() of one folder that holds every member, against listing a host folder as large.
void largeFolder(Bench& b)
{
    const int n = b.scaleMembers;
    const QByteArray payload = pattern(0, KiB, 9);
    const QString path = b.path(QStringLiteral("flat.kar"));
    const QString hostFolder = b.path(QStringLiteral("flat"));
    const BuildTimes built = buildArchive(path, n, 1, payload);
    const BuildTimes raw = buildHostTree(hostFolder, n, 1, payload);
    b.add(QStringLiteral("S %1 members of 1 KiB in one folder, one transaction (1 run)")
              .arg(count(n)),
          QStringLiteral("members/s"), n / built.total, n / raw.total);
    auto archive = openArchive(path, QIODevice::ReadOnly);
    const QString folder = QStringLiteral("/f0");
    const auto m = compare(
        b.reps,
        [&](int) {
            qint64 bytes = 0;
            qsizetype listed = 0;
            const double elapsed = seconds([&] {
                const QList<Archive::EntryInfo> entries = archive->entries(folder);
                listed = entries.size();
                for (const Archive::EntryInfo& e : entries)
                    bytes += e.size;
            });
            require(listed == n && bytes == n * KiB, QStringLiteral("entries() is incomplete"));
            return elapsed;
        },
        [&](int) {
            return seconds([&] {
                qint64 bytes = 0;
                const QFileInfoList infos =
                    QDir(hostFolder + QStringLiteral("/f0")).entryInfoList(QDir::Files);
                for (const QFileInfo& info : infos)
                    bytes += info.size();
                require(infos.size() == n && bytes == n * KiB,
                        QStringLiteral("the host listing is incomplete"));
            });
        });
    b.add(QStringLiteral("S entries() of a folder of %1 members vs QDir::entryInfoList")
              .arg(count(n)),
          QStringLiteral("ms"), m.figure * 1e3, m.baseline * 1e3);
    archive.reset();
    QFile::remove(path);
    QDir(hostFolder).removeRecursively();
}

// ---------------------------------------------------------------------------------------------
// Output and options

QString figure(double value)
{
    if (value < 0)
        return QStringLiteral("-");
    const int decimals = value >= 100 ? 0 : value >= 10 ? 1 : value >= 1 ? 2 : 3;
    return QLocale(QLocale::English).toString(value, 'f', decimals);
}

void printTable(const QList<Row>& rows)
{
    const QStringList header = {QStringLiteral("workload"), QStringLiteral("unit"),
                                QStringLiteral("KestArchive"), QStringLiteral("raw QFile"),
                                QStringLiteral("ratio")};
    QList<QStringList> cells = {header};
    for (const Row& row : rows)
        cells.append({row.workload, row.unit, figure(row.figure), figure(row.baseline),
                      row.baseline > 0 ? figure(row.figure / row.baseline) : QStringLiteral("-")});
    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList& line : cells)
        for (qsizetype c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], line[c].size());
    const auto print = [&](const QStringList& line) {
        QString text = QStringLiteral("|");
        for (qsizetype c = 0; c < line.size(); ++c)
            text +=
                QLatin1Char(' ') +
                (c == 0 ? line[c].leftJustified(widths[c]) : line[c].rightJustified(widths[c])) +
                QStringLiteral(" |");
        std::printf("%s\n", qPrintable(text));
    };
    print(cells[0]);
    QString rule = QStringLiteral("|");
    for (qsizetype c = 0; c < widths.size(); ++c)
        rule += (c == 0 ? QString(widths[c] + 2, QLatin1Char('-'))
                        : QString(widths[c] + 1, QLatin1Char('-')) + QLatin1Char(':')) +
                QLatin1Char('|');
    std::printf("%s\n", qPrintable(rule));
    for (qsizetype i = 1; i < cells.size(); ++i)
        print(cells[i]);
}

struct IntOption
{
    QCommandLineOption option;
    qint64 normal;
    qint64 quick;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures KestArchive against plain QFile on host files in the same folder and prints "
        "the medians and their ratio (KestArchive / QFile)."));
    parser.addHelpOption();
    const QCommandLineOption quick(QStringLiteral("quick"),
                                   QStringLiteral("A smaller run: smaller sizes and counts, no "
                                                  "large member."));
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Work in a new folder under this one (default: "
                                                "the system's temporary folder)."),
                                 QStringLiteral("folder"));
    QCommandLineOption probe(QStringLiteral("probe-reopen"),
                             QStringLiteral("Open the archive ReadOnly, print time and VmRSS."),
                             QStringLiteral("archive"));
    probe.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption probeMillionOption(
        QStringLiteral("probe-million"),
        QStringLiteral("Build an archive of --million members, reopen it, print times and VmHWM."),
        QStringLiteral("archive"));
    probeMillionOption.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption only(
        QStringLiteral("only"),
        QStringLiteral("Run only these workloads, e.g. W4,W5 (of W1, W2, W3, W4, W5, S); W2, W4 "
                       "and W5 run W1 first, on whose member they work."),
        QStringLiteral("list"));
    const auto number = [](const char* name, const char* what, qint64 normal, qint64 small) {
        return IntOption{QCommandLineOption(QString::fromLatin1(name),
                                            QStringLiteral("%1 (default %2, with --quick %3).")
                                                .arg(QString::fromLatin1(what))
                                                .arg(normal)
                                                .arg(small),
                                            QStringLiteral("n")),
                         normal, small};
    };
    const IntOption reps = number("reps", "Repetitions of each workload", 3, 3);
    const IntOption size = number("size-mib", "Size of the large file in W1, W2, W4, W5", 256, 32);
    const IntOption large =
        number("large-mib", "Size of the member for the first/last tenth reads; 0 skips", 1024, 0);
    const IntOption members = number("members", "Members written in W3", 10000, 2000);
    const IntOption power =
        number("power-members", "Members written in W3 at PowerSafe", 1000, 500);
    const IntOption reads = number("reads", "Random reads in W4", 100000, 20000);
    const IntOption writes = number("writes", "Random overwrites in W5", 10000, 2000);
    const IntOption scaleMembers =
        number("scale-members", "Members of the scale archive, the large folder and kestar add",
               100000, 20000);
    const IntOption million =
        number("million", "Members of the archive whose peak VmRSS is measured in S; 0 skips",
               1000000, 100000);
    const IntOption* numbers[] = {&reps,  &size,   &large,        &members, &power,
                                  &reads, &writes, &scaleMembers, &million};
    parser.addOptions({quick, dir, probe, probeMillionOption, only});
    for (const IntOption* o : numbers)
        parser.addOption(o->option);
    parser.process(app);

    if (parser.isSet(probe))
        return probeReopen(parser.value(probe));

    const auto value = [&](const IntOption& o) {
        if (!parser.isSet(o.option))
            return parser.isSet(quick) ? o.quick : o.normal;
        bool ok = false;
        const qint64 v = parser.value(o.option).toLongLong(&ok);
        if (!ok || v < 0) {
            std::fprintf(stderr, "kest_bench: --%s wants a number\n",
                         qPrintable(o.option.names().first()));
            std::exit(2);
        }
        return v;
    };
    Bench b;
    b.reps = int(std::max<qint64>(1, value(reps)));
    b.size = std::max<qint64>(1, value(size)) * MiB;
    b.largeSize = value(large) * MiB;
    b.members = int(std::max<qint64>(1, value(members)));
    b.powerMembers = int(std::max<qint64>(1, value(power)));
    b.reads = int(std::max<qint64>(10, value(reads)));
    b.writes = int(std::max<qint64>(1, value(writes)));
    b.scaleMembers = int(std::max<qint64>(100, value(scaleMembers)));
    b.millionMembers = int(std::min<qint64>(value(million), std::numeric_limits<int>::max()));
    if (parser.isSet(probeMillionOption))
        return probeMillion(parser.value(probeMillionOption), b.millionMembers);

    const QString parent = parser.isSet(dir) ? parser.value(dir) : QDir::tempPath();
    QTemporaryDir work(QDir(parent).filePath(QStringLiteral("kest_bench-XXXXXX")));
    require(work.isValid(), QStringLiteral("cannot make a folder under ") + parent);
    b.dir = work.path();
    std::fprintf(stderr, "kest_bench: working in %s\n", qPrintable(b.dir));

    QElapsedTimer run;
    run.start();
    b.sinceLastRow.start();
    const QStringList chosen = parser.value(only).toUpper().split(u',', Qt::SkipEmptyParts);
    const auto runs = [&](const char* workload) {
        return chosen.isEmpty() || chosen.contains(QString::fromLatin1(workload));
    };
    try {
        if (runs("W1") || runs("W2") || runs("W4") || runs("W5")) {
            writePatternFile(b.source(), b.size, 1);
            importLargeFile(b);
        }
        if (runs("W2"))
            exportLargeFile(b);
        if (runs("W4")) {
            randomReads(b);
            readsByPlace(b);
        }
        if (runs("W5")) {
            randomOverwrites(b, Durability::CrashSafe, QStringLiteral("CrashSafe"));
            randomOverwrites(b, Durability::PowerSafe, QStringLiteral("PowerSafe"));
            randomOverwrites(b, Durability::Off, QStringLiteral("Off"));
        }
        if (runs("W3"))
            smallMembers(b);
        if (runs("S")) {
            scale(b);
            largeFolder(b);
            millionMembers(b);
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "kest_bench: %s\n", qPrintable(failure.what));
        return 1;
    }

    std::printf("KestArchive against plain QFile on host files, median of %d run(s) each.\n"
                "ratio = KestArchive / raw QFile; where a row says \"A vs B\", the figures are "
                "A and B.\nCommits are CrashSafe unless a row names the level; QFile never "
                "syncs.\n\n",
                b.reps);
    printTable(b.rows);
    std::printf("\n(%.0f s in all)\n", double(run.elapsed()) / 1e3);
    return 0;
}
