#include "Session.h"

#include "Console.h"

#include <KestArchive/File.h>

#include <QFileInfo>

namespace Kestar {

namespace {

const QChar Separator = QLatin1Char('/');

// The library's own words for a lock held by somebody else.
bool mentionsLock(const QStringList& messages)
{
    for (const QString& message : messages) {
        if (message.contains(QLatin1String("open: cannot acquire lock")))
            return true;
    }
    return false;
}

// Why the library refused to open an archive that exists and carries the signature.
QString openFailure(const QString& path, Access access, const QStringList& messages)
{
    if (mentionsLock(messages))
        return access == Access::Write
                   ? QStringLiteral("%1: the archive is in use by another process (locked)")
                         .arg(path)
                   : QStringLiteral("%1: the archive is being changed by another process "
                                    "(locked)")
                         .arg(path);
    for (const QString& message : messages) {
        if (message.contains(QLatin1String("open: cannot open file")))
            return QStringLiteral("%1: cannot open the file%2")
                .arg(path, access == Access::Write ? QStringLiteral(" for writing") : QString());
    }
    const QString reason = messages.isEmpty() ? QStringLiteral("no reason given") : messages.last();
    return QStringLiteral("%1: the archive is damaged and cannot be opened (%2)").arg(path, reason);
}

} // namespace

std::unique_ptr<Archive> openArchive(const QString& path, Access access)
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
    Console::takeLibraryMessages();
    auto archive = std::make_unique<Archive>(path);
    const auto mode = access == Access::Write ? QIODevice::ReadWrite : QIODevice::ReadOnly;
    if (!archive->open(mode)) {
        Console::error(openFailure(path, access, Console::takeLibraryMessages()));
        return nullptr;
    }
    return archive;
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

Kind kindOf(Archive& archive, const QString& path)
{
    if (path == QLatin1String("/"))
        return Kind::Folder;
    if (archive.fileExists(path))
        return Kind::File;
    if (archive.setCurrentFolder(path)) {
        archive.setCurrentFolder(QStringLiteral("/"));
        return Kind::Folder;
    }
    return Kind::Missing;
}

QList<Item> itemsOf(Archive& archive, const QString& folder)
{
    QList<Item> items;
    if (!archive.setCurrentFolder(folder))
        return items;
    const QList<QString> folders = archive.list(Archive::Folders);
    for (const QString& name : archive.list(Archive::All))
        items.append(Item{name, folders.contains(name)});
    archive.setCurrentFolder(QStringLiteral("/"));
    return items;
}

qint64 memberSize(Archive& archive, const QString& path)
{
    Kest::Ar::File member(&archive, path);
    if (!member.open(QIODevice::ReadOnly))
        return -1;
    return member.size();
}

bool isSafeHostName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(Separator) && !name.contains(QChar(0));
}

} // namespace Kestar
