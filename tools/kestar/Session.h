#pragma once

// Opening archives for a command, and what kestar asks of an open archive through the
// library's public interface: the kind of a path, the entries of a folder, a member's size.

#include <KestArchive/Archive.h>

#include <QList>
#include <QString>

#include <memory>

namespace Kestar {

using Kest::Ar::Archive;

enum class Access { Read, Write };

// Opens an existing archive: shared for reading, alone for writing. On failure prints why
// (no such file, not an archive, locked by another process, damaged) and returns null.
std::unique_ptr<Archive> openArchive(const QString& path, Access access);

// A path inside the archive as kestar passes it to the library: absolute, without trailing
// separators; "/" for the root. Paths given relative are taken from the root.
QString archivePath(const QString& userPath);
// The path of `name` inside the folder `folder` (both absolute).
QString joinPath(const QString& folder, const QString& name);
// The last component of an absolute path; empty for the root.
QString baseName(const QString& path);

enum class Kind { Missing, File, Folder };
Kind kindOf(Archive& archive, const QString& path);

struct Item
{
    QString name;
    bool isFolder = false;
};
// The entries of a folder in stored order. Leaves the root as the current folder.
QList<Item> itemsOf(Archive& archive, const QString& folder);

// The size of a member file; -1 when it cannot be opened.
qint64 memberSize(Archive& archive, const QString& path);

// Whether a member name can be used as a host file name without leaving the target folder.
bool isSafeHostName(const QString& name);

} // namespace Kestar
