#include "Session.h"

#include "Console.h"

#include <QFileInfo>

namespace Kestar {

namespace {

const QChar Separator = QLatin1Char('/');

// Why the library refused to open an archive that exists and carries the signature.
QString openFailure(const QString& path, Access access, const Archive& archive)
{
    switch (archive.error()) {
    case Archive::Error::Locked:
        return access == Access::Write
                   ? QStringLiteral("%1: the archive is in use by another process (locked)")
                         .arg(path)
                   : QStringLiteral("%1: the archive is being changed by another process "
                                    "(locked)")
                         .arg(path);
    case Archive::Error::NotFound:
    case Archive::Error::IoError:
        return QStringLiteral("%1: cannot open the file%2")
            .arg(path, access == Access::Write ? QStringLiteral(" for writing") : QString());
    case Archive::Error::Corrupt:
        return QStringLiteral("%1: the archive is damaged and cannot be opened (%2)")
            .arg(path, archive.errorString());
    default:
        return QStringLiteral("%1: cannot open the archive (%2)")
            .arg(path, failureText(archive.error(), archive.errorString()));
    }
}

} // namespace

std::unique_ptr<Archive> openArchive(const QString& path, Access access,
                                     Archive::Durability durability)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        Console::error(QStringLiteral("%1: no such archive").arg(path));
        return nullptr;
    }
    if (info.isDir()) {
        Console::error(QStringLiteral("%1: is a folder, not an archive").arg(path));
        return nullptr;
    }
    if (!Archive::isArchive(path)) {
        Console::error(QStringLiteral("%1: not an archive").arg(path));
        return nullptr;
    }
    auto archive = std::make_unique<Archive>(path);
    archive->setDurability(durability);
    const auto mode = access == Access::Write ? QIODevice::ReadWrite : QIODevice::ReadOnly;
    if (!archive->open(mode)) {
        Console::error(openFailure(path, access, *archive));
        return nullptr;
    }
    if (access == Access::Write && !archive->beginTransaction()) {
        Console::error(QStringLiteral("%1: cannot start a transaction (%2)")
                           .arg(path, failureText(archive->error(), archive->errorString())));
        return nullptr;
    }
    return archive;
}

QString failureText(Archive::Error code, const QString& errorString)
{
    if (code == Archive::Error::OutOfSpace)
        return QStringLiteral("the disk is full (%1)").arg(errorString);
    return errorString;
}

QString archivePath(const QString& userPath)
{
    QString path = userPath;
    while (path.size() > 1 && path.endsWith(Separator))
        path.chop(1);
    if (!path.startsWith(Separator))
        path.prepend(Separator);
    return path;
}

QString joinPath(const QString& folder, const QString& name)
{
    return folder.endsWith(Separator) ? folder + name : folder + Separator + name;
}

QString baseName(const QString& path)
{
    return path.section(Separator, -1);
}

Kind kindOf(const Archive& archive, const QString& path)
{
    const Archive::EntryInfo info = archive.entryInfo(path);
    if (info.name.isEmpty())
        return Kind::Missing;
    return info.isFolder ? Kind::Folder : Kind::File;
}

bool isSafeHostName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(Separator) && !name.contains(QChar(0));
}

} // namespace Kestar
