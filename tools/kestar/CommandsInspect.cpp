// The commands that only read an archive: ls, tree, cat, info and check.

#include "Commands.h"
#include "Console.h"
#include "Session.h"
#include "Transfer.h"

#include <QFileInfo>

namespace Kestar {

namespace {

QString longLine(const Archive::EntryInfo& entry, const QString& shownName)
{
    const QString size = entry.isFolder ? QStringLiteral("-") : QString::number(entry.size);
    return QStringLiteral("%1 %2  %3")
        .arg(entry.isFolder ? QStringLiteral("folder") : QStringLiteral("file"), -6)
        .arg(size, 12)
        .arg(shownName);
}

struct ListStyle
{
    bool longFormat = false;
    bool recursive = false;
};

// Prints the entries of `folder`, each shown as `prefix` + name; with recursion, the contents
// of each subfolder follow it.
void listFolder(const Archive& archive, const QString& folder, const QString& prefix,
                const ListStyle& style)
{
    for (const Archive::EntryInfo& entry : archive.entries(folder)) {
        const QString shown = prefix + entry.name;
        Console::out(style.longFormat ? longLine(entry, shown) : shown);
        if (style.recursive && entry.isFolder)
            listFolder(archive, joinPath(folder, entry.name), shown + QLatin1Char('/'), style);
    }
}

void printTree(const Archive& archive, const QString& folder, int depth)
{
    const QString indent(2 * depth, QLatin1Char(' '));
    for (const Archive::EntryInfo& entry : archive.entries(folder)) {
        if (entry.isFolder) {
            Console::out(indent + entry.name + QLatin1Char('/'));
            printTree(archive, joinPath(folder, entry.name), depth + 1);
        } else {
            Console::out(
                QStringLiteral("%1%2  (%3 bytes)").arg(indent, entry.name).arg(entry.size));
        }
    }
}

QString infoLine(const QString& key, const QString& value)
{
    return QStringLiteral("%1 %2").arg(key + QLatin1Char(':'), -24).arg(value);
}

QString versionText(const Archive::Version& version)
{
    return QStringLiteral("%1.%2.%3").arg(version.major).arg(version.minor).arg(version.patch);
}

} // namespace

int runLs(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Read, invocation.durability);
    if (!archive)
        return Failure;
    const QString folder = archivePath(invocation.arguments.value(1, QStringLiteral("/")));
    const ListStyle style{invocation.has(QStringLiteral("long")),
                          invocation.has(QStringLiteral("recursive"))};
    const Archive::EntryInfo entry = archive->entryInfo(folder);
    if (entry.name.isEmpty()) {
        Console::error(QStringLiteral("%1: no such file or folder in the archive").arg(folder));
        return Failure;
    }
    if (entry.isFolder)
        listFolder(*archive, folder, QString(), style);
    else
        Console::out(style.longFormat ? longLine(entry, entry.name) : entry.name);
    return Success;
}

int runTree(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Read, invocation.durability);
    if (!archive)
        return Failure;
    Console::out(QStringLiteral("/"));
    printTree(*archive, QStringLiteral("/"), 1);
    return Success;
}

int runCat(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Read, invocation.durability);
    if (!archive)
        return Failure;
    const QString path = archivePath(invocation.arguments.at(1));
    const Kind kind = kindOf(*archive, path);
    if (kind != Kind::File) {
        Console::error(kind == Kind::Folder
                           ? QStringLiteral("%1: is a folder").arg(path)
                           : QStringLiteral("%1: no such member file in the archive").arg(path));
        return Failure;
    }
    QString why;
    if (!exportToStandardOutput(*archive, path, why)) {
        Console::error(why);
        return Failure;
    }
    return Success;
}

int runInfo(const Invocation& invocation)
{
    const QString path = invocation.arguments.at(0);
    const auto archive = openArchive(path, Access::Read, invocation.durability);
    if (!archive)
        return Failure;
    const Archive::Statistics figures = archive->statistics();
    const auto ratio = [&](Archive::FragmentationType type) {
        return QString::number(archive->fragmentation(type), 'f', 4);
    };
    const QStringList lines{
        infoLine(QStringLiteral("archive"), path),
        infoLine(QStringLiteral("file size"),
                 QStringLiteral("%1 bytes").arg(QFileInfo(path).size())),
        infoLine(QStringLiteral("format version"), QString::number(figures.formatVersion)),
        infoLine(QStringLiteral("application version"), versionText(archive->applicationVersion())),
        infoLine(QStringLiteral("block size"), QStringLiteral("%1 bytes").arg(figures.blockSize)),
        infoLine(QStringLiteral("blocks"), QString::number(figures.blocks)),
        infoLine(QStringLiteral("table blocks"), QString::number(figures.tableBlocks)),
        infoLine(QStringLiteral("free blocks"), QString::number(figures.freeBlocks)),
        infoLine(QStringLiteral("directory size"),
                 QStringLiteral("%1 bytes").arg(figures.directorySize)),
        infoLine(QStringLiteral("folders"), QString::number(figures.folders)),
        infoLine(QStringLiteral("member files"), QString::number(figures.memberFiles)),
        infoLine(QStringLiteral("member bytes"), QString::number(figures.memberBytes)),
        infoLine(QStringLiteral("internal fragmentation"), ratio(Archive::InternalFragmentation)),
        infoLine(QStringLiteral("external fragmentation"), ratio(Archive::ExternalFragmentation)),
    };
    for (const QString& line : lines)
        Console::out(line);
    return Success;
}

int runCheck(const Invocation& invocation)
{
    const QString path = invocation.arguments.at(0);
    const auto archive = openArchive(path, Access::Read, invocation.durability);
    if (!archive)
        return Failure;
    const QStringList problems = archive->check();
    for (const QString& problem : problems)
        Console::out(problem);
    if (problems.isEmpty()) {
        Console::out(QStringLiteral("%1: no problems found").arg(path));
        return Success;
    }
    Console::out(QStringLiteral("%1: %2 problem%3 found")
                     .arg(path)
                     .arg(problems.size())
                     .arg(problems.size() == 1 ? QString() : QStringLiteral("s")));
    return Failure;
}

} // namespace Kestar
