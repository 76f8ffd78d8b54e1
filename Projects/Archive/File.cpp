// A member file as a QIODevice over its own chain cursor.
//
// Invariants while open: 0 <= pos() <= size_, and the cursor stands at or after pos() (after
// it by what QIODevice has read ahead); the chain covers at least size_ bytes. The entry's
// size and last block change only at open (a new member), close, flush and truncate.

#include "File.h"

#include "FilePrivate.h"

#include <QScopeGuard>

#include <optional>

namespace Kest::Ar {

void FilePrivate::failed(Archive::Error code, const QString& message)
{
    if (isWriteFailure(code))
        owner().recoverFromFailure();
    setError(code, message);
}

void FilePrivate::setError(Archive::Error code, const QString& message)
{
    if (code == Archive::Error::NoError && error == code)
        return; // the common case, kept cheap for seeks
    error = code;
    showError(message);
    if (code != Archive::Error::NoError)
        qCDebug(lcArchive, "%s", qUtf8Printable(message));
}

void FilePrivate::requireCursor(const char* operation) const
{
    if (!q->isOpen())
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("%1: %2 is not open").arg(QLatin1String(operation), name));
    if (!cursor)
        fail(
            Archive::Error::InvalidArgument,
            QStringLiteral("%1: %2 was closed by its archive").arg(QLatin1String(operation), name));
}

void FilePrivate::recordEnd()
{
    if (recorded)
        return;
    const qint64 at = cursor->pos();
    writeBackEnd();
    cursor->seek(at);
}

void FilePrivate::orphan()
{
    owner().unregisterFile(this);
    cursor.reset();
    entry = nullptr;
}

void FilePrivate::open(QIODevice::OpenMode mode)
{
    ArchivePrivate& a = owner();
    if (!a.isOpen())
        fail(Archive::Error::InvalidArgument, QStringLiteral("open: the archive is not open"));
    const bool reading = mode & QIODevice::ReadOnly;
    writing = mode & QIODevice::WriteOnly;
    if (writing && !a.isWritable())
        fail(Archive::Error::ReadOnly, QStringLiteral("open: archive is read-only"));
    if (reading && !a.isReadable())
        fail(Archive::Error::InvalidArgument, QStringLiteral("open: archive is write-only"));
    bool created = false;
    entry = &entryFor(reading, writing, created);
    a.requireAvailable(entry, writing, name);
    if (!entry->isUnallocated() && !a.table.isBlock(entry->firstBlock()))
        fail(Archive::Error::Corrupt,
             QStringLiteral("open: %1 is damaged: its first block %2 is not a block of the archive")
                 .arg(name)
                 .arg(entry->firstBlock()));
    if (writing && entry->isUnallocated())
        giveFirstBlock(created);
    size = (reading || (mode & QIODevice::Append)) ? entry->size() : 0;
    cursor.emplace(a.table, a.container, entry->firstBlock());
    const qint64 start = (mode & QIODevice::Append) ? size : 0;
    if (!cursor->seek(start))
        fail(Archive::Error::Corrupt, QStringLiteral("Cannot move file to pos %1").arg(start));
    q->QIODevice::open(mode);
    if (start > 0)
        q->QIODevice::seek(start);
    recorded = !writing || size == entry->size();
    a.registerFile(this, entry, writing);
}

FileEntry& FilePrivate::entryFor(bool reading, bool writing, bool& created)
{
    Directory& directory = owner().directory;
    if (name == Directory::streamName()) {
        if (writing)
            fail(
                Archive::Error::InvalidArgument,
                QStringLiteral("open: %1 is the directory stream and cannot be written").arg(name));
        return directory.stream();
    }
    created = !directory.find(name);
    if (reading && created)
        fail(Archive::Error::NotFound, QStringLiteral("open: %1 must already exist").arg(name));
    return reading ? directory.member(name, "open") : directory.memberOrNew(name, "open");
}

// A member opened for writing has a block from then on, so that what is written always
// records a chain, as every reader of the format expects.
void FilePrivate::giveFirstBlock(bool created)
{
    ArchivePrivate& a = owner();
    try {
        const int block = a.table.newBlock();
        entry->setFirstBlock(block);
        entry->setLastBlock(block);
        entry->setSize(0);
    } catch (const Failure&) {
        if (created)
            a.directory.remove(*entry);
        entry = nullptr;
        throw;
    }
}

void FilePrivate::requireWritable(const char* operation) const
{
    requireCursor(operation);
    if (!writing)
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("%1: %2 is not open for writing").arg(QLatin1String(operation), name));
}

