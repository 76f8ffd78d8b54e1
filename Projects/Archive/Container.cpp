#include "Container.h"

#include "Failure.h"
#include "HostIo.h"

#include <QFileInfo>
#include <QScopeGuard>

namespace Kest::Ar {

namespace {
// Writes held for the journal's sync beyond this many bytes are spilled after one sync.
constexpr qint64 HoldLimit = 8 * 1024 * 1024;
// A run of writes goes to the file in pieces that end on a multiple of this: a few host pages,
// since the system's page cache takes file data in units of a power of two of pages, aligned
// to their size, and a piece that is not aligned so costs it more units.
constexpr qint64 PieceAlignment = 16 * 1024;
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
    reservedEnd_ = committedLength_;
    nameUnsynced_ = !exists;
    forgetTransaction();
}

void Container::close()
{
    if (!file_.isOpen())
        return;
    // Only committed bytes matter now: a commit has written what was held before it.
    tail_.bytes.clear();
    unmap();
    if (reserved_ && !io_->resize(file_, file_.size()))
        note(QStringLiteral("close: cannot give back the space reserved for %1").arg(path()));
    reserved_ = false;
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
    cutFile(reader.geometry().committedLength, "rollback");
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

// Maps the file as long as it is now, in place of any mapping before. Where the system cannot,
// reads go on through positioned reads.
void Container::map()
{
    unmap();
    const qint64 length = file_.size();
    mapped_ = length > 0 ? file_.map(0, length) : nullptr;
    mappedLength_ = mapped_ ? length : 0;
}

void Container::unmap()
{
    if (mapped_)
        file_.unmap(const_cast<uchar*>(mapped_));
    mapped_ = nullptr;
    mappedLength_ = 0;
}

// Sets the file's length. A mapping that would reach past it is let go first (some systems
// refuse to cut a mapped file, and its pages past the end must not be touched) and made anew.
void Container::cutFile(qint64 length, const char* operation)
{
    const bool remap = mapped_ && length < mappedLength_;
    if (remap)
        unmap();
    if (!io_->resize(file_, length))
        ioFailure(operation);
    if (remap)
        map();
}

// Bytes of the file as the system has them, from the mapping where it reaches.
qint64 Container::readFile(qint64 offset, char* data, qint64 length)
{
    if (offset >= 0 && length <= mappedLength_ - offset) {
        memcpy(data, mapped_ + offset, size_t(length));
        return length;
    }
    const qint64 count = io_->read(file_, offset, data, length);
    if (count < 0)
        ioFailure("read");
    return count;
}

qint64 Container::read(qint64 offset, char* data, qint64 length)
{
    const qint64 count = readFile(offset, data, length);
    for (const Held& held : std::as_const(held_))
        overlay(held.offset, heldArena_.constData() + held.at, held.length, offset, data, count);
    if (tail_.bytes.isEmpty())
        return count;
    // Held bytes may lie past the file's end; the read extends over them.
    const qint64 tailEnd = tail_.offset + tail_.bytes.size();
    const qint64 extended = qBound(count, tailEnd - offset, length);
    if (extended > count)
        memset(data + count, 0, size_t(extended - count));
    overlay(tail_.offset, tail_.bytes.constData(), tail_.bytes.size(), offset, data, extended);
    return extended;
}

// Lays bytes written at `at` over the `length` bytes read at `offset`, where they meet.
void Container::overlay(qint64 at, const char* bytes, qint64 count, qint64 offset, char* data,
                        qint64 length)
{
    const qint64 from = qMax(offset, at);
    const qint64 to = qMin(offset + length, at + count);
    if (from < to)
        memcpy(data + (from - offset), bytes + (from - at), size_t(to - from));
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
        return gather(offset, data, length);
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
    if (heldArena_.size() > HoldLimit)
        flushJournal();
}

void Container::place(qint64 offset, const char* data, qint64 length, bool held)
{
    if (!held)
        return gather(offset, data, length);
    held_.append(Held{offset, heldArena_.size(), length});
    heldArena_.append(data, length);
}

// Copies a unit of the committed file to the journal before its first change. Units past the
// committed length, and blocks that were free at the last commit, hold nothing to protect.
void Container::protect(qint32 unit, const Journal::Geometry& g)
{
    const qint64 start = g.offsetOf(unit);
    if (start >= committedLength_ || journaled_.contains(unit) ||
        (unit != Journal::HeaderUnit && fresh_.contains(unit)))
        return;
    const qint64 length = qMin(g.lengthOf(unit), committedLength_ - start);
    journal_.append(unit, length, [&](char* into) { return readFile(start, into, length); });
    journaled_.insert(unit);
    // Until its copy is in the journal's file (and synced, at PowerSafe), the unit itself must
    // not change on disk.
    heldUnits_.insert(unit);
}

void Container::writeThrough(qint64 offset, const char* data, qint64 length)
{
    writeThrough(offset, {HostIo::Piece{data, length}});
}

void Container::writeThrough(qint64 offset, std::initializer_list<HostIo::Piece> pieces)
{
    qint64 end = offset;
    for (const HostIo::Piece& piece : pieces)
        end += piece.length;
    reserveUpTo(end);
    if (!io_->write(file_, offset, pieces))
        ioFailure("write");
}

// The file grows in steps of an eighth of its size (8 to 64 MiB): the file system then lays a
// growing member out in long extents and accounts for its space once a step, not once a write.
// The length of the file does not change; closing gives back what is left.
void Container::reserveUpTo(qint64 end)
{
    if (end <= reservedEnd_)
        return;
    constexpr qint64 MiB = 1024 * 1024;
    const qint64 from = qMax(reservedEnd_, file_.size());
    const qint64 step = qBound(8 * MiB, end / 8, 64 * MiB);
    const qint64 to = (qMax(end, from + step) + MiB - 1) / MiB * MiB;
    reservedEnd_ = to; // also when the file system cannot: then there is nothing to give back
    reserved_ = io_->reserve(file_, from, to - from) || reserved_;
}

// A write that continues the one before goes out up to the last multiple of PieceAlignment it
// reaches, together with the bytes before it that were held back; what lies past that point
// is held back in turn. So a member written in pieces reaches the file in whole, aligned
// pieces, each page written once, in one call per piece. A write elsewhere goes out whole, at
// once.
void Container::gather(qint64 offset, const char* data, qint64 length)
{
    const bool joinsTail = !tail_.bytes.isEmpty() && offset == tail_.offset + tail_.bytes.size();
    if (!joinsTail)
        writeTail();
    const bool sequential = joinsTail || offset == lastEnd_;
    const qint64 end = offset + length;
    lastEnd_ = end;
    const qint64 start = joinsTail ? tail_.offset : offset;
    const qint64 cut = sequential ? qMax(start, end / PieceAlignment * PieceAlignment) : end;
    if (cut == start) { // no boundary reached: all of it is held
        if (tail_.bytes.isEmpty())
            tail_.offset = offset;
        tail_.bytes.append(data, length);
        return;
    }
    const qint64 now = cut - offset; // the held bytes lie before `offset`
    {
        const auto empty = qScopeGuard([this] { tail_.bytes.resize(0); });
        writeThrough(start, {HostIo::Piece{tail_.bytes.constData(), tail_.bytes.size()},
                             HostIo::Piece{data, now}});
    }
    if (now < length) {
        tail_.offset = cut;
        tail_.bytes.append(data + now, length - now);
    }
}

// The held bytes are let go whether or not the write succeeds: a failure ends the transaction,
// and they must not be written twice.
void Container::writeTail()
{
    if (tail_.bytes.isEmpty())
        return;
    const auto empty = qScopeGuard([this] { tail_.bytes.resize(0); });
    writeThrough(tail_.offset, tail_.bytes.constData(), tail_.bytes.size());
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
    for (const Held& held : std::as_const(held_))
        gather(held.offset, heldArena_.constData() + held.at, held.length);
    forgetHeld();
}

qint64 Container::size() const
{
    const qint64 tailEnd = tail_.bytes.isEmpty() ? 0 : tail_.offset + tail_.bytes.size();
    return qMax(file_.size(), tailEnd);
}

void Container::resize(qint64 size)
{
    writeTail();
    cutFile(size, "resize");
    changed_ = true;
    committedLength_ = qMin(committedLength_, size);
    reservedEnd_ = qMin(reservedEnd_, size); // cutting the file gave the room back
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
// and synced, then the journal is made invalid, which is the moment of commit.
void Container::commit()
{
    if (!changed_)
        return;
    if (durability_ != Archive::Durability::Off)
        flushJournal();
    writeTail();
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
    if (mapped_ && committedLength_ > mappedLength_ + mappedLength_ / 4)
        map(); // so that most committed bytes are read from it
}

// What waited to be written is forgotten first, so that a failure here cannot write it later.
void Container::rollback()
{
    forgetTransaction();
    if (journal_.isActive()) {
        const bool durable = durability_ == Archive::Durability::PowerSafe;
        replayJournal(durable);
        journal_.end(*io_, durable);
    }
    committedLength_ = file_.size();
}

// The arena keeps its room for the next batch.
void Container::forgetHeld()
{
    held_.clear();
    heldArena_.resize(0);
    heldUnits_.clear();
}

void Container::forgetTransaction()
{
    journaled_.clear();
    fresh_.clear();
    released_.clear();
    forgetHeld();
    tail_.bytes.resize(0);
    lastEnd_ = -1;
    changed_ = false;
}

} // namespace Kest::Ar
