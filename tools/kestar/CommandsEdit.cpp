// The commands that change the tree without copying files: create, mkdir, rm and rmdir.

#include "Commands.h"
#include "Console.h"
#include "Session.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace Kestar {

namespace {

constexpr quint64 MinBlockSize = 8;
constexpr quint64 MaxBlockSize = 64 * 1024 * 1024;

QString parentOf(const QString& path)
{
    const QString parent = path.section(QLatin1Char('/'), 0, -2);
    return parent.isEmpty() ? QStringLiteral("/") : parent;
}

// Makes `folder`; with `parents`, makes missing parents first and accepts a folder that
// exists already.
bool makeFolder(Archive& archive, const QString& folder, bool parents, Outcome& outcome)
{
    switch (kindOf(archive, folder)) {
    case Kind::Folder:
        if (!parents)
            outcome.fail(QStringLiteral("%1: already exists").arg(folder));
        return parents;
    case Kind::File:
        outcome.fail(QStringLiteral("%1: a member file has that name").arg(folder));
        return false;
    case Kind::Missing:
        break;
    }
    const QString parent = parentOf(folder);
    if (kindOf(archive, parent) != Kind::Folder) {
        if (!parents) {
            outcome.fail(
                QStringLiteral("%1: the parent folder %2 does not exist").arg(folder, parent));
            return false;
        }
        if (!makeFolder(archive, parent, true, outcome))
            return false;
    }
    if (!archive.makeFolder(folder)) {
        outcome.fail(QStringLiteral("%1: cannot make the folder (%2)")
                         .arg(folder, failureText(archive.error(), archive.errorString())),
                     archive.error());
        return false;
    }
    return true;
}

void failToRemove(const Archive& archive, const QString& path, Outcome& outcome)
{
    outcome.fail(QStringLiteral("%1: cannot remove (%2)")
                     .arg(path, failureText(archive.error(), archive.errorString())),
                 archive.error());
}

// Removes the folder with everything in it.
bool removeTree(Archive& archive, const QString& folder, Outcome& outcome)
{
    bool removedAll = true;
    for (const Archive::EntryInfo& entry : archive.entries(folder)) {
        if (outcome.writeFailed())
            return false;
        const QString path = joinPath(folder, entry.name);
        if (entry.isFolder) {
            removedAll = removeTree(archive, path, outcome) && removedAll;
        } else if (!archive.removeFile(path)) {
            failToRemove(archive, path, outcome);
            removedAll = false;
        }
    }
    if (removedAll && !outcome.writeFailed() && !archive.removeFolder(folder)) {
        failToRemove(archive, folder, outcome);
        return false;
    }
    return removedAll;
}

bool parseBlockSize(const Invocation& invocation, unsigned int& blockSize)
{
    if (!invocation.has(QStringLiteral("block-size")))
        return true;
    bool ok = false;
    const quint64 value = invocation.value(QStringLiteral("block-size")).toULongLong(&ok);
    if (!ok || value < MinBlockSize || value > MaxBlockSize) {
        Console::error(QStringLiteral("--block-size must be a number of bytes from %1 to %2")
                           .arg(MinBlockSize)
                           .arg(MaxBlockSize));
        return false;
    }
    blockSize = unsigned(value);
    return true;
}

bool parseVersion(const Invocation& invocation, Archive::Version& version)
{
    if (!invocation.has(QStringLiteral("app-version")))
        return true;
    const QString text = invocation.value(QStringLiteral("app-version"));
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9}){0,2}$"));
    if (!pattern.match(text).hasMatch()) {
        Console::error(
            QStringLiteral("--app-version must look like 1.2.3 (1 to 3 numbers), not '%1'")
                .arg(text));
        return false;
    }
    version = Archive::Version(text);
    return true;
}

} // namespace

int runCreate(const Invocation& invocation)
{
    const QString path = invocation.arguments.at(0);
    unsigned int blockSize = 4096;
    Archive::Version version;
    if (!parseBlockSize(invocation, blockSize) || !parseVersion(invocation, version))
        return UsageFailure;
    if (QFileInfo::exists(path)) {
        Console::error(QStringLiteral("%1: already exists").arg(path));
        return Failure;
    }
    Archive archive(path, blockSize);
    archive.setApplicationVersion(version);
    archive.setDurability(invocation.durability);
    if (!archive.open(QIODevice::ReadWrite)) {
        Console::error(QStringLiteral("%1: cannot create the archive (%2)")
                           .arg(path, failureText(archive.error(), archive.errorString())));
        return Failure;
    }
    return Success;
}

int runMkdir(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Write, invocation.durability);
    if (!archive)
        return Failure;
    const bool parents = invocation.has(QStringLiteral("parents"));
    Outcome outcome;
    for (const QString& argument : invocation.arguments.mid(1)) {
        if (outcome.writeFailed())
            break;
        const QString folder = archivePath(argument);
        if (folder == QLatin1String("/")) {
            if (!parents)
                outcome.fail(QStringLiteral("/: the root folder exists already"));
            continue;
        }
        makeFolder(*archive, folder, parents, outcome);
    }
    closeArchive(*archive, outcome);
    return outcome.status();
}

int runRm(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Write, invocation.durability);
    if (!archive)
        return Failure;
    const bool recursive = invocation.has(QStringLiteral("recursive"));
    Outcome outcome;
    for (const QString& argument : invocation.arguments.mid(1)) {
        if (outcome.writeFailed())
            break;
        const QString path = archivePath(argument);
        if (path == QLatin1String("/")) {
            outcome.fail(QStringLiteral("/: the root folder cannot be removed"));
            continue;
        }
        switch (kindOf(*archive, path)) {
        case Kind::Missing:
            outcome.fail(QStringLiteral("%1: no such file or folder in the archive").arg(path));
            break;
        case Kind::File:
            if (!archive->removeFile(path))
                failToRemove(*archive, path, outcome);
            break;
        case Kind::Folder:
            if (recursive)
                removeTree(*archive, path, outcome);
            else
                outcome.fail(QStringLiteral("%1: is a folder (use -r, or rmdir for an empty "
                                            "folder)")
                                 .arg(path));
            break;
        }
    }
    closeArchive(*archive, outcome);
    return outcome.status();
}

int runRmdir(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Write, invocation.durability);
    if (!archive)
        return Failure;
    Outcome outcome;
    for (const QString& argument : invocation.arguments.mid(1)) {
        if (outcome.writeFailed())
            break;
        const QString folder = archivePath(argument);
        const Kind kind = kindOf(*archive, folder);
        if (folder == QLatin1String("/"))
            outcome.fail(QStringLiteral("/: the root folder cannot be removed"));
        else if (kind == Kind::Missing)
            outcome.fail(QStringLiteral("%1: no such folder in the archive").arg(folder));
        else if (kind == Kind::File)
            outcome.fail(QStringLiteral("%1: is a member file, not a folder").arg(folder));
        else if (!archive->removeFolder(folder)) {
            if (archive->error() == Archive::Error::NotEmpty)
                outcome.fail(QStringLiteral("%1: the folder is not empty").arg(folder));
            else
                failToRemove(*archive, folder, outcome);
        }
    }
    closeArchive(*archive, outcome);
    return outcome.status();
}

} // namespace Kestar
