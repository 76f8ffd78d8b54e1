// Opening and closing an archive.
//
// open() opens the container, takes the lock without waiting (shared to read, exclusive for
// any mode that writes) and then either loads the archive (header, table, directory) or lays
// out a new one (header, then the directory, whose first block makes cluster 0). An existing
// file is emptied only once its write lock is held. close() releases the lock and closes the
// file; it writes nothing.

#include "Archive.h"
#include "ArchiveInternal.h"
#include "Entry.h"

#include <QFileInfo>

namespace Kest::Ar {

using Internal::report;
using Internal::reportFailure;

Archive::~Archive()
{
    close();
    delete root_;
    delete directory_;
}

// Every open starts from the state of a newly constructed object; only the file name, the
// block size given to the constructor and the application version carry over.
void Archive::resetToConstructedState()
{
    version_ = CurrentVersion;
    blockSize_ = constructedBlockSize_;
    headerSize_ = DefaultHeaderSize;
    table_.clear();
    isClusterChanged_.clear();
    nBlocks_ = 0;
    nBlocksPerCluster_ = int(constructedBlockSize_ >> 2);
    firstFreeBlock_ = END_OF_CHAIN;
    current_ = Position(-1, constructedBlockSize_);
    delete directory_;
    directory_ = new FileEntry(DirectoryName);
    delete root_;
    root_ = new FolderEntry(RootName);
    currentFolder_ = root_;
    openFiles_.clear();
}

bool Archive::createsArchive(QIODevice::OpenMode mode, bool existed) const
{
    const bool loads = mode == QIODevice::ReadOnly || (mode == QIODevice::ReadWrite && existed);
    return !loads;
}

bool Archive::open(QIODevice::OpenMode mode)
{
    if (file_.isOpen()) {
        qDebug("open: cannot open file");
        return false;
    }
    resetToConstructedState();
    const bool existed = file_.exists();
    const bool creates = createsArchive(mode, existed);
    if (creates && !isValidBlockSize(blockSize_)) {
        report(QStringLiteral("open: block size %1 is out of range (%2 to %3 bytes)")
                   .arg(blockSize_)
                   .arg(MinBlockSize)
                   .arg(MaxBlockSize));
        return false;
    }
    if (!openFile(mode, existed))
        return false;
    try {
        if (creates)
            createArchive();
        else
            loadArchive();
        return true;
    } catch (const std::runtime_error& failure) {
        reportFailure(failure);
        close();
        return false;
    }
}

// Opens and locks the container. A mode that would empty an existing file opens it without
// emptying it, and empties it only once the write lock is held: an archive that somebody
// else holds is never lost.
bool Archive::openFile(QIODevice::OpenMode mode, bool existed)
{
    const bool empties = existed && (mode & QIODevice::WriteOnly) &&
                         !(mode & (QIODevice::ReadOnly | QIODevice::Append | QIODevice::NewOnly));
    if (!file_.open(empties ? mode | QIODevice::ReadOnly : mode)) {
        qDebug("open: cannot open file");
        return false;
    }
    const auto lockMode =
        (mode & QIODevice::WriteOnly) ? QtLockedFile::WriteLock : QtLockedFile::ReadLock;
    if (!file_.lock(lockMode, false)) {
        qDebug("open: cannot acquire lock");
        return false;
    }
    if (empties) {
        if (!file_.resize(0)) {
            qDebug("open: cannot empty file");
            close();
            return false;
        }
        file_.restrictOpenMode(mode);
    }
    return true;
}

void Archive::loadArchive()
{
    readHeader();
    readBat();
    readDirectory();
    if (mode() & QIODevice::WriteOnly)
        cutFreeListAtDamage();
}

void Archive::createArchive()
{
    writeHeader();
    writeDirectory();
}

void Archive::close()
{
    if (!file_.isOpen())
        return;
    if (!file_.unlock())
        qDebug("Unable to unlock archive");
    file_.close();
}

qint64 Archive::size() const
{
    return root_->size();
}

bool Archive::isLocked(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        report(QStringLiteral("isLocked: %1 is not an existing file").arg(path));
        return false;
    }
    Archive archive(path);
    if (!archive.open(QIODevice::ReadOnly))
        return true;
    archive.close();
    return false;
}

Archive::Version Archive::peekVersion(const QString& path)
{
    Archive archive(path);
    if (!archive.open(QIODevice::ReadOnly))
        return Version();
    const Version version = archive.applicationVersion();
    archive.close();
    return version;
}

void Archive::registerOpenFile(const FileEntry* entry)
{
    ++openFiles_[entry];
}

void Archive::unregisterOpenFile(const FileEntry* entry)
{
    const auto found = openFiles_.find(entry);
    if (found != openFiles_.end() && --found.value() == 0)
        openFiles_.erase(found);
}

bool Archive::isOpenFile(const FileEntry* entry) const
{
    return openFiles_.contains(entry);
}

} // namespace Kest::Ar
