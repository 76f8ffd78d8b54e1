// Measures member I/O against raw file I/O, the cost of a seek by its place in a member, and
// the cost of adding many members. Prints one line per measurement; compares nothing and
// fails nothing: the figures are for people.

#include <KestArchive/Archive.h>
#include <KestArchive/File.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using Kest::Ar::Archive;
using Kest::Ar::File;

namespace {

constexpr qint64 ChunkSize = 64 * 1024;
constexpr qint64 MiB = 1024 * 1024;

void printRate(const char* what, qint64 bytes, qint64 nanoseconds)
{
    const double seconds = double(nanoseconds) / 1e9;
    std::printf("%-40s %10.1f MiB/s  (%.3f s)\n", what, double(bytes) / double(MiB) / seconds,
                seconds);
}

void printCost(const char* what, qint64 count, qint64 nanoseconds)
{
    std::printf("%-40s %10.1f us each  (%lld)\n", what, double(nanoseconds) / 1e3 / double(count),
                count);
}

// Writes `total` bytes in chunks to an open device; returns the elapsed nanoseconds.
qint64 timeWrites(QIODevice& device, qint64 total)
{
    const QByteArray chunk(ChunkSize, 'k');
    QElapsedTimer timer;
    timer.start();
    for (qint64 written = 0; written < total; written += ChunkSize)
        device.write(chunk);
    return timer.nsecsElapsed();
}

qint64 timeReads(QIODevice& device)
{
    QByteArray chunk(ChunkSize, Qt::Uninitialized);
    QElapsedTimer timer;
    timer.start();
    while (device.read(chunk.data(), ChunkSize) > 0) {
    }
    return timer.nsecsElapsed();
}

void benchRawFile(const QString& path, qint64 total)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const qint64 writing = timeWrites(file, total);
    file.close();
    file.open(QIODevice::ReadOnly);
    const qint64 reading = timeReads(file);
    printRate("raw QFile sequential write", total, writing);
    printRate("raw QFile sequential read", total, reading);
}

void benchMember(Archive& archive, qint64 total)
{
    {
        File member(&archive, QStringLiteral("/big"));
        member.open(QIODevice::WriteOnly);
        const qint64 writing = timeWrites(member, total);
        QElapsedTimer closing;
        closing.start();
        member.close();
        printRate("member sequential write (incl. close)", total, writing + closing.nsecsElapsed());
    }
    File member(&archive, QStringLiteral("/big"));
    member.open(QIODevice::ReadOnly);
    printRate("member sequential read", total, timeReads(member));
}

// A seek walks the member's chain from its start, so its cost grows with the position.
void benchSeeks(Archive& archive, qint64 total)
{
    File member(&archive, QStringLiteral("/big"));
    member.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    const int rounds = 200;
    char byte = 0;
    for (int tenth : {0, 5, 9}) {
        const qint64 place = total / 10 * tenth;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < rounds; ++i) {
            member.seek(place + (i % 7) * 4096);
            member.read(&byte, 1);
        }
        const QByteArray label =
            QStringLiteral("seek+read at %1% of the member").arg(tenth * 10).toLatin1();
        printCost(label.constData(), rounds, timer.nsecsElapsed());
    }
}

// Every member that is closed rewrites the whole directory stream.
void benchManyMembers(Archive& archive, int count)
{
    archive.makeFolder(QStringLiteral("/many"));
    const QByteArray payload(100, 'm');
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        File member(&archive, QStringLiteral("/many/member%1").arg(i));
        member.open(QIODevice::WriteOnly);
        member.write(payload);
    }
    printCost("create, write 100 bytes, close a member", count, timer.nsecsElapsed());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("KestArchive benchmarks"));
    parser.addHelpOption();
    QCommandLineOption sizeOption(QStringLiteral("size-mib"),
                                  QStringLiteral("Size of the large member in MiB."),
                                  QStringLiteral("n"), QStringLiteral("64"));
    QCommandLineOption membersOption(QStringLiteral("members"),
                                     QStringLiteral("Number of small members to add."),
                                     QStringLiteral("n"), QStringLiteral("1000"));
    parser.addOption(sizeOption);
    parser.addOption(membersOption);
    parser.process(app);
    const qint64 total = parser.value(sizeOption).toLongLong() * MiB;
    const int members = parser.value(membersOption).toInt();

    QTemporaryDir dir;
    benchRawFile(dir.filePath(QStringLiteral("raw.bin")), total);
    Archive archive(dir.filePath(QStringLiteral("bench.kar")));
    if (!archive.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "cannot create the benchmark archive\n");
        return 1;
    }
    benchMember(archive, total);
    benchSeeks(archive, total);
    benchManyMembers(archive, members);
    archive.close();
    return 0;
}
