#pragma once

// The archive behind the public facade: it owns the layers and the rules between them.
// Not installed.
//
// Layers, from the file up: the container (bytes, lock), the header (a value), the
// allocation table (chains), cursors (a position in one chain) and the directory (the tree).
// This class owns one of each but the cursors, keeps the registry of open member files and
// the last error, and has the one write-back path that every operation that reaches the
// file goes through.

#include "AllocationTable.h"
#include "Archive.h"
#include "Container.h"
#include "Directory.h"
#include "Failure.h"
#include "Header.h"

#include <QList>

namespace Kest::Ar {

class FilePrivate;

class ArchivePrivate
{
public:
    ArchivePrivate(const QString& path, unsigned int blockSize);

    static ArchivePrivate& of(Archive& archive);

    // Runs a public operation: NoError after it returns, the failure's code and text (and a
    // line on the logging category) when it throws. No exception gets past.
    template <typename Operation> bool attempt(Operation&& operation)
    {
        const bool done = guarded(operation, [this](Archive::Error code, const QString& message) {
            if (isWriteFailure(code))
                recoverFromFailure();
            setError(code, message);
        });
        if (done)
            setError(Archive::Error::NoError, QString());
        return done;
    }
    void setError(Archive::Error code, const QString& message) const;

    void open(QIODevice::OpenMode mode);
    void close();
    bool isOpen() const;
    bool isWritable() const;
    bool isReadable() const;
    // Throws unless the archive is open for writing.
    void requireWritable(const char* operation) const;
    void requireTransaction(const char* operation) const;

    // The one write-back path, in this order: the directory stream (which may take or free
    // blocks), the changed table clusters (which record them), the header (which records
    // the table's counters and the directory's entry).
    void writeBack();
    // Writes back and commits.
    void commitNow();
    // Commits unless a transaction is open: what every operation that writes ends with.
    void autoCommit();
    // Commits when something exists only in memory or is not yet committed.
    void commitChanges();
    void beginTransaction();
    void commitTransaction();
    void rollbackTransaction();
    // Back to the last commit, on disk and in memory, after a write failed. When even that
    // fails, the archive is closed and its journal left for the next opener.
    void recoverFromFailure();
    void setDurability(Archive::Durability durability);
    Archive::Durability durability() const;
    // The header as it would be written now.
    Header currentHeader() const;
    void setApplicationVersion(const Archive::Version& version);

    void removeFile(const QString& path);
    QStringList check() const;
    Archive::Statistics statistics() const;

    // The registry of open member files. A writer has its member alone; readers share one.
    void registerFile(FilePrivate* file, const FileEntry* entry, bool writing);
    void unregisterFile(FilePrivate* file);
    bool isOpenMember(const FileEntry* entry) const;
    void requireAvailable(const FileEntry* entry, bool writing, const QString& path) const;

    Container container;
    Header header;
    AllocationTable table;
    Directory directory;

private:
    struct OpenMember
    {
        FilePrivate* file;
        const FileEntry* entry;
        bool writing;
    };

    void validateMode(QIODevice::OpenMode mode) const;
    void recoverJournal();
    void rollbackNow();
    void orphanMemberFiles();
    void load();
    void create();
    void closeMemberFiles();
    void release();

    const unsigned int constructedBlockSize_;
    QIODevice::OpenMode mode_ = QIODevice::NotOpen; // ReadOnly, WriteOnly or ReadWrite
    bool versionChanged_ = false;
    bool inTransaction_ = false;
    Archive::Durability durability_ = Archive::Durability::PowerSafe;
    QList<OpenMember> openMembers_;
    mutable Archive::Error error_ = Archive::Error::NoError;
    mutable QString errorString_;

    friend class Archive;
};

} // namespace Kest::Ar