// Makes size the member's end: completes its last block on disk, gives back every block after
// it and records the end in the entry. The cursor is left at the end.
void FilePrivate::writeBackEnd()
{
    if (!cursor->seek(size))
        fail(Archive::Error::Corrupt,
             QStringLiteral("%1 is damaged: its chain ends before byte %2; nothing is written back")
                 .arg(name)
                 .arg(size));
    const int last = cursor->endHere();
    entry->setFirstBlock(cursor->firstBlock());
    entry->setLastBlock(last);
    entry->setSize(size);
    owner().directory.setChanged();
    recorded = true;
}

// QIODevice may have read ahead of the position its user sees. Moving its position back and
// forth empties its buffer (a move backwards always does), so later reads come from here.
void FilePrivate::dropReadAhead(qint64 pos)
{
    q->QIODevice::seek(pos > 0 ? pos - 1 : 1);
    q->QIODevice::seek(pos);
}

// ---- File ---------------------------------------------------------------------------------

File::File(Archive* archive, const QString& name)
    : d(std::make_unique<FilePrivate>(this, archive, name))
{
    d->showError = [this](const QString& text) { setErrorString(text); };
}

File::~File()
{
    close();
}

bool File::open(OpenMode mode)
{
    if (isOpen()) {
        d->setError(Archive::Error::InvalidArgument,
                    QStringLiteral("open: %1 is already open").arg(d->name));
        return false;
    }
    const bool opened = d->attempt([&] { d->open(mode); });
    if (!opened) {
        d->cursor.reset();
        setOpenMode(NotOpen);
    }
    return opened;
}

void File::close()
{
    if (!isOpen())
        return;
    if (!d->cursor) {
        QIODevice::close();
        return;
    }
    d->attempt([this] {
        const auto closeDevice = qScopeGuard([this] {
            if (d->cursor)
                d->owner().unregisterFile(d.get());
            d->cursor.reset();
            QIODevice::close();
        });
        if (d->writing) {
            d->writeBackEnd();
            d->owner().unregisterFile(d.get());
            d->cursor.reset();
            d->owner().autoCommit();
        }
    });
}

qint64 File::size() const
{
    return d->size;
}

bool File::seek(qint64 pos)
{
    return d->attempt([&] {
        d->requireCursor("seek");
        if (pos < 0 || pos > d->size)
            fail(Archive::Error::InvalidArgument,
                 QStringLiteral("seek: position %1 is outside %2 (0 to %3)")
                     .arg(pos)
                     .arg(d->name)
                     .arg(d->size));
        if (!d->cursor->seek(pos))
            fail(Archive::Error::Corrupt,
                 QStringLiteral("seek: %1 is damaged: its chain ends before byte %2")
                     .arg(d->name)
                     .arg(pos));
        QIODevice::seek(pos);
    });
}

// Transfers report failures but do not clear the last error: they are too many for that.
qint64 File::readData(char* data, qint64 maxSize)
{
    if (!(openMode() & ReadOnly))
        return -1;
    qint64 count = -1;
    guarded(
        [&] {
            d->requireCursor("read");
            const qint64 wanted = qBound<qint64>(0, d->size - d->cursor->pos(), maxSize);
            count = d->cursor->read(data, wanted);
            if (count < wanted)
                note(QStringLiteral("readData: %1 is damaged: its chain ends before its size")
                         .arg(d->name));
        },
        [this](Archive::Error code, const QString& message) { d->failed(code, message); });
    return count;
}

qint64 File::writeData(const char* data, qint64 size)
{
    if (!(openMode() & WriteOnly))
        return -1;
    const bool done = guarded(
        [&] {
            d->requireCursor("write");
            // What reached the chain counts, even when the rest failed.
            const auto grow = qScopeGuard([this] { d->size = qMax(d->size, d->cursor->pos()); });
            d->recorded = false;
            d->cursor->write(data, size);
        },
        [this](Archive::Error code, const QString& message) { d->failed(code, message); });
    if (!done && d->cursor)
        d->cursor->seek(pos()); // transfers go on where the failed write began
    return done ? size : -1;
}

bool File::flush()
{
    return d->attempt([this] {
        d->requireWritable("flush");
        const qint64 at = d->cursor->pos();
        d->writeBackEnd();
        d->owner().autoCommit();
        d->cursor->seek(at);
    });
}

bool File::truncate()
{
    return d->attempt([this] {
        d->requireWritable("truncate");
        d->size = pos();
        d->writeBackEnd();
        d->owner().autoCommit();
        d->dropReadAhead(d->size);
    });
}

QString File::name() const
{
    return d->name;
}

Archive::Error File::error() const
{
    return d->error;
}

} // namespace Kest::Ar
