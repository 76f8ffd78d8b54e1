// Paths inside the archive.
//
// The separator is "/" and nothing else. A path that begins with "/" is resolved from the
// root; any other path names an entry of the current folder directly (its earlier components
// are not walked). "." and ".." are ordinary names; names are compared exactly. A path made
// only of separators names the root, and trailing separators are ignored ("/a/b/" is "/a/b").
// The text "qel_dir" as a whole names the directory stream for fileExists and fileEntry.

#include "Archive.h"
#include "ArchiveInternal.h"
#include "Entry.h"

namespace Kest::Ar {

using Internal::report;

namespace {

const QChar Separator = QLatin1Char('/');

bool isRootPath(const QString& path)
{
    return !path.isEmpty() && path.count(Separator) == path.size();
}

QString withoutTrailingSeparators(QString path)
{
    while (path.endsWith(Separator))
        path.chop(1);
    return path;
}

} // namespace

QString Archive::localName(const QString& path) const
{
    return path.section(Separator, -1, -1);
}

FolderEntry* Archive::parent(const QString& path) const
{
    if (!path.startsWith(Separator))
        return currentFolder_;
    QStringList components = path.split(Separator, Qt::SkipEmptyParts);
    if (!components.isEmpty())
        components.removeLast();
    FolderEntry* folder = root_;
    for (const QString& component : components) {
        Entry* child = folder->child(component);
        if (!child) {
            report(QStringLiteral("parent: %1 does not exist").arg(component));
            return nullptr;
        }
        if (!child->isFolder()) {
            report(QStringLiteral("parent: %1 is not a folder").arg(component));
            return nullptr;
        }
        folder = static_cast<FolderEntry*>(child);
    }
    return folder;
}

Archive::Target Archive::resolve(const QString& path) const
{
    Target target;
    if (isRootPath(path)) {
        target.isRoot = true;
        target.name = QStringLiteral("/");
        return target;
    }
    const QString trimmed = withoutTrailingSeparators(path);
    target.folder = parent(trimmed);
    target.name = localName(trimmed);
    return target;
}

Entry* Archive::childOf(const Target& target) const
{
    return target.folder ? target.folder->child(target.name) : nullptr;
}

QString Archive::currentFolder() const
{
    const QString name = currentFolder_->name();
    return name == RootName ? QStringLiteral("/") : name;
}

bool Archive::setCurrentFolder(const QString& path)
{
    const Target target = resolve(path);
    if (target.isRoot) {
        currentFolder_ = root_;
        return true;
    }
    if (!target.folder) {
        report(QStringLiteral("setCurrentFolder: parent of %1 does not exist").arg(target.name));
        return false;
    }
    Entry* entry = childOf(target);
    if (!entry) {
        report(QStringLiteral("setCurrentFolder: %1 does not exist").arg(target.name));
        return false;
    }
    if (!entry->isFolder()) {
        report(QStringLiteral("setCurrentFolder: %1 is not a folder").arg(target.name));
        return false;
    }
    currentFolder_ = static_cast<FolderEntry*>(entry);
    return true;
}

bool Archive::makeFolder(const QString& path)
{
    const Target target = resolve(path);
    if (!target.isRoot && !target.folder) {
        report(QStringLiteral("makeFolder: parent of %1 does not exist").arg(target.name));
        return false;
    }
    if (target.isRoot || target.folder->contains(target.name)) {
        report(QStringLiteral("makeFolder: %1 already exists").arg(target.name));
        return false;
    }
    target.folder->addChild(new FolderEntry(target.name));
    return true;
}

bool Archive::removeFolder(const QString& path)
{
    const Target target = resolve(path);
    if (target.isRoot) {
        report(QStringLiteral("removeFolder: the root folder cannot be removed"));
        return false;
    }
    if (!target.folder) {
        report(QStringLiteral("removeFolder: parent of %1 does not exist").arg(target.name));
        return false;
    }
    Entry* entry = childOf(target);
    if (!entry) {
        report(QStringLiteral("removeFolder: %1 does not exist").arg(target.name));
        return true;
    }
    if (!entry->isFolder()) {
        report(QStringLiteral("removeFolder: %1 is not a folder").arg(target.name));
        return false;
    }
    auto* folder = static_cast<FolderEntry*>(entry);
    if (!folder->isEmpty()) {
        report(QStringLiteral("removeFolder: %1 is not empty").arg(target.name));
        return false;
    }
    if (folder == currentFolder_) {
        report(QStringLiteral("removeFolder: %1 is the current folder").arg(target.name));
        return false;
    }
    target.folder->removeChild(folder);
    return true;
}

bool Archive::fileExists(const QString& path) const
{
    if (path == DirectoryName)
        return true;
    const Target target = resolve(path);
    if (target.isRoot)
        return false;
    if (!target.folder) {
        report(QStringLiteral("fileExists: parent of %1 does not exist").arg(target.name));
        return false;
    }
    const Entry* entry = childOf(target);
    return entry && !entry->isFolder();
}

QList<QString> Archive::list(Filter filter) const
{
    QList<QString> names;
    for (const Entry* child : *currentFolder_) {
        if ((filter == Files && child->isFolder()) || (filter == Folders && !child->isFolder()))
            continue;
        names.append(child->name());
    }
    return names;
}

FileEntry* Archive::fileEntry(const QString& path)
{
    if (path == DirectoryName)
        return directory_;
    const Target target = resolve(path);
    if (target.isRoot) {
        report(QStringLiteral("fileEntry: %1 is a folder").arg(target.name));
        return nullptr;
    }
    if (!target.folder) {
        report(QStringLiteral("fileEntry: parent of %1 does not exist").arg(target.name));
        return nullptr;
    }
    Entry* entry = childOf(target);
    if (!entry)
        return target.folder->newFile(target.name);
    if (entry->isFolder()) {
        report(QStringLiteral("fileEntry: %1 is a folder").arg(target.name));
        return nullptr;
    }
    return static_cast<FileEntry*>(entry);
}

} // namespace Kest::Ar
