#include "Check.h"

#include "AllocationTable.h"
#include "Directory.h"
#include "Header.h"

#include <QSet>
#include <QtEndian>

#include <utility>

namespace Kest::Ar {

namespace {

// What the check needs to know about the container, taken once from the archive.
struct Layout
{
    explicit Layout(const ArchiveView& archive)
        : table(archive.table.links()), nBlocks(archive.table.blockCount()),
          perCluster(archive.table.blocksPerCluster()), blockSize(archive.header.blockSize),
          headerSize(archive.header.headerSize), fileSize(archive.fileSize),
          growing(archive.growing)
    {
    }

    const QList<int>& table;
    int nBlocks;
    int perCluster;
    qint64 blockSize;
    qint64 headerSize;
    qint64 fileSize;
    const QSet<const FileEntry*>& growing;

    bool isBlock(int b) const { return b >= 0 && b < nBlocks; }
    qint64 endOfBlock(int b) const { return headerSize + (qint64(b) + 1) * blockSize; }
};

constexpr int EndOfChain = AllocationTable::EndOfChain;
constexpr int Invalid = AllocationTable::Invalid;

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
    if (chain.intact && !layout.growing.contains(&entry))
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

// The header's own figures, and whether the table matches them. False when the figures that
// the walks rely on are wrong: then nothing else is looked at.
bool checkHeader(const ArchiveView& archive, const QByteArray& signature, QStringList& problems)
{
    const Header& header = archive.header;
    if (signature.size() < 4)
        problems.append(QStringLiteral("header: the signature cannot be read from the file"));
    else if (!Header::hasSignature(signature))
        problems.append(
            QStringLiteral("header: the file begins with 0x%1, not the signature 0x%2")
                .arg(qFromBigEndian<quint32>(signature.constData()), 8, 16, QLatin1Char('0'))
                .arg(quint32(Header::Signature), 8, 16, QLatin1Char('0')));
    if (header.formatVersion < 1 || header.formatVersion > Header::CurrentVersion)
        problems.append(QStringLiteral("header: unknown format version %1 (1 to %2)")
                            .arg(header.formatVersion)
                            .arg(Header::CurrentVersion));
    const qsizetype before = problems.size();
    const QStringList found = header.problems();
    for (const QString& problem : found)
        problems.append(QStringLiteral("header: ") + problem);
    const AllocationTable& table = archive.table;
    const qsizetype links = table.links().size();
    if (found.isEmpty() && (links != qsizetype(table.clusterCount()) * header.blocksPerCluster ||
                            qsizetype(header.blocks) > links ||
                            qsizetype(header.blocks) <= links - header.blocksPerCluster))
        problems.append(QStringLiteral("header: %1 blocks do not match a table of %2 clusters")
                            .arg(header.blocks)
                            .arg(table.clusterCount()));
    return problems.size() == before;
}

// Claims the blocks of the table, the directory stream and every member.
void claimOwnedBlocks(const Layout& layout, BlockOwners& owners, const Directory& directory,
                      QStringList& problems)
{
    checkTableChain(layout, owners, problems);
    checkStream(layout, owners, QStringLiteral("the directory stream"), directory.stream(),
                problems);
    checkTree(layout, owners, directory.root(), problems);
}

} // namespace

QStringList checkArchive(const ArchiveView& archive, const QByteArray& signature)
{
    QStringList problems;
    if (!checkHeader(archive, signature, problems))
        return problems;
    const Layout layout(archive);
    BlockOwners owners(layout.nBlocks);
    claimOwnedBlocks(layout, owners, archive.directory, problems);
    checkFreeList(layout, owners, archive.table.firstFree(), problems);
    checkLeaks(layout, owners, problems);
    return problems;
}

QString cutDamagedFreeList(const ArchiveView& archive, AllocationTable& table)
{
    if (table.firstFree() == EndOfChain)
        return {};
    const Layout layout(archive);
    BlockOwners owners(layout.nBlocks);
    QStringList problems;
    claimOwnedBlocks(layout, owners, archive.directory, problems);
    problems.clear();
    const QString name = QStringLiteral("the free list");
    const Chain free = walkChain(layout, owners, owners.add(name), table.firstFree(), problems);
    if (free.intact)
        return {};
    table.cutFreeListAfter(free.blocks == 0 ? EndOfChain : free.last);
    return problems.constLast();
}

} // namespace Kest::Ar
