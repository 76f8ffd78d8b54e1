// Copying whole files between the host's file system and the archive.

#include "Archive.h"
#include "ArchiveInternal.h"
#include "File.h"

#include <QDebug>
#include <QFile>

#include <memory>

namespace Kest::Ar {

using Internal::report;

namespace {
constexpr qint64 CopyChunkSize = 16384;
} // namespace

// The member is declared after the host file, so it is closed (and the archive written back)
// first on every path; a member that received only part of the host file stays as written.
bool Archive::importFileFromDisk(const QString& archivePath, const QString& diskPath)
{
    if (!QFile::exists(diskPath)) {
        report(QStringLiteral("%1 does not exist on disk").arg(diskPath));
        return false;
    }
    QFile source(diskPath);
    if (!source.open(QIODevice::ReadOnly)) {
        report(QStringLiteral("Cannot open %1 to read").arg(diskPath));
        return false;
    }
    File member(this, archivePath);
    if (!member.open(QIODevice::WriteOnly)) {
        report(QStringLiteral("Cannot open %1 to write").arg(archivePath));
        return false;
    }
    if (!copy(source, member)) {
        report(QStringLiteral("Failed to copy %1 to %2").arg(diskPath, archivePath));
        return false;
    }
    return true;
}

bool Archive::exportFileToDisk(const QString& archivePath, const QString& diskPath)
{
    if (!fileExists(archivePath)) {
        report(QStringLiteral("%1 does not exist in archive").arg(archivePath));
        return false;
    }
    File member(this, archivePath);
    if (!member.open(QIODevice::ReadOnly)) {
        report(QStringLiteral("Cannot open %1 to read").arg(archivePath));
        return false;
    }
    // Unbuffered, so that a host file that refuses bytes (a full disk) fails the write in
    // copy(), instead of a buffered chunk being lost unnoticed when the file is closed.
    QFile target(diskPath);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        report(QStringLiteral("Cannot open %1 to write").arg(diskPath));
        return false;
    }
    if (!copy(member, target)) {
        report(QStringLiteral("Failed to copy %1 to %2").arg(archivePath, diskPath));
        return false;
    }
    return true;
}

// Succeeds only when the source delivered exactly as many bytes as it reports for its size
// and every chunk was written whole.
bool Archive::copy(QIODevice& from, QIODevice& to) const
{
    const auto buffer = std::make_unique<char[]>(CopyChunkSize);
    qint64 total = 0;
    while (!from.atEnd()) {
        const qint64 count = from.read(buffer.get(), CopyChunkSize);
        if (count <= 0)
            break;
        total += count;
        if (to.write(buffer.get(), count) != count) {
            qDebug() << "Failure to write block";
            return false;
        }
    }
    if (total != from.size()) {
        qDebug() << "Failure to read source file";
        return false;
    }
    return true;
}

} // namespace Kest::Ar
