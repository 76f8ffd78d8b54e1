#include "ArchivePrivate.h"

#include "Check.h"
#include "FilePrivate.h"

#include <QScopeGuard>

namespace Kest::Ar {

Q_LOGGING_CATEGORY(lcArchive, "kest.archive")

ArchivePrivate::ArchivePrivate(const QString& path, unsigned int blockSize)
    : container(path), table(container), constructedBlockSize_(blockSize)
{
    header.blockSize = blockSize;
    header.blocksPerCluster = qint32(blockSize / 4);
}

// Archive holds nothing but its pointer to this object, which keeps its header free of
// friends: it is a standard-layout class, so its address is the address of that pointer.
ArchivePrivate& ArchivePrivate::of(Archive& archive)
{
    static_assert(std::is_standard_layout_v<Archive>, "Archive must hold its pointer alone");
    return **reinterpret_cast<std::unique_ptr<ArchivePrivate>*>(&archive);
}

void ArchivePrivate::setError(Archive::Error code, const QString& message) const
{
    error_ = code;
    errorString_ = message;
    if (code != Archive::Error::NoError)
        qCDebug(lcArchive, "%s", qUtf8Printable(message));
}

// ---- Opening and closing ------------------------------------------------------------------

void ArchivePrivate::validateMode(QIODevice::OpenMode mode) const
{
    if (container.isOpen())
        fail(Archive::Error::InvalidArgument, QStringLiteral("open: cannot open file"));
    if (!(mode & QIODevice::ReadWrite))
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("open: the mode must include ReadOnly or WriteOnly"));
    if (mode & (QIODevice::Append | QIODevice::Text | QIODevice::Truncate))
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("open: Append, Text and Truncate are not modes of an archive"));
    if ((mode & QIODevice::NewOnly) && (mode & QIODevice::ExistingOnly))
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("open: NewOnly and ExistingOnly exclude each other"));
    const bool createsOrWrites = mode & QIODevice::WriteOnly;
    if (createsOrWrites && (constructedBlockSize_ < Archive::MinBlockSize ||
                            constructedBlockSize_ > Archive::MaxBlockSize))
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("open: block size %1 is out of range (%2 to %3 bytes)")
                 .arg(constructedBlockSize_)
                 .arg(Archive::MinBlockSize)
                 .arg(Archive::MaxBlockSize));
}

// ReadOnly and ReadWrite keep an existing archive; WriteOnly alone makes a new one. A path
// that did not exist is created by the container without emptying anything; should another
// process have made an archive there in the meantime, ReadWrite finds it once the lock is
// held and loads it rather than overwrite it.
void ArchivePrivate::open(QIODevice::OpenMode mode)
{
    validateMode(mode);
    if (Container::hasJournal(container.path()))
        recoverJournal();
    container.setDurability(durability_);
    inTransaction_ = false;
    const bool writes = mode & QIODevice::WriteOnly;
    const bool keeps = mode & QIODevice::ReadOnly;
    const bool existed = container.file().exists();
    container.open(writes ? Container::Access::Write : Container::Access::Read,
                   mode & (QIODevice::NewOnly | QIODevice::ExistingOnly));
    mode_ = mode & QIODevice::ReadWrite;
    try {
        if (keeps && (existed || container.size() > 0))
            load();
        else
            create();
        container.map(); // after the load, whose bytes are read once
    } catch (...) {
        release();
        throw;
    }
}

// A journal whose writer is gone: the archive goes back to its last commit under the write
// lock before anybody reads it. A live writer holds the lock, and then the open is refused as
// any other open would be.
void ArchivePrivate::recoverJournal()
{
    if (!QFile::exists(container.path())) {
        // The archive is gone: its journal protects nothing any more.
        QFile::remove(Journal::pathFor(container.path()));
        return;
    }
    Container recovering(container.path());
    try {
        recovering.open(Container::Access::Write, {});
    } catch (const Failure& failure) {
        if (failure.code == Archive::Error::Locked)
            throw;
        fail(Archive::Error::Corrupt,
             QStringLiteral(
                 "open: %1 must be recovered from its journal, but it cannot be written (%2)")
                 .arg(container.path(), failure.message));
    }
    const auto closeOnExit = qScopeGuard([&recovering] { recovering.close(); });
    if (recovering.recover())
        note(QStringLiteral("open: %1 was rolled back to its last commit").arg(container.path()));
}

// Forgets the open archive: the lock goes, and nothing of the file is kept in memory.
void ArchivePrivate::release()
{
    container.close();
    mode_ = QIODevice::NotOpen;
    inTransaction_ = false;
    directory.reset();
    table.reset(header.blockSize);
    openMembers_.clear();
}

