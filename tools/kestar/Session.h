#pragma once

// Opening archives for a command, and kestar's view of paths inside an archive.

#include <KestArchive/Archive.h>

#include <QString>

#include <memory>

namespace Kestar {

using Kest::Ar::Archive;

enum class Access { Read, Write };

// Opens an existing archive: shared for reading, alone for writing, with its commits as
// durable as `durability` says. For writing, the command's changes are one transaction from
// here on, which closeArchive() commits. On failure prints why (no such file, not an archive,
// locked by another process, damaged) and returns null.
std::unique_ptr<Archive> openArchive(const QString& path, Access access,
                                     Archive::Durability durability);

// The library's reason for a failure as the user reads it: a full disk is called so.
QString failureText(Archive::Error code, const QString& errorString);

// A path inside the archive as kestar passes it to the library: absolute, without trailing
// separators; "/" for the root. Paths given relative are taken from the root.
QString archivePath(const QString& userPath);
// The path of `name` inside the folder `folder` (both absolute).
QString joinPath(const QString& folder, const QString& name);
// The last component of an absolute path; empty for the root.
QString baseName(const QString& path);

enum class Kind { Missing, File, Folder };
Kind kindOf(const Archive& archive, const QString& path);

// Whether a member name can be used as a host file name without leaving the target folder.
bool isSafeHostName(const QString& name);

} // namespace Kestar
