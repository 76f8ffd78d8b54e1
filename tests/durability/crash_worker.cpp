// Runs the workload on an archive and is killed at the k-th write, resize or sync:
//
//   crash_worker <archive> <k> <crash|power>
//
// Prints "done N" after step N has been committed, and exits 0 when the workload ended
// before the k-th call. With "open" for k, it only opens the archive ReadOnly and prints the
// name of the error and the version peekVersion() finds (a process that may not write the
// archive, meeting a hot journal).

#include "ArchivePrivate.h"
#include "FaultyIo.h"
#include "Workload.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    Kest::Ar::Archive archive(args[1]);
    if (args[2] == QLatin1String("open")) {
        archive.open(QIODevice::ReadOnly);
        const char* names[] = {"NoError",   "NotFound",        "AlreadyExists", "NotAFolder",
                               "NotAFile",  "NotEmpty",        "InUse",         "Locked",
                               "ReadOnly",  "InvalidArgument", "Corrupt",       "IoError",
                               "OutOfSpace"};
        const Kest::Ar::Archive::Version version = Kest::Ar::Archive::peekVersion(args[1]);
        std::printf("%s %d.%d.%d\n", names[int(archive.error())], version.major, version.minor,
                    version.patch);
        return 0;
    }
    KestTest::FaultyIo io(args[2].toInt(), KestTest::FaultyIo::Fault::Kill);
    archive.setDurability(args[3] == QLatin1String("power")
                              ? Kest::Ar::Archive::Durability::PowerSafe
                              : Kest::Ar::Archive::Durability::CrashSafe);
    if (!archive.open(QIODevice::ReadWrite))
        return 3;
    Kest::Ar::ArchivePrivate::of(archive).container.setIo(io);
    const KestTest::Workload workload;
    for (int i = 0; i < workload.steps(); ++i) {
        if (!workload.run(i, archive))
            return 4;
        std::printf("done %d\n", i + 1);
        std::fflush(stdout);
    }
    return 0;
}