void ArchivePrivate::load()
{
    QByteArray bytes(Header::AreaSize, '\0');
    bytes.resize(container.read(0, bytes.data(), bytes.size()));
    header = Header::decode(bytes);
    versionChanged_ = false;
    container.setGeometry(header.headerSize, header.blockSize);
    table.load(header);
    directory.load(table, container, header);
    if (!isWritable())
        return;
    const QString damage =
        cutDamagedFreeList(ArchiveView{header, table, directory, container.size()}, table);
    if (!damage.isEmpty())
        note(QStringLiteral("open: %1; the free list is cut before it").arg(damage));
}

// A new archive: the header, then the directory, whose first block makes cluster 0 (table
// block 0 right after the header area) and takes block 1.
void ArchivePrivate::create()
{
    const Archive::Version version = header.applicationVersion;
    header = Header();
    header.applicationVersion = version;
    header.blockSize = constructedBlockSize_;
    header.blocksPerCluster = qint32(constructedBlockSize_ / 4);
    versionChanged_ = false;
    if (container.size() > 0)
        container.resize(0); // an empty file stays untouched: some file systems flush on close
                             // a file that was cut to nothing
    container.setGeometry(header.headerSize, header.blockSize);
    table.reset(header.blockSize);
    directory.reset();
    const QByteArray bytes = header.encode();
    container.write(0, bytes.constData(), bytes.size());
    commitNow();
}

// Member files still open are closed as one commit; a transaction still open is rolled back.
void ArchivePrivate::close()
{
    if (!container.isOpen())
        return;
    const auto releaseOnExit = qScopeGuard([this] { release(); });
    if (inTransaction_) {
        note(QStringLiteral("close: the transaction in progress on %1 is rolled back")
                 .arg(container.path()));
        rollbackNow();
        return;
    }
    inTransaction_ = true;
    const QList<OpenMember> members = openMembers_;
    for (const OpenMember& member : members)
        member.file->q->close();
    inTransaction_ = false;
    commitChanges();
}

void ArchivePrivate::orphanMemberFiles()
{
    const QList<OpenMember> members = openMembers_;
    for (const OpenMember& member : members)
        member.file->orphan();
}

bool ArchivePrivate::isOpen() const
{
    return container.isOpen();
}

bool ArchivePrivate::isWritable() const
{
    return isOpen() && (mode_ & QIODevice::WriteOnly);
}

bool ArchivePrivate::isReadable() const
{
    return isOpen() && (mode_ & QIODevice::ReadOnly);
}

void ArchivePrivate::requireWritable(const char* operation) const
{
    if (!isOpen())
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("%1: %2 is not open").arg(QLatin1String(operation), container.path()));
    if (!isWritable())
        fail(Archive::Error::ReadOnly, QStringLiteral("%1: %2 is not open for writing")
                                           .arg(QLatin1String(operation), container.path()));
}

// ---- Writing back -------------------------------------------------------------------------

Header ArchivePrivate::currentHeader() const
{
    Header current = header;
    table.storeCounters(current);
    current.directorySize = directory.stream().size();
    current.directoryFirst = directory.stream().firstBlock();
    current.directoryLast = directory.stream().lastBlock();
    return current;
}

void ArchivePrivate::writeBack()
{
    directory.store(table, container);
    table.writeChanged();
    header = currentHeader();
    // An archive read in format version 1 or 2 is written with 8-byte sizes from now on.
    header.formatVersion = header.storedVersion();
    const QByteArray bytes = header.encode();
    container.write(0, bytes.constData(), bytes.size());
    versionChanged_ = false;
}

void ArchivePrivate::commitNow()
{
    for (const OpenMember& member : std::as_const(openMembers_)) {
        if (member.writing)
            member.file->recordEnd();
    }
    writeBack();
    container.commit();
    container.setDurability(durability_);
}

void ArchivePrivate::autoCommit()
{
    if (!inTransaction_)
        commitNow();
}

void ArchivePrivate::commitChanges()
{
    if (isWritable() &&
        (directory.isChanged() || table.hasChanges() || versionChanged_ || container.hasChanges()))
        commitNow();
}

void ArchivePrivate::beginTransaction()
{
    requireWritable("beginTransaction");
    if (inTransaction_)
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("beginTransaction: a transaction is open already"));
    inTransaction_ = true;
}

void ArchivePrivate::requireTransaction(const char* operation) const
{
    requireWritable(operation);
    if (!inTransaction_)
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("%1: no transaction is open").arg(QLatin1String(operation)));
}

void ArchivePrivate::commitTransaction()
{
    requireTransaction("commit");
    // A failure leaves the transaction open to be rolled back (a failed write already did).
    commitChanges();
    inTransaction_ = false;
}

