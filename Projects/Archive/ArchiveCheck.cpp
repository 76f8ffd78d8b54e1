// Reports on an open archive: figures for tools, and the full consistency check.
//
// The check takes the archive as held in memory (header fields, the whole table, the tree)
// and answers whether every block below the block count has exactly one owner: the table
// (block c*N of every cluster), one chain (a member file or the directory stream), or the
// free list. It walks every chain once, claiming each block it meets; a block met a second
// time is a cycle (same chain) or a cross-link (another owner), and the walk of that chain
// stops there. So the work is bounded by the block count plus the number of entries, and
// no link read from the file is used as an index before it has been checked.

#include "Archive.h"
#include "Entry.h"

#include <QFile>
#include <QSet>
#include <QtEndian>

#include <utility>

namespace Kest::Ar {

namespace {

void countEntries(const FolderEntry* folder, Archive::Statistics& figures)
{
    for (const Entry* child : *folder) {
        if (child->isFolder()) {
            ++figures.folders;
            countEntries(static_cast<const FolderEntry*>(child), figures);
        } else {
            ++figures.memberFiles;
        }
    }
}

// What the check needs to know about the container, taken once from the archive.
struct Layout
{
    const QList<int>& table;
    int nBlocks;
    int perCluster;
    qint64 blockSize;
    qint64 headerSize;
    qint64 fileSize;

    bool isBlock(int b) const { return b >= 0 && b < nBlocks; }
    qint64 endOfBlock(int b) const { return headerSize + (qint64(b) + 1) * blockSize; }
};

constexpr int EndOfChain = -1;
constexpr int Invalid = -2;

// The owner of every block, as far as the walks have come.
class BlockOwners
{
public:
    static constexpr int Nobody = -1;

    explicit BlockOwners(int nBlocks) : owner_(nBlocks, Nobody) {}

