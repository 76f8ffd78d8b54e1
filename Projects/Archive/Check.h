#pragma once

// The consistency check of an archive as held in memory. Not installed.
//
// It answers whether every block below the block count has exactly one owner: the table
// (block c*N of every cluster), one chain (a member file or the directory stream), or the
// free list. It walks every chain once, claiming each block it meets; a block met a second
// time is a cycle (same chain) or a cross-link (another owner), and the walk of that chain
// stops there. So the work is bounded by the block count plus the number of entries, and no
// link read from the file is used as an index before it has been checked.

#include <QSet>
#include <QStringList>

namespace Kest::Ar {

class AllocationTable;
class Directory;
class FileEntry;
struct Header;

struct ArchiveView
{
    const Header& header;
    const AllocationTable& table;
    const Directory& directory;
    qint64 fileSize;
    // Members open for writing: their chains run ahead of their entries until written back,
    // so only their blocks are claimed, not compared with the entry.
    QSet<const FileEntry*> growing = {};
};

// One line per problem; empty when the archive is consistent. `signature` is the first four
// bytes of the file as they stand now.
QStringList checkArchive(const ArchiveView& archive, const QByteArray& signature);

// Allocation takes blocks from the head of the free list and trusts its links, so an archive
// loaded for writing has its list cut before its first block that lies outside the table, is
// met twice, or also belongs to the table, the directory or a member. The blocks after the
// cut are lost to allocation until the archive is repaired, but no block is ever handed to a
// second owner. Returns what was found, empty when the list is sound.
QString cutDamagedFreeList(const ArchiveView& archive, AllocationTable& table);

} // namespace Kest::Ar
