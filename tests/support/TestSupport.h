#pragma once

// What several test programs need: host files, big-endian encodings, archives built byte by
// byte (independently of the library's writer, so that a reader and a writer that agree with
// each other but not with the format cannot pass together), and member I/O in one call.

#include "Archive.h"

#include <QByteArray>
#include <QString>

namespace KestTest {

using Kest::Ar::Archive;

// The whole content of a host file (empty when it cannot be read).
QByteArray readHostFile(const QString& path);
// Writes `bytes` as the whole content of a host file; false on failure.
bool writeHostFile(const QString& path, const QByteArray& bytes);
// Overwrites bytes of an existing host file at `offset`; false on failure.
bool patchHostFile(const QString& path, qint64 offset, const QByteArray& bytes);

// Big-endian encodings, as QDataStream writes them.
QByteArray be32(qint32 value);
QByteArray be64(qint64 value);
QByteArray qstringBytes(const QString& text);
QByteArray padded(QByteArray bytes, qsizetype size);

// Deterministic pseudo-random bytes.
QByteArray patternBytes(qint64 size, quint32 seed);

// ---- Archive files, byte by byte ----------------------------------------------------------

constexpr qint32 EndOfChain = -1;
constexpr qint32 Invalid = -2;

// The header fields exactly as a writer of `version` lays them out: no application version
// before version 2, a 4-byte directory size up to version 2.
QByteArray headerBytes(int version, quint32 blockSize, int blocks, qint64 directorySize, int first,
                       int last, const Archive::Version& app = {}, int firstFree = -1);
// The file as its writer left it: blocks behind a header area of 64 bytes up to version 3 and
// 256 after, the header written over the start (those of versions 2 and 3, longer than their
// area, lie over the first table entries).
QByteArray archiveFile(int version, const QByteArray& header, const QByteArray& blocks);
// A table block whose first `links` entries are given and whose other entries are INVALID.
QByteArray tableBlock(quint32 blockSize, const QList<qint32>& links = {EndOfChain, EndOfChain});
// The stored form of a root folder whose children are given stored (type code and body).
QByteArray rootFolder(const QList<QByteArray>& children = {});
// A member's stored form with its type code; `width` is the width of its size (4 or 8).
QByteArray fileRecord(const QString& name, qint64 size, int first, int last, int width = 8);
// A folder's stored form with its type code.
QByteArray folderRecord(const QString& name, const QList<QByteArray>& children = {});
// An archive of two blocks (the table, then a directory holding `root`) in format `version`.
QByteArray smallArchive(int version, quint32 blockSize, const QByteArray& root,
                        const Archive::Version& app = {});

// ---- Member I/O ---------------------------------------------------------------------------

// The whole content of a member; a null array when it cannot be opened for reading.
QByteArray readMember(Archive& archive, const QString& path);
// Writes `bytes` as a member's content (opened with `mode`) and closes it; false on failure.
bool writeMember(Archive& archive, const QString& path, const QByteArray& bytes,
                 QIODevice::OpenMode mode = QIODevice::WriteOnly);

} // namespace KestTest