    int add(const QString& name)
    {
        names_.append(name);
        return int(names_.size()) - 1;
    }
    QString name(int owner) const { return names_.at(owner); }
    int ownerOf(int block) const { return owner_.at(block); }
    void claim(int block, int owner) { owner_[block] = owner; }

private:
    QList<int> owner_;
    QStringList names_;
};

// What a walk along one chain found.
struct Chain
{
    int blocks = 0;
    int last = EndOfChain;
    int highest = EndOfChain;
    bool intact = false; // reached END_OF_CHAIN without meeting any damage
};

QString describeLink(int link)
{
    if (link == Invalid)
        return QStringLiteral("INVALID");
    if (link == EndOfChain)
        return QStringLiteral("END_OF_CHAIN");
    return QString::number(link);
}

// Reports why `block`, reached from `from` (or the start of the chain when `from` is
// END_OF_CHAIN), cannot be part of the chain of `name`.
QString badLink(const Layout& layout, const QString& name, int from, int block)
{
    if (from == EndOfChain)
        return QStringLiteral("%1: first block %2 is not a block of the archive (0 to %3)")
            .arg(name, describeLink(block))
            .arg(layout.nBlocks - 1);
    if (block == Invalid)
        return QStringLiteral("%1: block %2 holds INVALID inside the chain").arg(name).arg(from);
    return QStringLiteral("%1: block %2 links to %3, outside the table (0 to %4)")
        .arg(name)
        .arg(from)
        .arg(block)
        .arg(layout.nBlocks - 1);
}

Chain walkChain(const Layout& layout, BlockOwners& owners, int owner, int first,
                QStringList& problems)
{
    const QString name = owners.name(owner);
    Chain chain;
    int from = EndOfChain;
    for (int block = first;; block = layout.table.at(block)) {
        if (!layout.isBlock(block)) {
            problems.append(badLink(layout, name, from, block));
            return chain;
        }
        const int holder = owners.ownerOf(block);
        if (holder == owner) {
            problems.append(QStringLiteral("%1: the chain runs in a cycle: block %2 links back "
                                           "to block %3")
                                .arg(name)
                                .arg(from)
                                .arg(block));
            return chain;
        }
        if (holder != BlockOwners::Nobody) {
            problems.append(QStringLiteral("%1: block %2 is also in %3 (cross-linked)")
                                .arg(name)
                                .arg(block)
                                .arg(owners.name(holder)));
            return chain;
        }
        owners.claim(block, owner);
        ++chain.blocks;
        chain.last = block;
        chain.highest = qMax(chain.highest, block);
        from = block;
        if (layout.table.at(block) == EndOfChain) {
            chain.intact = true;
            return chain;
        }
    }
}

// A stream of `size` bytes holds at least one block and ends in the block of its last byte.
qint64 blocksNeeded(qint64 size, qint64 blockSize)
{
    const qint64 full = size / blockSize + (size % blockSize != 0 ? 1 : 0);
    return qMax<qint64>(1, full);
}

void checkChainAgainstEntry(const Layout& layout, const QString& name, const FileEntry& entry,
                            const Chain& chain, QStringList& problems)
{
    const qint64 needed = blocksNeeded(entry.size(), layout.blockSize);
    if (chain.blocks < needed)
        problems.append(QStringLiteral("%1: the chain of %2 blocks is too short for its size of "
                                       "%3 bytes (needs %4)")
                            .arg(name)
                            .arg(chain.blocks)
                            .arg(entry.size())
                            .arg(needed));
    else if (chain.blocks > needed)
        problems.append(QStringLiteral("%1: the chain of %2 blocks is longer than its size of "
                                       "%3 bytes needs (%4)")
                            .arg(name)
                            .arg(chain.blocks)
                            .arg(entry.size())
                            .arg(needed));
    if (chain.last != entry.lastBlock())
        problems.append(QStringLiteral("%1: the chain ends at block %2 but the entry records "
                                       "last block %3")
                            .arg(name)
                            .arg(chain.last)
                            .arg(entry.lastBlock()));
    // Every block of a stream that holds bytes is written out whole; only the single block of
    // an empty stream may not have reached the file yet.
    if (entry.size() > 0 && layout.endOfBlock(chain.highest) > layout.fileSize)
        problems.append(QStringLiteral("%1: block %2 lies past the end of the file (%3 bytes)")
                            .arg(name)
                            .arg(chain.highest)
                            .arg(layout.fileSize));
}

// A member file or the directory stream: its entry, then its chain.
void checkStream(const Layout& layout, BlockOwners& owners, const QString& name,
                 const FileEntry& entry, QStringList& problems)
{
    if (entry.size() < 0) {
        problems.append(QStringLiteral("%1: negative size %2").arg(name).arg(entry.size()));
        return;
    }
    const bool noFirst = entry.firstBlock() == EndOfChain;
    const bool noLast = entry.lastBlock() == EndOfChain;
    if (noFirst || noLast) {
        if (noFirst != noLast)
            problems.append(QStringLiteral("%1: first block %2 and last block %3 disagree about "
                                           "whether it has blocks")
                                .arg(name)
                                .arg(entry.firstBlock())
                                .arg(entry.lastBlock()));
        else if (entry.size() != 0)
            problems.append(QStringLiteral("%1: has no blocks but a size of %2 bytes")
                                .arg(name)
                                .arg(entry.size()));
        return;
    }
    const Chain chain = walkChain(layout, owners, owners.add(name), entry.firstBlock(), problems);
    if (chain.intact)
        checkChainAgainstEntry(layout, name, entry, chain, problems);
}

// Block c*N heads cluster c and links to the next table block; the last one ends the chain.
void checkTableChain(const Layout& layout, BlockOwners& owners, QStringList& problems)
{
    const int owner = owners.add(QStringLiteral("the table"));
    for (qint64 head = 0; head < layout.nBlocks; head += layout.perCluster) {
        const int block = int(head);
        owners.claim(block, owner);
        const qint64 following = head + layout.perCluster;
        const int expected = following < layout.nBlocks ? int(following) : EndOfChain;
        const int link = layout.table.at(block);
        if (link != expected)
            problems.append(QStringLiteral("the table: table block %1 links to %2 instead of %3")
                                .arg(block)
                                .arg(describeLink(link), describeLink(expected)));
        if (layout.endOfBlock(block) > layout.fileSize)
            problems.append(QStringLiteral("the table: table block %1 lies past the end of the "
                                           "file (%2 bytes)")
                                .arg(block)
                                .arg(layout.fileSize));
    }
}

QString childPath(const QString& folderPath, const QString& name)
{
    return folderPath.endsWith(QLatin1Char('/')) ? folderPath + name
                                                 : folderPath + QLatin1Char('/') + name;
}

void checkNamesOfFolder(const FolderEntry& folder, const QString& path, QStringList& problems)
{
    QSet<QString> seen;
    QSet<QString> reported;
    for (const Entry* child : folder) {
        const QString name = child->name();
        if (!seen.contains(name)) {
            seen.insert(name);
        } else if (!reported.contains(name)) {
            reported.insert(name);
            problems.append(
                QStringLiteral("%1: more than one entry is named \"%2\"").arg(path, name));
        }
    }
}

// Walks the tree without recursion (a damaged directory may nest deeply), folders in stored
// order, checking the names of every folder and the chain of every member file.
void checkTree(const Layout& layout, BlockOwners& owners, const FolderEntry& root,
               QStringList& problems)
{
    // A stack of folders still to visit; subfolders are pushed in reverse so that they come
    // off it in stored order.
    QList<std::pair<const FolderEntry*, QString>> pending{{&root, QStringLiteral("/")}};
    while (!pending.isEmpty()) {
        const auto [folder, path] = pending.takeLast();
        checkNamesOfFolder(*folder, path, problems);
        QList<std::pair<const FolderEntry*, QString>> subfolders;
        for (const Entry* child : *folder) {
            const QString childName = childPath(path, child->name());
            if (child->isFolder())
                subfolders.append({static_cast<const FolderEntry*>(child), childName});
            else
                checkStream(layout, owners, childName, *static_cast<const FileEntry*>(child),
                            problems);
        }
        for (auto it = subfolders.crbegin(); it != subfolders.crend(); ++it)
            pending.append(*it);
    }
}

void checkFreeList(const Layout& layout, BlockOwners& owners, int firstFree, QStringList& problems)
{
    if (firstFree != EndOfChain)
        walkChain(layout, owners, owners.add(QStringLiteral("the free list")), firstFree, problems);
}

// Blocks that no walk claimed, reported as runs of consecutive block numbers.
void checkLeaks(const Layout& layout, const BlockOwners& owners, QStringList& problems)
{
    for (int block = 0; block < layout.nBlocks; ++block) {
        if (owners.ownerOf(block) != BlockOwners::Nobody)
            continue;
        int end = block;
        while (end + 1 < layout.nBlocks && owners.ownerOf(end + 1) == BlockOwners::Nobody)
            ++end;
        if (end == block)
            problems.append(
                QStringLiteral("block %1 is in no chain and not free (leaked)").arg(block));
        else
            problems.append(QStringLiteral("blocks %1 to %2 are in no chain and not free "
                                           "(leaked)")
                                .arg(block)
                                .arg(end));
        block = end;
    }
}

// The signature as it stands in the file now, read through a descriptor of its own so that
// the archive's position stays where it is.
bool readSignature(const QString& path, qint32& signature)
{
    QFile file(path);
    uchar bytes[4];
    if (!file.open(QIODevice::ReadOnly) || file.read(reinterpret_cast<char*>(bytes), 4) != 4)
        return false;
    signature = qFromBigEndian<qint32>(bytes);
    return true;
}

} // namespace

Archive::Statistics Archive::statistics() const
{
    Statistics figures;
    figures.formatVersion = version_;
    figures.blockSize = blockSize_;
    figures.blocks = nBlocks_;
    figures.tableBlocks = nClusters();
    figures.freeBlocks = nFreeBlocks();
    figures.directorySize = directory_->size();
    figures.memberBytes = root_->size();
    countEntries(root_, figures);
    return figures;
}

// The header fields as held. Returns false when the figures that the walks rely on (block
// size, blocks per cluster, block count against the table) are wrong: then nothing else is
// looked at.
bool Archive::checkHeader(QStringList& problems) const
{
    qint32 signature = 0;
    if (!readSignature(name(), signature))
        problems.append(QStringLiteral("header: the signature cannot be read from the file"));
    else if (signature != ArchiveSignature)
        problems.append(QStringLiteral("header: the file begins with 0x%1, not the signature "
                                       "0x%2")
                            .arg(quint32(signature), 8, 16, QLatin1Char('0'))
                            .arg(quint32(ArchiveSignature), 8, 16, QLatin1Char('0')));
    if (version_ < 1 || version_ > CurrentVersion)
        problems.append(QStringLiteral("header: unknown format version %1 (1 to %2)")
                            .arg(version_)
                            .arg(CurrentVersion));
    const int problemsBefore = int(problems.size());
    if (!isValidBlockSize(blockSize_))
        problems.append(QStringLiteral("header: block size %1 is out of range (%2 to %3)")
                            .arg(blockSize_)
                            .arg(MinBlockSize)
                            .arg(MaxBlockSize));
    else if (nBlocksPerCluster_ != int(blockSize_ / 4))
        problems.append(QStringLiteral("header: %1 blocks per cluster do not match blocks of %2 "
                                       "bytes")
                            .arg(nBlocksPerCluster_)
                            .arg(blockSize_));
    else if (nBlocks_ < 0 || table_.size() != qsizetype(nClusters()) * nBlocksPerCluster_ ||
             qsizetype(nBlocks_) > table_.size() ||
             qsizetype(nBlocks_) <= table_.size() - nBlocksPerCluster_)
        problems.append(QStringLiteral("header: %1 blocks do not match a table of %2 clusters")
                            .arg(nBlocks_)
                            .arg(nClusters()));
    else if (firstFreeBlock_ != END_OF_CHAIN && !isBlock(firstFreeBlock_))
        problems.append(QStringLiteral("header: the free list starts at %1, not a block of the "
                                       "archive")
                            .arg(firstFreeBlock_));
    return int(problems.size()) == problemsBefore;
}

// Allocation takes blocks from the head of the free list and trusts its links. In an archive
// loaded for writing, the list is therefore cut before its first block that lies outside the
// table, is met twice, or also belongs to the table, the directory or a member: the blocks
// after the cut are lost to allocation until the archive is repaired, but no block is ever
// handed to a second owner. The cut reaches the file with the next write-back. The work is
// that of the check, done only when there is a free list.
void Archive::cutFreeListAtDamage()
{
    if (firstFreeBlock_ == END_OF_CHAIN)
        return;
    const Layout layout{
        table_, nBlocks_, nBlocksPerCluster_, qint64(blockSize_), qint64(headerSize_), fileSize()};
    BlockOwners owners(nBlocks_);
    QStringList problems;
    checkTableChain(layout, owners, problems);
    checkStream(layout, owners, QStringLiteral("the directory stream"), *directory_, problems);
    checkTree(layout, owners, *root_, problems);
    problems.clear();
    const QString name = QStringLiteral("the free list");
    const Chain free = walkChain(layout, owners, owners.add(name), firstFreeBlock_, problems);
    if (free.intact)
        return;
    if (free.blocks == 0) {
        firstFreeBlock_ = END_OF_CHAIN;
        qDebug("open: %s; the free list is dropped", qPrintable(problems.constLast()));
    } else {
        setNextBlock(free.last, END_OF_CHAIN);
        qDebug("open: %s; the free list now ends at block %d", qPrintable(problems.constLast()),
               free.last);
    }
}

QStringList Archive::check() const
{
    if (!file_.isOpen())
        return {QStringLiteral("the archive is not open")};
    QStringList problems;
    if (!checkHeader(problems))
        return problems;
    const Layout layout{
        table_, nBlocks_, nBlocksPerCluster_, qint64(blockSize_), qint64(headerSize_), fileSize()};
    BlockOwners owners(nBlocks_);
    checkTableChain(layout, owners, problems);
    checkStream(layout, owners, QStringLiteral("the directory stream"), *directory_, problems);
    checkTree(layout, owners, *root_, problems);
    checkFreeList(layout, owners, firstFreeBlock_, problems);
    checkLeaks(layout, owners, problems);
    return problems;
}

} // namespace Kest::Ar
