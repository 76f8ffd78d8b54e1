#pragma once

#include "KestArchiveGlobal.h"

#include <QFile>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace Kest::Ar {

class ArchivePrivate;
class File;

// One archive: a whole tree of folders and member files kept inside one container file.
//
// Readers share an archive; a writer has it alone. A conflicting open fails at once with
// error() Locked. Every operation sets error() and errorString(): NoError and an empty text
// after a success. Diagnostics go to the logging category "kest.archive". An archive and its
// member files are used from one thread at a time; several archives may be used from several
// threads.
class KESTARCHIVE_EXPORT Archive
{
public:
    // The host application's version, stamped into the archive header.
    class KESTARCHIVE_EXPORT Version
    {
    public:
        Version(int major = 0, int minor = 0, int patch = 0);
        // Up to three dot-separated numbers: "1.2.3", "1.2" (1.2.0), "7" (7.0.0). Four or more
        // parts give 0.0.0; a part that is not a number gives 0 for its own field only.
        Version(const QString& text);

        int major;
        int minor;
        int patch;
    };

    enum class Error {
        NoError,
        NotFound,
        AlreadyExists,
        NotAFolder,
        NotAFile,
        NotEmpty,
        InUse,
        Locked,
        ReadOnly,
        InvalidArgument,
        Corrupt,
        IoError,
        OutOfSpace
    };

    // What a commit survives. Off: nothing is journalled (for scratch archives); a failure or
    // a crash in the middle of a write-back can leave the archive damaged. CrashSafe: a
    // rollback journal, without syncs: a killed process loses nothing committed, a power cut
    // may. PowerSafe: the journal and the archive are synced where the commit needs them, so
    // that a commit survives a power cut; three syncs a commit.
    enum class Durability { Off, CrashSafe, PowerSafe };

    enum FragmentationType { InternalFragmentation = 0, ExternalFragmentation = 1 };
    enum Filter { Files = 0, Folders = 1, All = 2 };

    struct EntryInfo
    {
        QString name; // empty when there is no such entry
        bool isFolder = false;
        qint64 size = 0; // a folder's is the sum of its members'
    };

    // Figures about the container, for tools that report on an archive.
    struct Statistics
    {
        int formatVersion = 0;
        unsigned int blockSize = 0;
        int blocks = 0;
        int tableBlocks = 0;
        int freeBlocks = 0;
        qint64 directorySize = 0;
        int memberFiles = 0;
        int folders = 0;
        qint64 memberBytes = 0;
    };

    // The block sizes a new archive may have.
    static constexpr unsigned int DefaultBlockSize = 4096;
    static constexpr unsigned int MinBlockSize = 8;
    static constexpr unsigned int MaxBlockSize = 64u * 1024u * 1024u;

    Archive(const QString& name, unsigned int blockSize = DefaultBlockSize);
    // Closes the archive as close() does.
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    Error error() const;
    QString errorString() const;

    unsigned int blockSize() const;
    Version applicationVersion() const;
    // Set before open() to stamp a new archive; on an archive open for writing it is written
    // back at the next write-back.
    void setApplicationVersion(const Version& v);
    // ReadOnly, WriteOnly or ReadWrite while open; NotOpen otherwise.
    int mode() const;
    QString name() const;
    QFile& getFile();
    void setFile(const QString& name);
    static bool isArchive(const QString& path);

    // Opens by ReadOnly and WriteOnly: ReadOnly loads an existing archive; ReadWrite loads
    // one or creates it where the path does not exist; WriteOnly creates a new, empty one.
    // Unbuffered changes nothing; NewOnly and ExistingOnly behave as for QFile; Append, Text
    // and Truncate are refused. Nothing in the file changes before its lock is held, and
    // nothing at all when open() refuses the mode.
    bool open(QIODevice::OpenMode mode);
    // Closes open member files, writes back what exists only in memory (folders made or
    // removed, the application version) and releases the lock.
    void close();
    // The total size in bytes of all member files.
    qint64 size() const;
    static bool isLocked(const QString& path);
    static Version peekVersion(const QString& path);

    bool removeFile(const QString& path);

    QString currentFolder() const;
    bool setCurrentFolder(const QString& path);
    bool makeFolder(const QString& path);
    bool removeFolder(const QString& path);
    bool fileExists(const QString& path) const;
    // The names in the current folder, in stored order.
    QList<QString> list(Filter filter = All) const;
    // The entries of a folder, in stored order; the current folder does not move.
    QList<EntryInfo> entries(const QString& folderPath) const;
    // The entry a path names; an empty name, with error() NotFound, when there is none.
    EntryInfo entryInfo(const QString& path) const;

    bool importFileFromDisk(const QString& archivePath, const QString& diskPath);
    bool exportFileToDisk(const QString& archivePath, const QString& diskPath);

    double fragmentation(FragmentationType type) const;

    // The format version stored in the header that was read (or that a new archive gets).
    int formatVersion() const;
    Statistics statistics() const;
    // A full consistency check of the open archive, read-only. One line per problem; empty
    // when the archive is consistent: header fields, the table's own chain, and whether every
    // block is exactly one of a table block, a block of one chain or a free block (cycles,
    // cross-links, leaks, links outside the table, chains that do not fit their entry) and
    // duplicate names in a folder. Bounded by the number of blocks and entries. The chains of
    // members open for writing are walked, but not compared with their entries, which are
    // brought up to date only when the members are written back.
    QStringList check() const;

    // Writes the directory, the changed table blocks and the header now, as one commit.
    bool writeBack();

    // PowerSafe unless set; may be set before or after open(), and takes effect at the next
    // commit.
    void setDurability(Durability durability);
    Durability durability() const;
    // Operations that write (member closes, flushes and truncations, removeFile, writeBack)
    // commit on their own, each at once and whole. Inside a transaction they commit nothing:
    // commit() makes all of them one commit, rollback() brings the archive, on disk and in
    // memory, back to the last commit, and closing the archive rolls the transaction back. A
    // failure to write rolls the transaction back too; the archive stays open. A rollback
    // closes the member files that are open.
    bool beginTransaction();
    bool commit();
    bool rollback();

private:
    std::unique_ptr<ArchivePrivate> d;
};

} // namespace Kest::Ar