void ArchivePrivate::rollbackTransaction()
{
    requireTransaction("rollback");
    rollbackNow();
}

// Member files hold entries of the tree that is read again: they are cut off first.
void ArchivePrivate::rollbackNow()
{
    orphanMemberFiles();
    inTransaction_ = false;
    container.rollback();
    container.setDurability(durability_);
    load();
}

void ArchivePrivate::recoverFromFailure()
{
    if (!isWritable())
        return;
    const bool recovered =
        guarded([this] { rollbackNow(); }, [](Archive::Error, const QString&) {});
    if (!recovered) {
        orphanMemberFiles();
        release();
    }
}

void ArchivePrivate::setDurability(Archive::Durability durability)
{
    durability_ = durability;
    if (!container.hasChanges())
        container.setDurability(durability);
}

Archive::Durability ArchivePrivate::durability() const
{
    return durability_;
}

void ArchivePrivate::setApplicationVersion(const Archive::Version& version)
{
    header.applicationVersion = version;
    versionChanged_ = isWritable();
}

// ---- Members ------------------------------------------------------------------------------

void ArchivePrivate::removeFile(const QString& path)
{
    requireWritable("removeFile");
    const Directory::Target target = directory.resolve(path, "removeFile");
    Entry* entry = target.isRoot ? &directory.root() : target.entry();
    if (!entry) {
        note(QStringLiteral("removeFile: %1 does not exist").arg(target.name));
        return;
    }
    if (entry->isFolder())
        fail(Archive::Error::NotAFile,
             QStringLiteral("removeFile: %1 is not a file").arg(target.name));
    auto* member = static_cast<FileEntry*>(entry);
    if (isOpenMember(member))
        fail(Archive::Error::InUse, QStringLiteral("removeFile: %1 is open").arg(target.name));
    if (!member->isUnallocated()) {
        // The whole chain joins the front of the free list in one step, whatever its length.
        if (table.isBlock(member->firstBlock()) && table.isBlock(member->lastBlock()))
            table.release(member->firstBlock(), member->lastBlock());
        else
            note(QStringLiteral("removeFile: the chain of %1 is damaged; its blocks are not freed")
                     .arg(target.name));
    }
    directory.remove(*member);
    autoCommit();
}

void ArchivePrivate::registerFile(FilePrivate* file, const FileEntry* entry, bool writing)
{
    openMembers_.append(OpenMember{file, entry, writing});
}

void ArchivePrivate::unregisterFile(FilePrivate* file)
{
    openMembers_.removeIf([file](const OpenMember& member) { return member.file == file; });
}

bool ArchivePrivate::isOpenMember(const FileEntry* entry) const
{
    return std::any_of(openMembers_.cbegin(), openMembers_.cend(),
                       [entry](const OpenMember& member) { return member.entry == entry; });
}

void ArchivePrivate::requireAvailable(const FileEntry* entry, bool writing,
                                      const QString& path) const
{
    for (const OpenMember& member : openMembers_) {
        if (member.entry == entry && (writing || member.writing))
            fail(Archive::Error::InUse, QStringLiteral("open: %1 is in use").arg(path));
    }
}

// ---- Reports ------------------------------------------------------------------------------

QStringList ArchivePrivate::check() const
{
    if (!isOpen())
        return {QStringLiteral("the archive is not open")};
    QByteArray signature(4, '\0');
    signature.resize(const_cast<Container&>(container).read(0, signature.data(), signature.size()));
    const Header current = currentHeader();
    QSet<const FileEntry*> growing;
    for (const OpenMember& member : openMembers_) {
        if (member.writing)
            growing.insert(member.entry);
    }
    return checkArchive(ArchiveView{current, table, directory, container.size(), growing},
                        signature);
}

namespace {

void countEntries(const FolderEntry& folder, Archive::Statistics& figures)
{
    for (const Entry* child : folder) {
        if (child->isFolder()) {
            ++figures.folders;
            countEntries(*static_cast<const FolderEntry*>(child), figures);
        } else {
            ++figures.memberFiles;
        }
    }
}

} // namespace

Archive::Statistics ArchivePrivate::statistics() const
{
    Archive::Statistics figures;
    figures.formatVersion = header.formatVersion;
    figures.blockSize = header.blockSize;
    figures.blocks = table.blockCount();
    figures.tableBlocks = table.clusterCount();
    figures.freeBlocks = table.freeCount();
    figures.directorySize = directory.stream().size();
    figures.memberBytes = directory.root().size();
    countEntries(directory.root(), figures);
    return figures;
}

} // namespace Kest::Ar
