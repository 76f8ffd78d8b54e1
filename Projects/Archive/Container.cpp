#include "Container.h"

#include "Failure.h"
#include "HostIo.h"

#include <QFileInfo>

namespace Kest::Ar {

namespace {
// Writes held for the journal's sync beyond this many bytes are spilled after one sync.
constexpr qint64 HoldLimit = 8 * 1024 * 1024;
} // namespace

Container::Container(const QString& path) : file_(path), io_(&HostIo::system()), journal_(path)
{
}

QString Container::path() const
{
    return file_.fileName();
}

void Container::setPath(const QString& path)
{
    Q_ASSERT(!file_.isOpen());
    file_.setFileName(path);
    journal_.setArchivePath(path);
}

QFile& Container::file()
{
    return file_;
}

void Container::setIo(HostIo& io)
{
    io_ = &io;
}

void Container::setDurability(Archive::Durability durability)
{
    Q_ASSERT(!changed_);
    durability_ = durability;
}

Archive::Durability Container::durability() const
{
    return durability_;
}

void Container::open(Access access, QIODevice::OpenMode existence)
{
    Q_ASSERT(!file_.isOpen());
    const bool exists = file_.exists();
    if (!exists && (access == Access::Read || (existence & QIODevice::ExistingOnly)))
        fail(Archive::Error::NotFound, QStringLiteral("open: cannot open file"));
    if (exists && (existence & QIODevice::NewOnly))
        fail(Archive::Error::AlreadyExists, QStringLiteral("open: cannot open file"));

    // The flags go to the file as well, so that the system, not this check, has the last word
    // when another process creates or removes the path in between.
    const QIODevice::OpenMode mode =
        (access == Access::Read ? QIODevice::ReadOnly : QIODevice::ReadWrite) |
        QIODevice::Unbuffered | existence;
    if (!file_.open(mode))
        fail(Archive::Error::IoError,
             QStringLiteral("open: cannot open file: %1").arg(file_.errorString()));
    const auto lock = access == Access::Read ? QtLockedFile::ReadLock : QtLockedFile::WriteLock;
    if (!file_.lock(lock, false)) {
        file_.close();
        fail(Archive::Error::Locked, QStringLiteral("open: cannot acquire lock"));
    }
    committedLength_ = file_.size();
    nameUnsynced_ = !exists;
    forgetTransaction();
}

void Container::close()
{
    if (!file_.isOpen())
        return;
    // A journal that still protects something stays for the next opener to recover.
    if (isWritable() && !journal_.isActive())
        journal_.remove();
    if (!file_.unlock())
        note(QStringLiteral("Unable to unlock archive"));
    file_.close();
}

bool Container::isOpen() const
{
    return file_.isOpen();
}

bool Container::isWritable() const
{
    return file_.isOpen() && (file_.openMode() & QIODevice::WriteOnly);
}

bool Container::hasJournal(const QString& archivePath)
{
    return Journal::Reader(HostIo::system(), Journal::pathFor(archivePath)).isValid();
}

QByteArray Container::committedStart(const QString& archivePath, qint64 length)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes(length, '\0');
    bytes.resize(qMax<qint64>(0, HostIo::system().read(file, 0, bytes.data(), length)));
    Journal::Reader(HostIo::system(), Journal::pathFor(archivePath))
        .forEachRecord([&bytes](qint64 at, const QByteArray& original) {
            if (at < bytes.size())
                bytes.replace(at, qMin(original.size(), bytes.size() - at),
                              original.left(bytes.size() - at));
        });
    return bytes;
}

bool Container::recover()
{
    Q_ASSERT(isWritable());
    const bool applied = replayJournal(true);
    journal_.remove();
    if (!io_->syncFolder(QFileInfo(path()).absolutePath()))
        ioFailure("recover");
    committedLength_ = file_.size();
    return applied;
}

// Writes the journal's whole records back over the file and cuts the file to the committed
// length; false, changing nothing, when the journal file holds no valid journal.
bool Container::replayJournal(bool durable)
{
    Journal::Reader reader(*io_, journal_.path());
    if (!reader.isValid())
        return false;
    reader.forEachRecord([this](qint64 at, const QByteArray& original) {
        writeThrough(at, original.constData(), original.size());
    });
    if (!io_->resize(file_, reader.geometry().committedLength))
        ioFailure("rollback");
    if (durable && !io_->sync(file_))
        ioFailure("rollback");
    return true;
}

void Container::setGeometry(qint64 headerSize, qint64 blockSize)
{
    headerSize_ = headerSize;
    blockSize_ = blockSize;
}

qint64 Container::blockOffset(int block) const
{
    Q_ASSERT(block >= 0);
    return headerSize_ + qint64(block) * blockSize_;
}

Journal::Geometry Container::geometry() const
{
    return Journal::Geometry{committedLength_, quint32(blockSize_), quint32(headerSize_)};
}

qint32 Container::unitAt(qint64 offset) const
{
    return offset < headerSize_ ? Journal::HeaderUnit : qint32((offset - headerSize_) / blockSize_);
}

void Container::ioFailure(const char* operation) const
{
    failIo(operation, path());
}

qint64 Container::read(qint64 offset, char* data, qint64 length)
{
    const qint64 count = io_->read(file_, offset, data, length);
    if (count < 0)
        ioFailure("read");
    if (!held_.isEmpty())
        overlayHeld(offset, data, count);
    return count;
}

