#pragma once

// The container: the one piece of the engine that moves bytes between an archive and its
// host file. Not installed.
//
// It opens the host file, holds the advisory lock for as long as the file is open, and offers
// positioned reads and writes, and it keeps the archive's committed state recoverable: before
// a unit of the committed file (its header area, or a block) is first changed after a commit,
// its original bytes go to the rollback journal. A commit makes the journal invalid; a rollback
// writes it back. Nothing else in the engine knows that a journal exists.
//
// A run of writes that continue one another reaches the file in whole, aligned pieces of a few
// host pages: what each write leaves past the last such boundary is held in memory (reads see
// it there) and goes out with the next write of the run. Blocks do not begin on a page
// boundary, so without this every page of a member written piece by piece would be written
// twice, and the system would cache it in more, smaller units. The held bytes go out before
// anything that must follow them: a commit, a resize, or a write elsewhere. An error of theirs
// shows on that later call; it ends the transaction all the same.
//
// Copies go to the journal in batches: a write to a unit whose copy is not yet in the journal's
// file is held in memory (reads see it there) until the next batch is written, at the commit
// or when the held writes grow large. Durability decides the syncs. Off: no journal.
// CrashSafe: no syncs: a killed process loses nothing committed, a power cut may. PowerSafe:
// each batch is synced before the writes that waited for it, so that a commit costs three
// syncs: the journal, the archive, the invalidated journal.

#include "Archive.h"
#include "HostIo.h"
#include "Journal.h"
#include "qtlockedfile.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace Kest::Ar {

class Container
{
public:
    enum class Access { Read, Write };

    explicit Container(const QString& path);

    QString path() const;
    void setPath(const QString& path);
    QFile& file();
    // The system calls to use; a test puts one in that fails where it wants.
    void setIo(HostIo& io);
    void setDurability(Archive::Durability durability);
    Archive::Durability durability() const;

    // Opens the file and takes its lock without waiting: shared to read, exclusive to write.
    // Write access creates a missing file but never empties one. `existence` carries the
    // caller's NewOnly or ExistingOnly. Throws NotFound, AlreadyExists, Locked or IoError;
    // on failure the file is closed again.
    void open(Access access, QIODevice::OpenMode existence);
    // Closes the file and releases its lock; an empty journal file is removed.
    void close();
    bool isOpen() const;
    bool isWritable() const;

    // Whether a journal file with a valid header lies beside the archive.
    static bool hasJournal(const QString& archivePath);
    // The first `length` bytes of the archive's committed state, read without writing
    // anything: the file's bytes with its journal's records laid over them.
    static QByteArray committedStart(const QString& archivePath, qint64 length);
    // With write access: brings the file back to its committed state from a journal left by a
    // writer that is gone, and removes the journal. True when there was one to apply.
    bool recover();

    // Where blocks lie: block b begins at headerSize + b * blockSize.
    void setGeometry(qint64 headerSize, qint64 blockSize);
    qint64 blockOffset(int block) const;

    // Reads from now on copy from a mapping of the file as far as it goes now, where the system
    // allows: a read then costs no system call. The lock keeps other writers, who might cut
    // the file, away while the mapping lasts; where this container cuts the file, it maps it
    // anew. So does a commit that grew the file by a quarter.
    void map();
    // Reads up to `length` bytes at `offset`; fewer only at the end of the file.
    qint64 read(qint64 offset, char* data, qint64 length);
    // Writes all `length` bytes at `offset`, extending the file as needed, or throws.
    void write(qint64 offset, const char* data, qint64 length);
    qint64 size() const;
    void resize(qint64 size);

    // A block handed out from the free list, and a block given back to it. A block that was
    // free at the last commit holds nothing committed: changing it needs no copy.
    void markFresh(int block);
    void markReleased(int block);
    // Makes everything written since the last commit the committed state.
    void commit();
    // Brings the file back to the last commit.
    void rollback();
    // Whether anything was written since the last commit.
    bool hasChanges() const;

private:
    struct Patch
    {
        qint64 offset;
        QByteArray bytes;
    };
    struct Held
    {
        qint64 offset; // in the file
        qsizetype at;  // in the arena
        qint64 length;
    };

    qint32 unitAt(qint64 offset) const;
    Journal::Geometry geometry() const;
    void protect(qint32 unit, const Journal::Geometry& g);
    void writeThrough(qint64 offset, const char* data, qint64 length);
    void writeThrough(qint64 offset, std::initializer_list<HostIo::Piece> pieces);
    void reserveUpTo(qint64 end);
    void unmap();
    void cutFile(qint64 length, const char* operation);
    qint64 readFile(qint64 offset, char* data, qint64 length);
    void gather(qint64 offset, const char* data, qint64 length);
    void writeTail();
    void place(qint64 offset, const char* data, qint64 length, bool held);
    bool replayJournal(bool durable);
    void flushJournal();
    void writeHeld();
    static void overlay(qint64 at, const char* bytes, qint64 count, qint64 offset, char* data,
                        qint64 length);
    void forgetHeld();
    void forgetTransaction();
    [[noreturn]] void ioFailure(const char* operation) const;

    QtLockedFile file_;
    HostIo* io_;
    Journal journal_;
    Archive::Durability durability_ = Archive::Durability::PowerSafe;
    qint64 headerSize_ = 0;
    qint64 blockSize_ = 0;
    qint64 committedLength_ = 0;
    QSet<qint32> journaled_; // units copied to the journal since the last commit
    QSet<int> fresh_;        // blocks free at the last commit, handed out since
    QSet<int> released_;     // blocks given back since the last commit
    QList<Held> held_;       // writes waiting for the journal's sync, in order
    QByteArray heldArena_;   // their bytes, one after another
    Patch tail_;             // the last partial page of a run of writes, not yet in the file
    qint64 lastEnd_ = -1;    // where the last write ended
    qint64 reservedEnd_ = 0; // the file system was asked for room up to here
    bool reserved_ = false;  // and gave some, which closing gives back
    const uchar* mapped_ = nullptr;
    qint64 mappedLength_ = 0;
    QSet<qint32> heldUnits_;
    bool changed_ = false;
    bool nameUnsynced_ = false; // the file was created by this open and its folder not synced
};

} // namespace Kest::Ar