void Container::overlayHeld(qint64 offset, char* data, qint64 length) const
{
    for (const Patch& patch : held_) {
        const qint64 from = qMax(offset, patch.offset);
        const qint64 to = qMin(offset + length, patch.offset + patch.bytes.size());
        if (from < to)
            memcpy(data + (from - offset), patch.bytes.constData() + (from - patch.offset),
                   size_t(to - from));
    }
}

// Every committed unit the write touches is protected first. The bytes then go to the file,
// except those for units whose copy in the journal is not yet synced: they are held, and
// reach the file after the journal's next sync.
void Container::write(qint64 offset, const char* data, qint64 length)
{
    Q_ASSERT(isWritable());
    if (length <= 0)
        return;
    changed_ = true;
    if (durability_ == Archive::Durability::Off)
        return writeThrough(offset, data, length);
    if (!journal_.isActive())
        journal_.begin(*io_, geometry());
    const Journal::Geometry g = geometry();
    const qint64 end = offset + length;
    qint64 runStart = offset;
    bool runHeld = false;
    for (qint64 at = offset; at < end;) {
        const qint32 unit = unitAt(at);
        const qint64 unitEnd = qMin(end, g.offsetOf(unit) + g.lengthOf(unit));
        protect(unit, g);
        const bool held = heldUnits_.contains(unit);
        if (held != runHeld && at > runStart) {
            place(runStart, data + (runStart - offset), at - runStart, runHeld);
            runStart = at;
        }
        runHeld = held;
        at = unitEnd;
    }
    place(runStart, data + (runStart - offset), end - runStart, runHeld);
    if (heldBytes_ > HoldLimit)
        flushJournal();
}

void Container::place(qint64 offset, const char* data, qint64 length, bool held)
{
    if (!held)
        return writeThrough(offset, data, length);
    held_.append(Patch{offset, QByteArray(data, length)});
    heldBytes_ += length;
}

// Copies a unit of the committed file to the journal before its first change. Units past the
// committed length, and blocks that were free at the last commit, hold nothing to protect.
void Container::protect(qint32 unit, const Journal::Geometry& g)
{
    const qint64 start = g.offsetOf(unit);
    if (start >= committedLength_ || journaled_.contains(unit) ||
        (unit != Journal::HeaderUnit && fresh_.contains(unit)))
        return;
    QByteArray original(qMin(g.lengthOf(unit), committedLength_ - start), '\0');
    const qint64 got = io_->read(file_, start, original.data(), original.size());
    if (got < 0)
        ioFailure("read");
    original.truncate(got);
    journal_.append(unit, original);
    journaled_.insert(unit);
    // Until its copy is in the journal's file (and synced, at PowerSafe), the unit itself must
    // not change on disk.
    heldUnits_.insert(unit);
}

void Container::writeThrough(qint64 offset, const char* data, qint64 length)
{
    if (!io_->write(file_, offset, data, length))
        ioFailure("write");
}

// The copies go to the journal's file (synced at PowerSafe), and then what waited for them goes
// to the archive, in the order it was written.
void Container::flushJournal()
{
    journal_.flush(*io_, durability_ == Archive::Durability::PowerSafe);
    writeHeld();
}

void Container::writeHeld()
{
    for (const Patch& patch : std::as_const(held_))
        writeThrough(patch.offset, patch.bytes.constData(), patch.bytes.size());
    held_.clear();
    heldUnits_.clear();
    heldBytes_ = 0;
}

qint64 Container::size() const
{
    return file_.size();
}

void Container::resize(qint64 size)
{
    if (!io_->resize(file_, size))
        ioFailure("resize");
    changed_ = true;
    committedLength_ = qMin(committedLength_, size);
}

void Container::markFresh(int block)
{
    if (!released_.contains(block))
        fresh_.insert(block);
}

void Container::markReleased(int block)
{
    released_.insert(block);
}

bool Container::hasChanges() const
{
    return changed_;
}

// The order is the protocol: the journal is whole and synced, then the archive is written
// and synced, then the journal is emptied, which is the moment of commit.
void Container::commit()
{
    if (!changed_)
        return;
    if (durability_ != Archive::Durability::Off)
        flushJournal();
    if (durability_ == Archive::Durability::PowerSafe) {
        if (!io_->sync(file_))
            ioFailure("sync");
        // A file this open created: its name must last as well as its bytes.
        if (nameUnsynced_ && !io_->syncFolder(QFileInfo(path()).absolutePath()))
            ioFailure("sync");
        nameUnsynced_ = false;
    }
    if (journal_.isActive())
        journal_.end(*io_, durability_ == Archive::Durability::PowerSafe);
    committedLength_ = file_.size();
    forgetTransaction();
}

void Container::rollback()
{
    held_.clear();
    if (journal_.isActive()) {
        const bool durable = durability_ == Archive::Durability::PowerSafe;
        replayJournal(durable);
        journal_.end(*io_, durable);
    }
    committedLength_ = file_.size();
    forgetTransaction();
}

void Container::forgetTransaction()
{
    journaled_.clear();
    fresh_.clear();
    released_.clear();
    held_.clear();
    heldUnits_.clear();
    heldBytes_ = 0;
    changed_ = false;
}

} // namespace Kest::Ar
